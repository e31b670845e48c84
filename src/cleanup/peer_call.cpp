#include "cleanup/peer_call.hpp"

#include <string_view>

namespace velmer::peer {

sdbus::Variant getProperty(const std::string& service, const std::string& path, const std::string& interface,
                           const std::string& property) {
  auto [value] = call<sdbus::Variant>({service, path, "org.freedesktop.DBus.Properties", "Get"}, interface, property);
  return value;
}

bool isPeerError(const sdbus::Error& error) {
  return !std::string_view(error.getName()).starts_with("org.freedesktop.DBus.Error.");
}

void logFailedCancel(const char* tag) noexcept {
  try {
    throw;
  } catch (const sdbus::Error& e) {
    if (isPeerError(e))
      trace_printf(4, 8, "[%s]:  DBus method returned an error", tag);
    else
      trace_printf(4, 8, "[%s]:  SdBusError: %s", tag, e.what());
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]:  Error: %s", tag, e.what());
  } catch (...) {
    trace_printf(4, 8, "[%s]:  Error: %s", tag, "unknown exception");
  }
}

}  // namespace velmer::peer
