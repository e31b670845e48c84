#include "persistence/key_value_file.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <fstream>

#include <nlohmann/json.hpp>

#include "paths.hpp"

namespace velmer {

namespace {

constexpr size_t kIndentStep = 4;

// How JSON writes a byte of a text (as nlohmann does without ASCII escaping): a short
// escape for quote, backslash and five control characters, \u00XX for the others, every
// other byte as it is.
std::string_view shortEscape(unsigned char c) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\f': return "\\f";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: return {};
  }
}

size_t quotedBytes(std::string_view text) {
  size_t bytes = 2;
  for (const unsigned char c : text) bytes += !shortEscape(c).empty() ? 2 : c < 0x20 ? 6 : 1;
  return bytes;
}

void appendQuoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const unsigned char c : text) {
    if (const std::string_view escape = shortEscape(c); !escape.empty()) {
      out += escape;
    } else if (c < 0x20) {
      const char unicode[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(unicode, sizeof unicode);
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// Writes an object at `indent` with one member per line, `appendValue` writing each value.
template <class Map, class AppendValue>
void appendObject(std::string& out, size_t indent, const Map& object, AppendValue&& appendValue) {
  if (object.empty()) {
    out += "{}";
    return;
  }
  out += "{\n";
  for (auto member = object.begin(); member != object.end(); ++member) {
    if (member != object.begin()) out += ",\n";
    out.append(indent + kIndentStep, ' ');
    appendQuoted(out, member->first);
    out += ": ";
    appendValue(member->second);
  }
  out += '\n';
  out.append(indent, ' ');
  out += '}';
}

// A member of an object at `indent`, with the ",\n" after it.
size_t memberBytes(size_t indent, std::string_view name, size_t valueBytes) {
  return indent + kIndentStep + quotedBytes(name) + 2 + valueBytes + 2;
}

// An object at `indent` of `count` members taking `members` bytes: "{\n", the members,
// the last one's "\n" instead of ",\n", the indentation and "}"; "{}" when empty.
size_t objectBytes(size_t indent, size_t count, size_t members) { return count == 0 ? 2 : members + indent + 2; }

// Builds the store from the parser's events. Depth counts the open objects: 1 inside the
// document (job IDs), 2 inside a job (callers), 3 inside a caller (keys). Anything else
// is skipped whole and noted; parsing stops at a syntax error, keeping what came before.
class StoreBuilder {
 public:
  explicit StoreBuilder(KeyValueFileContents& contents) : out_(contents) {}

  bool null() { return leaveOut("null"); }
  bool boolean(bool) { return leaveOut("a boolean"); }
  bool number_integer(nlohmann::json::number_integer_t) { return leaveOut("a number"); }
  bool number_unsigned(nlohmann::json::number_unsigned_t) { return leaveOut("a number"); }
  bool number_float(nlohmann::json::number_float_t, const std::string&) { return leaveOut("a number"); }
  bool binary(nlohmann::json::binary_t&) { return leaveOut("binary data"); }

  bool string(std::string& value) {
    if (skipped_ > 0 || depth_ != 3) return leaveOut("a string");
    out_.store[names_[0]][names_[1]][names_[2]] = kept(value);
    return true;
  }

  bool start_object(std::size_t) {
    if (skipped_ > 0 || depth_ == 3) return skip("an object");
    if (depth_ == 1) out_.store[names_[0]];
    if (depth_ == 2) out_.store[names_[0]][names_[1]];
    ++depth_;
    return true;
  }

  bool key(std::string& name) {
    if (skipped_ == 0) names_[depth_ - 1] = kept(name);
    return true;
  }

  bool end_object() {
    if (skipped_ > 0)
      --skipped_;
    else
      --depth_;
    return true;
  }

  bool start_array(std::size_t) { return skip("an array"); }
  bool end_array() {
    --skipped_;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception& e) {
    note(e.what());
    return false;
  }

 private:
  // Where the parser is: the member names down to the current depth.
  std::string place() const {
    if (depth_ == 0) return "the file";
    std::string path = names_[0];
    for (int level = 1; level < depth_; ++level) path += "/" + names_[level];
    return path;
  }

  void note(const std::string& what) {
    if (out_.damage.empty()) out_.damage = what;
  }

  bool leaveOut(const char* what) {
    if (skipped_ == 0) note(place() + " holds " + what + ", left out");
    return true;
  }

  bool skip(const char* what) {
    leaveOut(what);
    ++skipped_;
    return true;
  }

  // A JSON escape can name a character no D-Bus string may hold: made valid here.
  std::string kept(const std::string& text) {
    std::string valid = bus::validUtf8(text);
    if (valid != text) note(place() + " holds a text that is not valid UTF-8, made valid");
    return valid;
  }

  KeyValueFileContents& out_;
  std::array<std::string, 3> names_;
  int depth_ = 0;
  size_t skipped_ = 0;  // objects and arrays open inside the one being skipped, itself included
};

// Leaves out the jobs that no longer fit in the file, the service member first kept.
void keepWithinFileBound(KeyValueFileContents& contents) {
  bus::BlobKeyValue& store = contents.store;
  size_t jobs = 0, members = 0;
  auto fits = [&](const std::string& jobID, const KeyValueCallers& callers) {
    const size_t bytes = keyValueJobBytes(jobID, callers).file;
    if (keyValueFileBytes(jobs + 1, members + bytes) > kMaxKeyValueFileSize) return false;
    ++jobs;
    members += bytes;
    return true;
  };
  const auto service = store.find(kServiceConfigMember);
  if (service != store.end() && !fits(service->first, service->second)) store.erase(service);
  for (auto job = store.begin(); job != store.end();) {
    if (job->first == kServiceConfigMember || fits(job->first, job->second)) {
      ++job;
      continue;
    }
    if (contents.damage.empty()) contents.damage = job->first + " and more left out: the file would be too large";
    job = store.erase(job);
  }
}

}  // namespace

std::string keyValueFilePath() { return paths::resolve(paths::kKeyValueFile); }

KeyValueBytes keyValueJobBytes(const std::string& jobID, const KeyValueCallers& callers) {
  KeyValueBytes bytes{.texts = jobID.size()};
  size_t callerMembers = 0;
  for (const auto& [caller, keys] : callers) {
    size_t keyMembers = 0;
    for (const auto& [key, value] : keys) {
      bytes.texts += key.size() + value.size();
      keyMembers += memberBytes(2 * kIndentStep, key, quotedBytes(value));
    }
    bytes.texts += caller.size();
    callerMembers += memberBytes(kIndentStep, caller, objectBytes(2 * kIndentStep, keys.size(), keyMembers));
  }
  bytes.file = memberBytes(0, jobID, objectBytes(kIndentStep, callers.size(), callerMembers));
  return bytes;
}

KeyValueBytes keyValueStoreBytes(const bus::BlobKeyValue& store) {
  KeyValueBytes bytes;
  for (const auto& [jobID, callers] : store) bytes += keyValueJobBytes(jobID, callers);
  return bytes;
}

size_t keyValueFileBytes(size_t jobs, size_t jobMemberBytes) {
  static const size_t serviceMember =
      keyValueJobBytes(kServiceConfigMember, {{"velmerd", {{"autoDeleteTimeout", std::to_string(UINT32_MAX)}}}}).file;
  return objectBytes(0, jobs + 1, jobMemberBytes + serviceMember);
}

std::string serializeBlobKeyValue(const bus::BlobKeyValue& store, uint32_t autoDeleteTimeout) {
  // The service member takes its place in byte order, and the place of a job of its name.
  const KeyValueCallers service = {{"velmerd", {{"autoDeleteTimeout", std::to_string(autoDeleteTimeout)}}}};
  std::map<std::string_view, const KeyValueCallers*> members;
  for (const auto& [jobID, callers] : store) members.emplace(jobID, &callers);
  members[kServiceConfigMember] = &service;
  std::string text;
  text.reserve(keyValueFileBytes(store.size(), keyValueStoreBytes(store).file));
  appendObject(text, 0, members, [&](const KeyValueCallers* callers) {
    appendObject(text, kIndentStep, *callers, [&](const auto& keys) {
      appendObject(text, 2 * kIndentStep, keys, [&](const std::string& value) { appendQuoted(text, value); });
    });
  });
  return text;
}

KeyValueFileContents readKeyValueText(std::string_view text) {
  KeyValueFileContents contents;
  StoreBuilder builder(contents);
  nlohmann::json::sax_parse(text.begin(), text.end(), &builder);
  keepWithinFileBound(contents);
  return contents;
}

std::optional<KeyValueFileContents> readKeyValueFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream.is_open()) return std::nullopt;
  stream.seekg(0, std::ios::end);
  const auto size = static_cast<size_t>(std::max<std::streamoff>(stream.tellg(), 0));
  if (size > kMaxKeyValueFileSize) {
    return KeyValueFileContents{{}, "the file has " + std::to_string(size) + " bytes, more than the " +
                                        std::to_string(kMaxKeyValueFileSize) + " read"};
  }
  stream.seekg(0, std::ios::beg);
  std::string text(size, '\0');
  stream.read(text.data(), static_cast<std::streamsize>(size));
  if (static_cast<size_t>(stream.gcount()) != size) return KeyValueFileContents{{}, "the file could not be read"};
  return readKeyValueText(text);
}

std::string setFileAside(const std::string& path) {
  // A link never replaces an existing name, and the data stays under the new one even if
  // the old name is written over before it is removed.
  for (int number = 0; number < 1000; ++number) {
    std::string aside = path + std::string(paths::kUnreadableSuffix);
    if (number > 0) aside += "." + std::to_string(number);
    if (::link(path.c_str(), aside.c_str()) == 0) {
      ::unlink(path.c_str());
      return aside;
    }
    if (errno != EEXIST) return "";
  }
  return "";
}

}  // namespace velmer
