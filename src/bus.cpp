#include "bus.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>

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

std::string validUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
    bool ok = length != 0 && i + length <= text.size() && byte != 0;
    for (size_t k = 1; ok && k < length; ++k) ok = (static_cast<unsigned char>(text[i + k]) >> 6) == 0x2;
    if (ok) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
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

Access::Access() : guard_(lock()) {}

Access::~Access() {
  guard_.unlock();
  wakeLoop();
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
