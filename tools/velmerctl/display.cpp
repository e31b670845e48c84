#include "display.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <ctime>

namespace velmerctl {
namespace {

// The words of the numeric job states; state 5 has none.
const std::map<uint32_t, std::string_view> kStateWords = {
    {0, "new"},      {1, "scheduling"}, {2, "scheduled"},      {3, "running"},
    {4, "finished"}, {6, "reboot-pending"}, {7, "ac-cycle-pending"},
};

constexpr int64_t kTimeNotGiven = 4294967295;  // "TIME_NA"
constexpr int64_t kNextReboot = -2;
constexpr uint16_t kPercentNotReported = 254;

}  // namespace

std::string stateWord(uint32_t jobState) {
  auto it = kStateWords.find(jobState);
  return it != kStateWords.end() ? std::string(it->second) : std::to_string(jobState);
}

std::optional<uint32_t> parseState(std::string_view text) {
  for (const auto& [state, word] : kStateWords)
    if (word == text) return state;
  uint32_t number = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return number;
}

bool isFinalState(uint32_t jobState) { return jobState == 4 || jobState == 6 || jobState == 7; }

std::string formatTime(int64_t seconds) {
  if (seconds == 0) return "-";
  if (seconds == kTimeNotGiven) return "TIME_NA";
  if (seconds == kNextReboot) return "Next Reboot";
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm local{};
  char text[32];
  if (localtime_r(&time, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
    return std::to_string(seconds);
  return text;
}

std::string formatTimeCompact(int64_t seconds) {
  std::string full = formatTime(seconds);
  // "YYYY-MM-DD hh:mm:ss" -> "MM-DD hh:mm"; the sentinels stay as they are
  return full.size() == 19 && full[4] == '-' ? full.substr(5, 11) : full;
}

std::string formatStart(int64_t seconds, std::string (*timeText)(int64_t)) {
  return seconds == 0 ? "TIME_NOW" : timeText(seconds);
}

std::string formatPercent(uint16_t percent) {
  return percent >= kPercentNotReported ? "-" : std::to_string(percent) + "%";
}

std::string progressBar(uint16_t percent, size_t width) {
  size_t filled = percent >= kPercentNotReported ? 0 : std::min<size_t>(percent, 100) * width / 100;
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
}

std::string toText(const sdbus::Variant& value) {
  nlohmann::json json = toJson(value);
  return json.is_string() ? json.get<std::string>() : json.dump();
}

nlohmann::json toJson(const sdbus::Variant& value) {
  const std::string type = value.peekValueType();
  if (type == "s") return value.get<std::string>();
  if (type == "x") return value.get<int64_t>();
  if (type == "t") return value.get<uint64_t>();
  if (type == "u") return value.get<uint32_t>();
  if (type == "q") return value.get<uint16_t>();
  if (type == "y") return value.get<uint8_t>();
  if (type == "b") return value.get<bool>();
  if (type == "as") return value.get<std::vector<std::string>>();
  if (type == "ay") return value.get<std::vector<uint8_t>>();
  if (type == "a{sa{sa{ss}}}") return value.get<std::map<std::string, std::map<std::string, std::map<std::string, std::string>>>>();
  return "<value of type " + type + ">";
}

nlohmann::json toJson(const PropertyMap& properties) {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [name, value] : properties) object[name] = toJson(value);
  return object;
}

size_t displayWidth(std::string_view text) {
  return std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
}

std::string cutToWidth(std::string_view text, size_t width) {
  if (displayWidth(text) <= width) return std::string(text);
  if (width == 0) return "";
  std::string cut;
  size_t characters = 0;
  for (char c : text) {
    bool starts = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (starts && ++characters == width) break;
    cut += c;
  }
  return cut + "…";
}

namespace {

constexpr size_t kGap = 2, kNarrowest = 4;

// Column widths after cutting, 0 for a column left out.
std::vector<size_t> layOut(const std::vector<Column>& columns, const std::vector<Row>& rows, size_t width) {
  std::vector<size_t> natural;
  for (const Column& column : columns) natural.push_back(displayWidth(column.title));
  for (const Row& row : rows)
    for (size_t i = 0; i < row.size() && i < natural.size(); ++i) natural[i] = std::max(natural[i], displayWidth(row[i]));

  std::vector<bool> shown(columns.size(), true);
  for (;;) {
    std::vector<size_t> widths(columns.size(), 0);
    size_t total = 0, count = 0;
    for (size_t i = 0; i < columns.size(); ++i)
      if (shown[i]) widths[i] = natural[i], total += natural[i], ++count;
    total += count > 0 ? kGap * (count - 1) : 0;
    while (total > width) {
      size_t widest = columns.size();
      for (size_t i = 0; i < columns.size(); ++i)
        if (shown[i] && columns[i].shrinkable && widths[i] > kNarrowest &&
            (widest == columns.size() || widths[i] > widths[widest]))
          widest = i;
      if (widest == columns.size()) break;
      --widths[widest], --total;
    }
    size_t drop = columns.size();
    for (size_t i = 0; i < columns.size(); ++i)
      if (shown[i] && columns[i].dropOrder > 0 && (drop == columns.size() || columns[i].dropOrder > columns[drop].dropOrder))
        drop = i;
    if (total <= width || drop == columns.size()) return widths;
    shown[drop] = false;
  }
}

}  // namespace

std::string renderTable(const std::vector<Column>& columns, const std::vector<Row>& rows, size_t width) {
  std::vector<size_t> widths = layOut(columns, rows, width);
  size_t last = widths.size();
  while (last > 0 && widths[last - 1] == 0) --last;
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (size_t i = 0; i < last; ++i) {
      if (widths[i] == 0) continue;
      std::string cell = cutToWidth(i < cells.size() ? cells[i] : "", widths[i]);
      text += cell;
      if (i + 1 < last) text += std::string(widths[i] - displayWidth(cell) + kGap, ' ');
    }
    return text + "\n";
  };
  std::vector<std::string> titles;
  for (const Column& column : columns) titles.push_back(column.title);
  std::string table = line(titles);
  for (const Row& row : rows) table += line(row);
  return table;
}

bool fitsByCutting(const std::vector<Column>& columns, const std::vector<Row>& rows, size_t width) {
  std::vector<size_t> widths = layOut(columns, rows, width);
  size_t total = kGap * (widths.size() > 0 ? widths.size() - 1 : 0);
  for (size_t w : widths) {
    if (w == 0) return false;
    total += w;
  }
  return total <= width;
}

size_t outputWidth() {
  if (!isatty(STDOUT_FILENO)) return kNoWidthLimit;
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    size_t number = 0;
    std::string_view text(columns);
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc() && end == text.data() + text.size() && number > 0) return number;
  }
  return 80;
}

}  // namespace velmerctl
