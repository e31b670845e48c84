#include "signal_recorder.hpp"

#include <poll.h>

#include <algorithm>

#include "child_process.hpp"

namespace velmer::e2e {

SignalRecorder::SignalRecorder() : connection_(sdbus::createSystemBusConnection()) {
  // sd-bus adds the match synchronously, so nothing sent after this is missed.
  connection_->addMatch(std::string("type='signal',path_namespace='") + kServicePath + "'",
                        [this](sdbus::Message& message) { record(message); }, sdbus::floating_slot);
  connection_->setMethodCallTimeout(std::chrono::duration_cast<std::chrono::microseconds>(kCallTimeout).count());
  daemon_ = sdbus::createProxy(*connection_, kServiceName, kServicePath);
}

void SignalRecorder::sync() {
  // The call only queues what arrives meanwhile; takeInPending() records it.
  daemon_->callMethod("Ping").onInterface("org.freedesktop.DBus.Peer");
  takeInPending();
}

void SignalRecorder::clear() {
  sync();
  signals_.clear();
}

void SignalRecorder::record(sdbus::Message& message) {
  // A throw out of this callback would unwind through libsystemd: keep it inside.
  RecordedSignal recorded{message.getSender(), message.getPath(), message.getMemberName(), {}, {}, {}, {}};
  try {
    if (recorded.member == "PropertiesChanged") {
      std::vector<std::string> invalidated;
      message >> recorded.interface >> recorded.changed >> invalidated;
    } else if (recorded.member == "InterfacesAdded") {
      sdbus::ObjectPath object;
      std::map<std::string, PropertyMap> interfaces;
      message >> object >> interfaces;
      recorded.objectPath = object;
      for (const auto& entry : interfaces) recorded.interfaces.push_back(entry.first);
    } else if (recorded.member == "InterfacesRemoved") {
      sdbus::ObjectPath object;
      message >> object >> recorded.interfaces;
      recorded.objectPath = object;
    }
  } catch (const std::exception& e) {
    recorded.member += " (unreadable: " + std::string(e.what()) + ")";
  }
  signals_.push_back(std::move(recorded));
}

void SignalRecorder::takeInPending() {
  while (connection_->processPendingRequest()) {
  }
}

void SignalRecorder::waitForTraffic(std::chrono::milliseconds timeout) {
  auto pollData = connection_->getEventLoopPollData();
  pollfd pfd{pollData.fd, pollData.events, 0};
  poll(&pfd, 1, static_cast<int>(std::max<int64_t>(timeout.count(), 0)));
}

bool SignalRecorder::waitFor(const std::function<bool(const SignalList&)>& predicate,
                             std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    takeInPending();
    if (predicate(signals_)) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    waitForTraffic(left);
  }
}

std::vector<sdbus::Variant> SignalRecorder::changesOf(const std::string& name, const std::string& path) const {
  std::vector<sdbus::Variant> values;
  for (const auto& signal : signals_) {
    if (signal.member != "PropertiesChanged" || signal.path != path) continue;
    if (auto it = signal.changed.find(name); it != signal.changed.end()) values.push_back(it->second);
  }
  return values;
}

std::vector<std::string> SignalRecorder::changedNames() const {
  std::vector<std::string> names;
  for (const auto& signal : signals_)
    if (signal.member == "PropertiesChanged")
      for (const auto& entry : signal.changed) names.push_back(entry.first);
  return names;
}

}  // namespace velmer::e2e
