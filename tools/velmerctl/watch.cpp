// velmerctl watch: a live view of jobs, driven only by the job manager's signals.
//
// The view subscribes to PropertiesChanged of the job objects, InterfacesAdded and
// InterfacesRemoved of the object manager and the service name's owner changes, and
// only then asks for the objects, asynchronously: sd-bus hands messages over in the order
// they arrived, so a signal sent before the snapshot is applied before it and one sent
// after it is applied after it, and the view is never older than the snapshot.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <set>

#include "commands.hpp"
#include "reply_codes.hpp"

namespace velmerctl {
namespace {

constexpr const char* kHideCursor = "\x1b[?25l";
constexpr const char* kShowCursor = "\x1b[?25h";
constexpr size_t kClockWidth = 10;  // "hh:mm:ss  " before an event
// A report reaches the view as one signal per property, the state among the first: once
// the jobs have finished, the view waits until the bus has been quiet this long, so that
// the last lines show the whole final report.
constexpr std::chrono::milliseconds kSettleTime{300};

std::string clock() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[16];
  localtime_r(&now, &local);
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

// One job's line: ID, state, progress bar, percentage and status, cut to `width`.
std::string jobLine(const std::string& id, const PropertyMap& p, size_t width) {
  uint16_t percent = valueOr<uint16_t>(p, "percentComplete", 254);
  std::string state = stateWord(valueOr<uint32_t>(p, "jobState", 0));
  state.resize(std::max(state.size(), size_t{10}), ' ');
  size_t fixed = id.size() + 2 + state.size() + 2 + 2 + 2 + 4 + 2;
  size_t bar = width > fixed + 20 ? std::min<size_t>(width - fixed - 20, 30) : 5;
  std::string percentText = formatPercent(percent);
  percentText.insert(0, std::max<size_t>(4, percentText.size()) - percentText.size(), ' ');
  return cutToWidth(id + "  " + state + "  " + progressBar(percent, bar) + "  " + percentText + "  " +
                        valueOr<std::string>(p, "jobStatus", ""),
                    width);
}

// What the view shows: the watched jobs as the signals left them. The job manager
// sends one PropertiesChanged per property, so the screen is brought up to date only
// after every message that has arrived is applied: a report shows as one change.
class WatchView {
 public:
  WatchView(std::vector<std::string> wanted, bool live) : wanted_(wanted.begin(), wanted.end()), live_(live) {}

  void applySnapshot(const ManagedObjects& objects) {
    for (const BusObject& job : storeOf(objects).jobs)
      if (follows(job.id)) jobs_[job.id] = job.properties;
    snapshotTaken_ = true;
    for (const std::string& id : wanted_)
      if (!jobs_.count(id)) missing_.push_back(id);
  }

  void applyAdded(const std::string& id, const PropertyMap& properties) {
    if (snapshotTaken_ && follows(id)) jobs_[id] = properties;
  }

  void applyRemoved(const std::string& id) {
    if (snapshotTaken_ && jobs_.erase(id)) events_.push_back(clock() + "  " + id + ": removed");
  }

  void applyChanged(const std::string& id, const PropertyMap& changed) {
    auto it = jobs_.find(id);
    if (!snapshotTaken_ || it == jobs_.end()) return;
    for (const auto& [name, value] : changed) it->second[name] = value;
  }

  const std::vector<std::string>& missing() const { return missing_; }

  // Every named job has reached a final state or left the bus.
  bool finished() const {
    if (wanted_.empty() || !snapshotTaken_) return false;
    for (const std::string& id : wanted_) {
      auto it = jobs_.find(id);
      if (it != jobs_.end() && !isFinalState(valueOr<uint32_t>(it->second, "jobState", 0))) return false;
    }
    return true;
  }

  // Brings the screen up to date. On a terminal: state changes as events above a block
  // of one line per job, redrawn in place. Elsewhere (a pipe, a file): each job's line
  // whenever it changed, and the removals.
  void draw() {
    size_t width = outputWidth();
    if (live_ && drawnLines_ > 0) std::printf("\r\x1b[%zuA\x1b[J", drawnLines_);
    for (const auto& [id, properties] : jobs_) {
      std::string state = stateWord(valueOr<uint32_t>(properties, "jobState", 0));
      std::string line = jobLine(id, properties, live_ ? width : width - std::min(width, kClockWidth));
      auto [shown, isNew] = shown_.try_emplace(id, Shown{});
      if (live_ && isNew && drawnOnce_) events_.push_back(clock() + "  " + id + ": appeared, " + state);
      if (live_ && !isNew && shown->second.state != state)
        events_.push_back(clock() + "  " + id + ": " + shown->second.state + " -> " + state);
      if (!live_ && shown->second.line != line) events_.push_back(clock() + "  " + line);
      shown->second = {state, line};
    }
    std::erase_if(shown_, [&](const auto& entry) { return !jobs_.count(entry.first); });
    for (const std::string& event : events_) std::printf("%s\n", cutToWidth(event, width).c_str());
    events_.clear();
    if (live_) {
      for (const auto& [id, shown] : shown_) std::printf("%s\n", shown.line.c_str());
      drawnLines_ = shown_.size();
    }
    drawnOnce_ = snapshotTaken_;
    std::fflush(stdout);
  }

 private:
  struct Shown {
    std::string state, line;
  };

  bool follows(const std::string& id) const { return wanted_.empty() || wanted_.count(id); }

