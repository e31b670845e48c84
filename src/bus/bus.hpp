// Our small layer over the D-Bus binding library: the connection, the bus lock, the
// main loop, and the base class of every published object with its property helper.
// Everything that knows sdbus-c++ beyond the generated adaptors lives here, so moving
// to another binding version touches this file pair.
//
// Threads: the main thread runs the loop and every method handler with the bus lock
// held. Any other thread that touches the bus (creates, changes or destroys an object,
// emits a signal) holds a bus::Access for the duration, which takes the bus lock and
// wakes the loop afterwards so that queued messages go out at once.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "trace.h"

namespace velmer::bus {

// Error name of every failure the bus layer reports for us. It must be a valid D-Bus
// error name: an invalid one gets the daemon disconnected by the bus.
inline constexpr const char* kErrorName = "com.zorvex.kelvo.jobservice.Error.Failed";

// ---------------------------------------------------------------------------------------
// Connection, lock and loop

// Opens the default system-bus connection (DBUS_SYSTEM_BUS_ADDRESS selects another bus).
void openSystemBus();
sdbus::IConnection& connection();
// Drops the connection at process end, after every object is gone.
void closeConnection();

// The bus lock: a plain mutex held by the loop while it dispatches and by any other
// thread while it uses the connection.
std::mutex& lock();

// Requests `name` with sd-bus's replace-existing and allow-replacement flags, so that a
// newer instance takes the name over. Throws sdbus::Error "sd_bus_request_name".
void requestNameReplacing(const std::string& name);

// Wakes the loop out of its wait: after a thread touched the bus, or from a signal
// handler (async-signal-safe: one write to an eventfd).
void wakeLoop() noexcept;

// Asks the loop to return after its current step. Async-signal-safe.
void requestLoopExit() noexcept;

// Dispatches bus messages until requestLoopExit(). Each step holds the bus lock while
// it processes; the wait happens without it. Throws on a bus failure.
void runLoop();

// RAII bus access for threads other than the loop's: holds the bus lock, then wakes the
// loop when released. Never take it inside a method handler (the loop holds the lock).
// An access that may `Yield` gives the lock up while its thread waits on another process
// (see WaitWithoutBusLock).
class Access {
 public:
  enum class WhileWaiting { Hold, Yield };
  explicit Access(WhileWaiting whileWaiting = WhileWaiting::Hold);
  ~Access();
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;

 private:
  std::unique_lock<std::mutex> guard_;
};

// Around a wait on another process (a tool program, a peer service's reply): when this
// thread holds the bus lock through a yielding Access, the lock is given up for the wait
// and taken again after it, so the loop answers other calls meanwhile. Anywhere else
// (a method handler on the loop, a thread without bus access) it does nothing. The
// thread must hold no registry lock and no reference into a published object across it:
// the store may change while it waits.
class WaitWithoutBusLock {
 public:
  WaitWithoutBusLock();
  ~WaitWithoutBusLock();
  WaitWithoutBusLock(const WaitWithoutBusLock&) = delete;
  WaitWithoutBusLock& operator=(const WaitWithoutBusLock&) = delete;

