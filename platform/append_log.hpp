// Line-oriented log files of the platform stand-ins (events, cache journal): each line is
// appended with one O_APPEND write, so lines of concurrent writers never interleave.
// The file stays open between lines (they are written on the daemon's request path); it
// is created, with its directory, on first use.
#pragma once

#include <string>
#include <string_view>

namespace velmer::platform {

// Appends `line` (which ends with '\n') to the file at `path`: true when it was written whole.
bool appendLine(const std::string& path, std::string_view line);

}  // namespace velmer::platform