  std::set<std::string> wanted_;
  bool live_;
  bool snapshotTaken_ = false;
  std::map<std::string, PropertyMap> jobs_;
  std::map<std::string, Shown> shown_;
  std::vector<std::string> missing_;
  std::vector<std::string> events_;
  size_t drawnLines_ = 0;
  bool drawnOnce_ = false;
};

// Hides the cursor on a terminal for the view's life and shows it again however the
// view ends.
struct CursorHidden {
  explicit CursorHidden(bool terminal) : terminal(terminal) {
    if (terminal) std::fputs(kHideCursor, stdout);
  }
  ~CursorHidden() {
    if (terminal) std::fputs(kShowCursor, stdout), std::fflush(stdout);
  }
  bool terminal;
};

// SIGINT and SIGTERM end the view, SIGWINCH redraws it; all three arrive through a
// signalfd so that the loop sees them between bus messages.
class SignalChannel {
 public:
  SignalChannel() {
    sigemptyset(&set_);
    for (int number : {SIGINT, SIGTERM, SIGWINCH}) sigaddset(&set_, number);
    sigprocmask(SIG_BLOCK, &set_, &previous_);
    fd_ = signalfd(-1, &set_, SFD_CLOEXEC);
  }
  ~SignalChannel() {
    if (fd_ >= 0) close(fd_);
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
  }
  int fd() const { return fd_; }
  int read() const {
    signalfd_siginfo info{};
    return ::read(fd_, &info, sizeof info) == sizeof info ? static_cast<int>(info.ssi_signo) : 0;
  }

 private:
  sigset_t set_{}, previous_{};
  int fd_ = -1;
};

std::string match(const std::string& rule) { return "type='signal'," + rule; }

}  // namespace

int watchJobs(Service& service, const std::vector<std::string>& jobIDs) {
  bool terminal = isatty(STDOUT_FILENO);
  WatchView view(jobIDs, terminal);
  SignalChannel signals;
  std::optional<int> result;
  sdbus::IConnection& connection = service.connection();
  const std::string sender = std::string("sender='") + kServiceName + "',";

  auto guarded = [&](auto handler) {
    return [&, handler](sdbus::Message& message) {
      try {
        handler(message);
      } catch (const sdbus::Error& error) {
        complain("watch", "unreadable signal: " + error.getMessage());
        result = kRefused;
      }
    };
  };
  auto changed = connection.addMatch(
      match(sender + "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',path_namespace='" +
            kServicePath + "'"),
      guarded([&](sdbus::Message& message) {
        std::string interface;
        PropertyMap properties;
        message >> interface >> properties;
        if (interface == kJobInterface) view.applyChanged(idOfPath(message.getPath()), properties);
      }));
  auto added = connection.addMatch(
      match(sender + "interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'"),
      guarded([&](sdbus::Message& message) {
        sdbus::ObjectPath path;
        std::map<std::string, PropertyMap> interfaces;
        message >> path >> interfaces;
        if (auto job = interfaces.find(kJobInterface); job != interfaces.end()) view.applyAdded(idOfPath(path), job->second);
      }));
  auto removed = connection.addMatch(
      match(sender + "interface='org.freedesktop.DBus.ObjectManager',member='InterfacesRemoved'"),
      guarded([&](sdbus::Message& message) {
        sdbus::ObjectPath path;
        std::vector<std::string> interfaces;
        message >> path >> interfaces;
        if (std::find(interfaces.begin(), interfaces.end(), kJobInterface) != interfaces.end())
          view.applyRemoved(idOfPath(path));
      }));
  auto owner = connection.addMatch(
      match(std::string("sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") + kServiceName + "'"),
      guarded([&](sdbus::Message& message) {
        std::string name, oldOwner, newOwner;
        message >> name >> oldOwner >> newOwner;
        if (newOwner.empty()) {
          complain("watch", std::string("the job manager ") + kServiceName + " left the bus");
          result = kServiceAbsent;
        }
      }));
  service.main().objectsAsync([&](const sdbus::Error* error, const ManagedObjects& objects) {
    if (error) {
      complain("watch", error->getName() + ": " + error->getMessage());
      result = error->getName() == "org.freedesktop.DBus.Error.ServiceUnknown" ? kServiceAbsent : kRefused;
      return;
    }
    view.applySnapshot(objects);
    for (const std::string& id : view.missing()) complain("watch", id + ": no such job");
    if (!view.missing().empty() && view.missing().size() == jobIDs.size()) result = kRefused;
  });

  CursorHidden cursor(terminal);
  while (!result) {
    while (!result && connection.processPendingRequest()) {
    }
    view.draw();
    if (result) break;
    sdbus::IConnection::PollData data = connection.getEventLoopPollData();
    std::optional<std::chrono::microseconds> timeout = data.getRelativeTimeout();
    bool settling = view.finished();
    if (settling && (!timeout || *timeout > kSettleTime)) timeout = kSettleTime;
    pollfd fds[2] = {{data.fd, data.events, 0}, {signals.fd(), POLLIN, 0}};
    int ready = poll(fds, 2, timeout ? static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*timeout).count()) : -1);
    if (settling && ready == 0) result = view.missing().empty() ? kSuccess : kRefused;
    if (fds[1].revents & POLLIN) {
      int number = signals.read();
      if (number == SIGINT || number == SIGTERM) result = kSuccess;
    }
  }
  view.draw();
  return *result;
}

}  // namespace velmerctl