 private:
  std::unique_lock<std::mutex>* released_ = nullptr;
};

// While set, objects leave the bus without InterfacesRemoved: used when the process
// ends and its name disappears anyway.
void setQuietTeardown(bool quiet) noexcept;

// ---------------------------------------------------------------------------------------
// Published objects

using BlobKeyValue = std::map<std::string, std::map<std::string, std::map<std::string, std::string>>>;

bool quietTeardownActive() noexcept;

// `text` with every byte that is not part of a character sd-bus accepts replaced by '?'
// (NUL, overlong forms, surrogates, code points above U+10FFFF and the non-characters
// are refused as well): D-Bus strings must be valid UTF-8, and a message holding one
// that is not cannot be sent. Texts read from files go through this before they
// become properties.
std::string validUtf8(std::string_view text);

// The longest prefix of `text` of at most `maxBytes` bytes that does not split a
// character, made valid as validUtf8 does. Every byte limit on a stored text is cut
// with this, so a cut never leaves half a character behind.
std::string validUtf8Prefix(std::string_view text, size_t maxBytes);

// What a client may write into one property with Properties.Set: a text of at most
// kMaxClientTextBytes; a list, byte array or map of at most kMaxClientListBytes,
// counting its texts and 8 bytes an element (about what an element costs on the wire).
// With every job and queue of a full store at these bounds, a GetManagedObjects reply
// stays well below the 32 MiB a system bus accepts in one message, and so does every
// PropertiesChanged. The daemon's own writes use the setters with a skipSignal flag,
// setAllProperties or update(), and are bounded where their texts come from.
inline constexpr size_t kMaxClientTextBytes = 4096;
inline constexpr size_t kMaxClientListBytes = 16384;

// Throws org.freedesktop.DBus.Error.InvalidArgs when a client's value for property
// `name` exceeds those bounds. Numbers have a fixed size and always pass.
template <class T>
void refuseOversizedClientValue(std::string_view /*name*/, const T& /*number*/) {}
void refuseOversizedClientValue(std::string_view name, const std::string& value);
void refuseOversizedClientValue(std::string_view name, const std::vector<std::string>& value);
void refuseOversizedClientValue(std::string_view name, const std::vector<uint8_t>& value);
void refuseOversizedClientValue(std::string_view name, const BlobKeyValue& value);

// Turns any exception into the one kind the binding library can reply with.
[[noreturn]] void rethrowAsBusError();

// Runs `body`; every exception leaves as an sdbus::Error (valid name, original text).
template <class Body>
auto guarded(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    rethrowAsBusError();
  }
}

// One property of a record-backed object: its bus name and the record field behind it.
template <class Record>
struct Field {
  std::string_view name;
  std::variant<int64_t Record::*, uint64_t Record::*, uint32_t Record::*, uint16_t Record::*,
               uint8_t Record::*, std::string Record::*, std::vector<std::string> Record::*,
               std::vector<uint8_t> Record::*, BlobKeyValue Record::*>
      member;
};

// Base of every object we publish. `Adaptor` is the generated server binding of one
// interface; `Record` is the plain struct that holds the object's property values.
//
// Property rules, once for all objects: storing the value already held does nothing;
// a change emits PropertiesChanged for that one property unless skipSignal is set or
// the object is not announced yet. Values are guarded by a leaf mutex so that any
// thread may read them; the mutex is never held while the bus is used.
template <class Adaptor, class Record>
class Object : public sdbus::AdaptorInterfaces<Adaptor> {
 public:
  using Base = sdbus::AdaptorInterfaces<Adaptor>;

  const std::string& path() const { return Base::getObjectPath(); }
  bool announced() const { return announced_; }

  // InterfacesAdded for this object's interface; property changes are signalled from now on.
  void announce() {
    Base::getObject().emitInterfacesAddedSignal({Adaptor::INTERFACE_NAME});
    announced_ = true;
  }

  // A consistent copy of every property.
  Record snapshot() const {
    std::lock_guard values(valuesMutex_);
    return values_;
  }

  // Calls `reader` with the record, under the values lock and without copying it.
  // The reader only reads: it must not use the bus or take any other lock.
  template <class Reader>
  auto visit(Reader&& reader) const {
    std::lock_guard values(valuesMutex_);
    return reader(static_cast<const Record&>(values_));
  }

  template <class T>
  T get(T Record::*member) const {
    std::lock_guard values(valuesMutex_);
    return values_.*member;
  }

  // The setter with a skipSignal flag, for every property. Returns whether it changed.
  template <class T>
  bool set(T Record::*member, const T& value, std::string_view name, bool skipSignal = false) {
    {
      std::lock_guard values(valuesMutex_);
      if (values_.*member == value) return false;
      values_.*member = value;
    }
    if (!skipSignal && announced_ && !quietTeardownActive()) {
      Base::getObject().emitPropertiesChangedSignal(Adaptor::INTERFACE_NAME, {std::string(name)});
    }
    return true;
  }

  // Changes one property in place (no copy of a large value) and signals the change.
  // `mutator` runs under the values lock: it only changes the value. One that returns
  // bool says whether it changed anything; false sends no signal.
  template <class T, class Mutator>
  void update(T Record::*member, std::string_view name, Mutator&& mutator) {
    bool changed = true;
    {
      std::lock_guard values(valuesMutex_);
      if constexpr (std::is_same_v<std::invoke_result_t<Mutator&, T&>, bool>)
        changed = mutator(values_.*member);
      else
        mutator(values_.*member);
    }
    if (changed && announced_ && !quietTeardownActive())
      Base::getObject().emitPropertiesChangedSignal(Adaptor::INTERFACE_NAME, {std::string(name)});
  }

