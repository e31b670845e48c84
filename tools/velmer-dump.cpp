// velmer-dump FILE [--table]: prints what a backup file or a legacy job-store file holds,
// as JSON (default) or as a table. Exit status 0 for a whole file, 1 for a damaged one
// (the objects before the damage are printed, and where and why reading stopped), 2 for
// a usage error or a file that cannot be opened.
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "store_dump.hpp"
#include "trace.h"

int main(int argc, char** argv) {
  CLI::App app{"Decodes a velmerd backup file (jobsandqueues.jnqbkp) or a legacy job-store file"};
  std::string path;
  bool table = false;
  app.add_option("FILE", path, "the file to decode")->required();
  app.add_flag("--table", table, "print a table instead of JSON");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  trace_set_threshold(0);  // the readers' trace lines are the daemon's, not ours
  std::ifstream stream(path, std::ios::binary);
  if (!stream.is_open()) {
    std::cerr << "velmer-dump: cannot open " << path << "\n";
    return 2;
  }
  const velmer::dump::Dump dump = velmer::dump::decodeStream(stream);
  if (table)
    std::cout << velmer::dump::toTable(dump);
  else
    std::cout << velmer::dump::toJson(dump).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  return dump.stop.damage == velmer::Damage::None ? 0 : 1;
}
