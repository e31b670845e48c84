// Records the signals that objects below /xyz/openbmc_project/jobservice send:
// PropertiesChanged, InterfacesAdded and InterfacesRemoved.
//
// The recorder has a connection of its own and no event-loop thread: signals are read
// only inside sync(), clear() and waitFor(), so a test decides when they are taken in.
// The bus daemon keeps one sender's messages to one receiver in order, which sync()
// builds on: after it, the record is complete up to that moment.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus_client.hpp"

namespace velmer::e2e {

struct RecordedSignal {
  std::string sender;  // unique name
  std::string path;
  std::string member;  // "PropertiesChanged", "InterfacesAdded", "InterfacesRemoved"
  // PropertiesChanged: the interface whose properties changed and their new values.
  std::string interface;
  PropertyMap changed;
  // InterfacesAdded and InterfacesRemoved: the object and its interfaces.
  std::string objectPath;
  std::vector<std::string> interfaces;
};

using SignalList = std::vector<RecordedSignal>;

class SignalRecorder {
 public:
  // Subscribes at once, on the bus named by DBUS_SYSTEM_BUS_ADDRESS.
  SignalRecorder();

  // Pings the job manager from the recorder's connection and takes in every signal that
  // arrived before the answer: all that the daemon sent for calls already answered.
  void sync();
  // sync(), then forgets the record: start-up's signals, for example.
  void clear();

  // Takes in what has arrived until `predicate` holds for the whole record or
  // `timeout` passes. Returns whether it held.
  bool waitFor(const std::function<bool(const SignalList&)>& predicate, std::chrono::milliseconds timeout);

  const SignalList& signals() const { return signals_; }

  // The recorded values of `name` from PropertiesChanged, oldest first.
  std::vector<sdbus::Variant> changesOf(const std::string& name, const std::string& path = kServicePath) const;
  // Every recorded PropertiesChanged entry as "name" in order of arrival.
  std::vector<std::string> changedNames() const;

 private:
  void record(sdbus::Message& message);
  void takeInPending();
  void waitForTraffic(std::chrono::milliseconds timeout);

  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IProxy> daemon_;
  SignalList signals_;
};

}  // namespace velmer::e2e