  // Applies a name-to-value map in key order through the setters, with signals.
  // Unknown names are ignored. A value of the wrong type stops at that entry (earlier
  // entries keep their new values) and throws sdbus::Error naming the property.
  void applyProperties(std::span<const Field<Record>> fields, const std::map<std::string, sdbus::Variant>& values,
                       const std::function<void(const std::string&)>& onEntry = {}) {
    for (const auto& entry : values) {
      const std::string& name = entry.first;
      const sdbus::Variant& value = entry.second;  // a lambda may capture it (clang 14: no structured bindings)
      const Field<Record>* field = findField(fields, name);
      if (field == nullptr) continue;
      if (onEntry) onEntry(name);
      std::visit([&](auto member) { applyOne(member, value, field->name); }, field->member);
    }
  }

 protected:
  Object(sdbus::IConnection& connection, std::string path, const char* bindingName)
      : Base(connection, std::move(path)), bindingName_(bindingName) {
    Base::registerAdaptor();
  }

  ~Object() {
    trace_printf(9, 128, "%s.%d.%s: destructor called, DAL true", "server.hpp", 65, bindingName_);
    try {
      if (announced_ && !quietTeardownActive()) Base::getObject().emitInterfacesRemovedSignal({Adaptor::INTERFACE_NAME});
    } catch (const std::exception& e) {
      trace_printf(2, 8, "[%s]: InterfacesRemoved for %s failed: %s", bindingName_, path().c_str(), e.what());
    }
    Base::unregisterAdaptor();
  }

  // Bodies of the generated getters and setters.
  template <class T>
  T busGet(T Record::*member) const {
    return guarded([&] { return get(member); });
  }
  // Returns whether the value changed.
  template <class T>
  bool busSet(T Record::*member, const T& value, std::string_view name) {
    return guarded([&] {
      refuseOversizedClientValue(name, value);
      return set(member, value, name);
    });
  }

 private:
  static const Field<Record>* findField(std::span<const Field<Record>> fields, std::string_view name) {
    for (const auto& field : fields)
      if (field.name == name) return &field;
    return nullptr;
  }

  template <class T>
  void applyOne(T Record::*member, const sdbus::Variant& value, std::string_view name) {
    if (!value.containsValueOfType<T>()) {
      throw sdbus::Error(kErrorName, "property " + std::string(name) + " expects type " +
                                         sdbus::signature_of<T>::str() + ", got " + value.peekValueType());
    }
    set(member, value.get<T>(), name);
  }

  mutable std::mutex valuesMutex_;
  Record values_;
  const char* bindingName_;
  std::atomic<bool> announced_{false};
};

}  // namespace velmer::bus

// Declares one property's getter, its setter with a skipSignal flag, and the plain
// setter that the bus calls (the same with skipSignal false, for values within the
// bounds of a client's write).
#define VELMER_BUS_PROPERTY(Record, Type, name) \
  VELMER_BUS_PROPERTY_ACCESSORS(Record, Type, name) \
  void name(const Type& value) override { busSet(&Record::name, value, #name); }

// The same for a property whose client writes need more than storing: the plain setter
// is only declared, and the object defines it (calling busSet first). The daemon's own
// writes use the setter with a skipSignal flag.
#define VELMER_BUS_PROPERTY_OWN_CLIENT_SETTER(Record, Type, name) \
  VELMER_BUS_PROPERTY_ACCESSORS(Record, Type, name) \
  void name(const Type& value) override;

#define VELMER_BUS_PROPERTY_ACCESSORS(Record, Type, name)           \
  Type name() override { return busGet(&Record::name); } \
  bool name(const Type& value, bool skipSignal) { return this->set(&Record::name, value, #name, skipSignal); }

// The same for a read-only property: the getter only.
#define VELMER_BUS_READONLY_PROPERTY(Record, Type, name) \
  Type name() override { return busGet(&Record::name); }
