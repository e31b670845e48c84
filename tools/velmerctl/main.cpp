// velmerctl: the job manager at a console. Reads jobs and queues, follows them live, and
// creates, updates, schedules and deletes them through the job manager's own methods.
// Exit status: 0 success, 1 refused by the job manager, 2 usage error, 3 job manager
// or bus not reachable.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "commands.hpp"
#include "reply_codes.hpp"

namespace {

using namespace velmerctl;

constexpr const char* kTimeForms = "YYYYMMDDhhmmss (local time), TIME_NOW, TIME_NA or \"Next Reboot\"";

// A state option: a word ("running") or a number.
std::function<std::string(const std::string&)> stateValidator() {
  return [](const std::string& text) {
    return parseState(text) ? std::string() : "not a job state: " + text + " (new, scheduling, scheduled, running, "
                                              "finished, reboot-pending, ac-cycle-pending or a number)";
  };
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Operator console for the velmerd job manager.\n"
               "Exit status: 0 success, 1 refused by the job manager, 2 usage error, 3 job manager not on the bus."};
  app.require_subcommand(1);
  app.fallthrough();  // --address also after the command's name
  app.set_help_all_flag("--help-all", "Print the help of every command");
  std::optional<std::string> address;
  app.add_option("--address", address, "D-Bus address of the system bus (default: DBUS_SYSTEM_BUS_ADDRESS, then the system bus)")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

  std::function<int(Service&)> command;
  std::string commandName;
  auto on = [&](CLI::App* sub, std::function<int(Service&)> body) {
    sub->callback([&, sub, body] {
      commandName = sub->get_name();
      command = body;
    });
  };

  on(app.add_subcommand("status", "Service status, job and queue counts, limits, auto-delete time-out"),
     [](Service& s) { return showStatus(s); });

  std::string stateText;
  bool json = false;
  auto* list = app.add_subcommand("list", "Table of jobs, fitted to the terminal; whole values in a pipe or a file");
  list->add_option("--state", stateText, "Only jobs in this state (a word or a number)")->check(stateValidator());
  list->add_flag("--json", json, "Print a JSON array of the jobs with every property");
  on(list, [&](Service& s) { return listJobs(s, stateText.empty() ? std::nullopt : parseState(stateText), json); });

  auto* queues = app.add_subcommand("queues", "Table of job queues");
  queues->add_flag("--json", json, "Print a JSON array of the queues with every property");
  on(queues, [&](Service& s) { return listQueues(s, json); });

  std::string id;
  auto* show = app.add_subcommand("show", "Every property of a job (with its queue and key-value entries) or a queue");
  show->add_option("ID", id, "Job ID or queue ID")->required();
  on(show, [&](Service& s) { return showObject(s, id); });

  std::vector<std::string> ids;
  auto* watch = app.add_subcommand(
      "watch", "Follow jobs live; ends when the named jobs have finished or left, or on Ctrl-C");
  watch->add_option("JOB_ID", ids, "Jobs to follow (default: every job, until Ctrl-C)");
  on(watch, [&](Service& s) { return watchJobs(s, ids); });

  std::string name;
  uint16_t type = 0;
  auto* create = app.add_subcommand("create", "Create a job; prints its ID");
  create->add_option("NAME", name, "Job name")->required();
  create->add_option("TYPE", type, "Job type (0 to 65535)")->required();
  on(create, [&](Service& s) { return createJob(s, name, type); });

  UpdateRequest update;
  std::string updateState;
  auto* updateCommand = app.add_subcommand("update", "Report on a job as the service that runs it does; "
                                                     "options left out leave their field unchanged");
  updateCommand->add_option("JOB_ID", update.jobID, "Job ID")->required();
  updateCommand->add_option("--state", updateState, "New jobState (a word or a number)")->check(stateValidator());
  updateCommand->add_option("--percent", update.percent, "percentComplete (255 leaves it unchanged)")
      ->check(CLI::Range(0, 65535));
  updateCommand->add_option("--status", update.status, "jobStatus text, e.g. Running, Completed, Failed");
  updateCommand->add_option("--message", update.message, "Message text");
  updateCommand->add_option("--message-id", update.messageID,
                            "Message ID; without --message the job manager looks its text up");
  updateCommand->add_option("--args", update.messageArgs, "Message arguments");
  on(updateCommand, [&](Service& s) {
    if (!updateState.empty()) update.state = static_cast<uint16_t>(*parseState(updateState));
    return updateJob(s, update);
  });

  std::string start, until = "TIME_NA";
  auto* schedule = app.add_subcommand("schedule", "Put jobs into a new queue; prints the queue ID");
  schedule->add_option("JOB_ID", ids, "Jobs to schedule")->required();
  schedule->add_option("--start", start, std::string("Start time: ") + kTimeForms)->required();
  schedule->add_option("--until", until, std::string("End of the window (default TIME_NA, no end): ") + kTimeForms);
  on(schedule, [&](Service& s) { return scheduleJobs(s, ids, start, until); });

  bool force = false;
  auto* remove = app.add_subcommand("delete", "Delete jobs");
  remove->add_option("JOB_ID", ids, "Jobs to delete")->required();
  remove->add_flag("--force", force, "Withdraw one job at once, without the deletion mark (deletion mode 1)");
  on(remove, [&](Service& s) { return deleteJobs(s, ids, force); });

  auto* clear = app.add_subcommand("clear-all", "Delete every job that is not scheduling or running");
  clear->add_flag("--force", force, "Also fail and delete scheduling and running jobs");
  on(clear, [&](Service& s) { return clearAll(s, force); });

  std::string caller, key, value;
  auto* kv = app.add_subcommand("kv", "A job's key-value entries");
  kv->require_subcommand(1);
  auto* kvGet = kv->add_subcommand("get", "Print the value of KEY that CALLER keeps for JOB_ID");
  auto* kvSet = kv->add_subcommand("set", "Set the value of KEY that CALLER keeps for JOB_ID");
  for (auto* sub : {kvGet, kvSet}) {
    sub->add_option("JOB_ID", id, "Job ID")->required();
    sub->add_option("CALLER", caller, "Caller name")->required();
    sub->add_option("KEY", key, "Key")->required();
  }
  kvSet->add_option("VALUE", value, "Value")->required();
  on(kvGet, [&](Service& s) { return readKeyValue(s, id, caller, key); });
  on(kvSet, [&](Service& s) { return writeKeyValue(s, id, caller, key, value); });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    int status = app.exit(error);
    return status == 0 ? kSuccess : kUsageError;
  }
  if (kvGet->parsed() || kvSet->parsed()) commandName = "kv " + commandName;
  return runOnBus(commandName, [&] {
    Service service(address);
    return command(service);
  });
}
