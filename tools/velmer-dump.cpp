// velmer-dump FILE [--table] [--no-journal]: prints what a backup file or a legacy
// job-store file holds, as JSON (default) or as a table. For a backup file the journal
// beside it is applied, as restore does, so that the output is what the daemon would
// restore (--no-journal: the file alone). Exit status 0 for a whole file, 1 for a damaged
// file or journal (what comes before the damage is printed, and where and why reading
// stopped), 2 for a usage error or a file that cannot be opened.
#include <filesystem>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "paths.hpp"
#include "store_dump.hpp"
#include "trace.h"

int main(int argc, char** argv) {
  CLI::App app{"Decodes a velmerd backup file (jobsandqueues.jnqbkp) or a legacy job-store file"};
  std::string path;
  bool table = false;
  bool noJournal = false;
  app.add_option("FILE", path, "the file to decode")->required();
  app.add_flag("--table", table, "print a table instead of JSON");
  app.add_flag("--no-journal", noJournal, "leave the journal beside a backup file out");
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
  velmer::dump::Dump dump = velmer::dump::decodeStream(stream);
  const auto journalPath = std::filesystem::path(path).parent_path() / velmer::paths::kJournalFileName;
  std::ifstream journal(journalPath, std::ios::binary);
  if (dump.format == velmer::dump::Format::Backup && !noJournal && journal.is_open())
    velmer::dump::applyJournal(dump, journal);
  if (table)
    std::cout << velmer::dump::toTable(dump);
  else
    std::cout << velmer::dump::toJson(dump).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  const bool whole = dump.stop.damage == velmer::Damage::None && dump.journal.stop.damage == velmer::Damage::None;
  return whole ? 0 : 1;
}
