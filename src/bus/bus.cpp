#include "bus/bus.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

namespace velmer::bus {

namespace {

std::unique_ptr<sdbus::IConnection>& connectionSlot() {
  static std::unique_ptr<sdbus::IConnection> slot;
  return slot;
}

// The loop waits on the bus socket and on this eventfd. Created before main() runs any
// thread, so the signal handler and every thread can use it without a check.
int wakeFd() {
  static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd;
}
[[maybe_unused]] const int wakeFdAtLoad = wakeFd();

std::atomic<bool> exitRequested{false};
std::atomic<bool> quietTeardownFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

void drainWakeFd() {
  uint64_t count = 0;
  while (::read(wakeFd(), &count, sizeof count) > 0) {
  }
}

// poll(2) time-out in milliseconds for sd-bus's absolute CLOCK_MONOTONIC deadline.
int pollTimeoutMs(uint64_t deadlineUsec) {
  if (deadlineUsec == std::numeric_limits<uint64_t>::max()) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
  if (deadlineUsec <= nowUsec) return 0;
  uint64_t ms = (deadlineUsec - nowUsec + 999) / 1000;
  return ms > static_cast<uint64_t>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                      : static_cast<int>(ms);
}

}  // namespace

namespace {

// The length of the character sd-bus accepts at the start of `text`, 0 when there is none.
size_t validCharacterLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead != 0 && lead < 0x80) return 1;
  const size_t length = (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || length > text.size()) return 0;
  uint32_t code = lead & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[k]);
    if ((next >> 6) != 0x2) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool overlong = code < kSmallest[length];
  const bool surrogate = (code & 0xFFFFF800) == 0xD800;
  const bool nonCharacter = (code >= 0xFDD0 && code <= 0xFDEF) || (code & 0xFFFE) == 0xFFFE;
  return overlong || surrogate || nonCharacter || code > 0x10FFFF ? 0 : length;
}

}  // namespace

std::string validUtf8Prefix(std::string_view text, size_t maxBytes) {
  std::string out;
  out.reserve(std::min(text.size(), maxBytes));
  for (size_t i = 0; i < text.size();) {
    const size_t length = validCharacterLength(text.substr(i));
    const size_t taken = length == 0 ? 1 : length;
    if (out.size() + taken > maxBytes) break;
    if (length == 0)
      out += '?';
    else
      out.append(text.substr(i, length));
    i += taken;
  }
  return out;
}

std::string validUtf8(std::string_view text) { return validUtf8Prefix(text, text.size()); }

namespace {

constexpr size_t kWireBytesPerElement = 8;

void refuseAbove(std::string_view name, size_t bytes, size_t limit) {
  if (bytes <= limit) return;
  throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs",
                     "property " + std::string(name) + ": a value of " + std::to_string(bytes) +
                         " bytes is more than the " + std::to_string(limit) + " a client may write");
}

size_t listBytes(const std::vector<std::string>& texts) {
  size_t bytes = 0;
  for (const auto& text : texts) bytes += text.size() + kWireBytesPerElement;
  return bytes;
}

}  // namespace

void refuseOversizedClientValue(std::string_view name, const std::string& value) {
  refuseAbove(name, value.size(), kMaxClientTextBytes);
}

void refuseOversizedClientValue(std::string_view name, const std::vector<std::string>& value) {
  refuseAbove(name, listBytes(value), kMaxClientListBytes);
}

void refuseOversizedClientValue(std::string_view name, const std::vector<uint8_t>& value) {
  refuseAbove(name, value.size(), kMaxClientListBytes);
}

void refuseOversizedClientValue(std::string_view name, const BlobKeyValue& value) {
  size_t bytes = 0;
  for (const auto& [jobID, callers] : value) {
    bytes += jobID.size() + kWireBytesPerElement;
    for (const auto& [caller, keys] : callers) {
      bytes += caller.size() + kWireBytesPerElement;
      for (const auto& [key, text] : keys) bytes += key.size() + text.size() + 2 * kWireBytesPerElement;
    }
  }
  refuseAbove(name, bytes, kMaxClientListBytes);
}

void openSystemBus() { connectionSlot() = sdbus::createSystemBusConnection(); }

sdbus::IConnection& connection() { return *connectionSlot(); }

void closeConnection() { connectionSlot().reset(); }

std::mutex& lock() {
  static std::mutex busMutex;
  return busMutex;
}

void requestNameReplacing(const std::string& name) {
  // sdbus-c++ 1.2 requests names without flags, so ask the bus daemon directly.
  constexpr uint32_t kAllowReplacement = 1, kReplaceExisting = 2;
  constexpr uint32_t kPrimaryOwner = 1, kAlreadyOwner = 4;
  auto busDaemon = sdbus::createProxy(connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus");
  uint32_t reply = 0;
  busDaemon->callMethod("RequestName")
      .onInterface("org.freedesktop.DBus")
      .withArguments(name, kAllowReplacement | kReplaceExisting)
      .storeResultsTo(reply);
  if (reply != kPrimaryOwner && reply != kAlreadyOwner)
    throw sdbus::Error(kErrorName, "sd_bus_request_name: " + name + " is owned by another process");
}

void wakeLoop() noexcept {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFd(), &one, sizeof one);
}

void requestLoopExit() noexcept {
  exitRequested.store(true);
  wakeLoop();
}

void runLoop() {
  for (;;) {
    sdbus::IConnection::PollData pollData{};
    {
      std::lock_guard busLock(lock());
      try {
        while (connection().processPendingRequest()) {
        }
      } catch (const sdbus::Error& e) {
        throw sdbus::Error(e.getName(), "sd_bus_process discard: " + e.getMessage());
      }
      pollData = connection().getEventLoopPollData();
    }
    if (exitRequested.load()) return;

    pollfd fds[2] = {{pollData.fd, pollData.events, 0}, {wakeFd(), POLLIN, 0}};
    if (::poll(fds, 2, pollTimeoutMs(pollData.timeout_usec)) < 0 && errno != EINTR)
      throw sdbus::Error(kErrorName, std::string("sd_bus_wait: ") + std::strerror(errno));
    if (fds[1].revents & POLLIN) drainWakeFd();
  }
}

namespace {
// The bus lock of this thread's yielding Access, if it holds one.
thread_local std::unique_lock<std::mutex>* yieldableBusLock = nullptr;
}  // namespace

Access::Access(WhileWaiting whileWaiting) : guard_(lock()) {
  if (whileWaiting == WhileWaiting::Yield) yieldableBusLock = &guard_;
}

Access::~Access() {
  if (yieldableBusLock == &guard_) yieldableBusLock = nullptr;
  guard_.unlock();
  wakeLoop();
}

WaitWithoutBusLock::WaitWithoutBusLock() {
  if (yieldableBusLock == nullptr || !yieldableBusLock->owns_lock()) return;
  released_ = yieldableBusLock;
  released_->unlock();
  wakeLoop();
}

WaitWithoutBusLock::~WaitWithoutBusLock() {
  if (released_ != nullptr) released_->lock();
}

void setQuietTeardown(bool quiet) noexcept { quietTeardownFlag.store(quiet); }

bool quietTeardownActive() noexcept { return quietTeardownFlag.load(std::memory_order_relaxed); }

void rethrowAsBusError() {
  try {
    throw;
  } catch (const sdbus::Error& e) {
    throw sdbus::Error(e.getName(), validUtf8(e.getMessage()));
  } catch (const std::exception& e) {
    throw sdbus::Error(kErrorName, validUtf8(e.what()));
  } catch (...) {
    throw sdbus::Error(kErrorName, "unknown failure");
  }
}

}  // namespace velmer::bus
