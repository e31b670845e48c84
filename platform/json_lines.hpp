// The observable side of the stand-ins: each records what it was asked to do as one JSON
// object per line in a file of its own under the sandbox root, for tests and operators.
#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

namespace velmer::platform {

// Appends `entry` as one line to `absolutePath` (resolved under the sandbox root) with a
// single O_APPEND write, so lines of concurrent writers, in this process or another,
// never interleave. The directory is created when missing. A line that cannot be written
// whole is logged with `caller` as the tag and answers false; it never throws.
bool appendJsonLine(std::string_view absolutePath, const nlohmann::ordered_json& entry, const char* caller) noexcept;

}  // namespace velmer::platform
