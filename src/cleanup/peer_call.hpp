// Calls to the controller's peer services (object mapper, inventory, configuration
// manager, storage, provisioning, firmware update).
//
// Every call opens a system-bus connection of its own and closes it when the reply has
// been read. The daemon's connection is not used: it belongs to the main loop, and the
// handler that makes the call already runs under the bus lock. The calling thread blocks
// for at most the default D-Bus timeout (without the bus lock when it runs a waiting
// call); an absent peer fails at once.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bus/bus.hpp"
#include "trace.h"

namespace velmer::peer {

struct Method {
  std::string service;
  std::string path;
  std::string interface;
  std::string name;
};

// How far a call got; a caller that reports each step's failure on its own reads it when
// the call has thrown.
enum class Step { Connect, CreateCall, AppendArguments, Call, ReadReply };

// Calls `method` with `args` and returns the reply's values as `Results`. Every failure
// of the bus, the library or the peer throws sdbus::Error (an error reply keeps the
// peer's error name); a reply with fewer values than `Results` is a failure too.
template <class... Results, class... Args>
std::tuple<Results...> call(const Method& method, Step& reached, const Args&... args) {
  reached = Step::Connect;
  auto connection = sdbus::createSystemBusConnection();
  auto proxy = sdbus::createProxy(*connection, method.service, method.path);
  reached = Step::CreateCall;
  auto request = proxy->createMethodCall(method.interface, method.name);
  reached = Step::AppendArguments;
  (request << ... << args);
  reached = Step::Call;
  // The reply refers to the connection's bus: it is read here, before both are closed.
  auto reply = [&] {
    bus::WaitWithoutBusLock waiting;
    return proxy->callMethod(request);  // time-out 0: the default D-Bus time-out
  }();
  reached = Step::ReadReply;
  std::tuple<Results...> results;
  std::apply([&](auto&... out) { (reply >> ... >> out); }, results);
  if (!reply) throw sdbus::createError(EBADMSG, "reply of " + method.name + " holds fewer values than expected");
  return results;
}

template <class... Results, class... Args>
std::tuple<Results...> call(const Method& method, const Args&... args) {
  Step reached;
  return call<Results...>(method, reached, args...);
}

// org.freedesktop.DBus.Properties.Get of `property` in `interface` on `service`'s `path`.
sdbus::Variant getProperty(const std::string& service, const std::string& path, const std::string& interface,
                           const std::string& property);

// Whether the peer itself answered with an error of its own. Errors in the
// org.freedesktop.DBus.Error namespace come from the bus (no such service, no reply),
// from our library (no connection, bad message) or from the peer's binding refusing the
// call (no such object, method or property): the call did not reach the peer's logic.
bool isPeerError(const sdbus::Error& error);

// Inside a catch block: logs the exception in flight as the configuration cancels report
// a failed call: "[tag]:  DBus method returned an error" for the peer's own error,
// "[tag]:  SdBusError: ..." for any other bus error, "[tag]:  Error: ..." for the rest.
void logFailedCancel(const char* tag) noexcept;

// The frame of a configuration cancel (configuration manager, storage service): an empty
// job ID is refused with 1; otherwise `method` is called with `args` and `onReply` turns
// the reply's values into the status. A failed call is logged and gives 37.
template <class Status, class... Results, class OnReply, class... Args>
Status cancelCall(const char* tag, const std::string& jobID, const Method& method, OnReply&& onReply,
                  const Args&... args) noexcept {
  if (jobID.empty()) {
    trace_printf(4, 8, "[%s]:  Error: jobID is empty", tag);
    return 1;
  }
  try {
    return std::apply(onReply, call<Results...>(method, args...));
  } catch (...) {
    logFailedCancel(tag);
    return 37;
  }
}

// A D-Bus dictionary read in the order the peer sent its entries, which std::map would
// sort away.
template <class Key, class Value>
struct OrderedDict {
  std::vector<std::pair<Key, Value>> entries;
};

template <class Key, class Value>
sdbus::Message& operator>>(sdbus::Message& message, OrderedDict<Key, Value>& dict) {
  const std::string entrySignature = sdbus::signature_of<Key>::str() + sdbus::signature_of<Value>::str();
  if (!message.enterContainer("{" + entrySignature + "}")) return message;
  while (message.enterDictEntry(entrySignature)) {
    std::pair<Key, Value> entry;
    message >> entry.first >> entry.second;
    dict.entries.push_back(std::move(entry));
    message.exitDictEntry();
  }
  message.clearFlags();  // the failed enterDictEntry that ended the loop is no failure
  message.exitContainer();
  return message;
}

}  // namespace velmer::peer

template <class Key, class Value>
struct sdbus::signature_of<velmer::peer::OrderedDict<Key, Value>> : sdbus::signature_of<std::map<Key, Value>> {};
