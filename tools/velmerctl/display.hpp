// How velmerctl shows what the job manager publishes: state words, times, progress,
// property values as text or JSON, and tables fitted to the terminal. Pure functions,
// no bus, but for the width of standard output.
#pragma once

#include <sdbus-c++/Types.h>

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmerctl {

using PropertyMap = std::map<std::string, sdbus::Variant>;

// The word for a numeric jobState ("new", "running", "finished", ...), or the number
// itself for a state the job manager does not interpret.
std::string stateWord(uint32_t jobState);
// A state given on the command line, as a word of stateWord() or as a number.
std::optional<uint32_t> parseState(std::string_view text);
// The states after which a job gets no further report: finished, and completed with a
// reboot or virtual AC cycle pending.
bool isFinalState(uint32_t jobState);

// Seconds since the epoch as local "YYYY-MM-DD hh:mm:ss"; the schedule sentinels by
// name ("TIME_NA", "Next Reboot") and 0 as "-".
std::string formatTime(int64_t seconds);
// The same without year and seconds ("MM-DD hh:mm"), for narrow tables.
std::string formatTimeCompact(int64_t seconds);
// A start time, where 0 is not "none" but "TIME_NOW", as `timeText` shows times.
std::string formatStart(int64_t seconds, std::string (*timeText)(int64_t) = formatTime);

// percentComplete as "42%", or "-" for 254 and 255 ("not reported").
std::string formatPercent(uint16_t percent);
// "[#####-----]" with `width` cells between the brackets; empty cells when the
// percentage was not reported, full above 100.
std::string progressBar(uint16_t percent, size_t width);

// A property value of any of the job manager's D-Bus types, as text or as JSON.
std::string toText(const sdbus::Variant& value);
nlohmann::json toJson(const sdbus::Variant& value);
nlohmann::json toJson(const PropertyMap& properties);

// A property's value when present with type T, else `fallback`.
template <class T>
T valueOr(const PropertyMap& properties, const std::string& name, T fallback) {
  auto it = properties.find(name);
  if (it == properties.end() || it->second.peekValueType() != sdbus::signature_of<T>::str()) return fallback;
  return it->second.get<T>();
}

// Characters a text takes on the terminal (UTF-8 code points).
size_t displayWidth(std::string_view text);
// The text cut to `width` characters, its last one "…" when cut.
std::string cutToWidth(std::string_view text, size_t width);

struct Column {
  std::string title;
  // A column that may be cut when the table is wider than the terminal.
  bool shrinkable = false;
  // A column left out when cutting is not enough: the highest number first; 0 never.
  int dropOrder = 0;
};
using Row = std::vector<std::string>;

// The table as lines: titles, then rows, columns two spaces apart. When it is wider
// than `width`, the widest shrinkable column is cut a character at a time (down to
// four characters) until it fits; if that is not enough, droppable columns are left
// out, and a table that still does not fit is left to the terminal to wrap.
std::string renderTable(const std::vector<Column>& columns, const std::vector<Row>& rows, size_t width);
// Whether the table fits `width` by cutting alone, every column shown.
bool fitsByCutting(const std::vector<Column>& columns, const std::vector<Row>& rows, size_t width);

// The width that tables and lines are fitted to: on a terminal, its size, else COLUMNS,
// else 80; elsewhere (a pipe, a file) no limit, so that whole values reach the program or
// the person reading them, as systemctl and ps give them.
inline constexpr size_t kNoWidthLimit = SIZE_MAX;
size_t outputWidth();

}  // namespace velmerctl
