#include "json_lines.hpp"

#include <cerrno>
#include <string>

#include "append_log.hpp"
#include "guarded.hpp"
#include "paths.hpp"

namespace velmer::platform {

bool appendJsonLine(std::string_view absolutePath, const nlohmann::ordered_json& entry, const char* caller) noexcept {
  return guarded(caller, false, [&] {
    // Texts come from other services; bytes that are not UTF-8 must not lose the line.
    const std::string line = entry.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + '\n';
    const std::string path = paths::resolve(absolutePath);
    const bool whole = appendLine(path, line);
    if (!whole) trace_printf(2, kTraceMask, "[%s]: cannot append to %s: %s", caller, path.c_str(), describeError(errno));
    return whole;
  });
}

}  // namespace velmer::platform
