// Every file and directory the daemon and its platform libraries touch, in one place.
//
// The values are the controller's production locations. `velmerd` uses them as they are;
// `velmerd-sandbox ROOT` calls setRoot(ROOT) once at start-up, before any thread exists,
// and every path below is then resolved under ROOT.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmer::paths {

// Job store
inline constexpr std::string_view kBackupDir = "/flash/data1/jobservice/jobbackup";
inline constexpr std::string_view kRestoreDir = "/flash/data1/jobservice/jobrestore";
inline constexpr std::string_view kLegacyDir = "/flash/data1/jqlegacy";
inline constexpr std::string_view kLegacyBackupDir = "/flash/data1/jqlegacy/jobbackup";
inline constexpr std::string_view kLegacyRestoreDir = "/flash/data1/jqlegacy/jobrestore";
inline constexpr std::string_view kBackupFileName = "jobsandqueues.jnqbkp";
// The changes made since the backup file was written, beside it in the same directory.
inline constexpr std::string_view kJournalFileName = "jobsandqueues.journal";
inline constexpr std::string_view kKeyValueFile = "/var/lib/jobservice/blobkeyvalue.json";
// A key-value file the daemon cannot keep whole is renamed to its name with this suffix
// (then ".1", ".2", ... when that is taken) instead of being written over.
inline constexpr std::string_view kUnreadableSuffix = ".unreadable";
// Size and digest of the legacy copy this daemon wrote last: a legacy file that still
// matches it holds nothing an older firmware wrote.
inline constexpr std::string_view kLegacyCopyDigestFile = "/var/lib/jobservice/jqlegacy-copy.digest";

// Queue-execution process: the System V message queue is keyed by this file.
inline constexpr std::string_view kSchedulerIpcKeyFile = "/run/jqlegacy/js.ipc";

// Firmware recovery staging
inline constexpr std::string_view kCpldRecoveryDir = "/mmc1/cpld_recovery/";
inline constexpr std::string_view kBiosRecoveryDir = "/mmc1/bios_recovery/";
inline constexpr std::string_view kCpldPayloadDir = "/mmc1/mas022/27763/current/";
inline constexpr std::string_view kBiosPayloadDir = "/mmc1/mas022/159/current/";

// Tool programs
inline constexpr std::string_view kJobCancelTool = "/usr/bin/jobcancelctl";
inline constexpr std::string_view kPostRestoreTool = "/usr/bin/postrestorectl";
inline constexpr std::string_view kSysEraseTool = "/bin/syserasectl";
inline constexpr std::string_view kBackupRestoreTool = "/bin/bkrestctl";

// Files of the platform libraries (our stand-ins)
inline constexpr std::string_view kEventLogFile = "/var/log/velmer/events.jsonl";
inline constexpr std::string_view kJobCacheJournal = "/var/log/velmer/jobcache.jsonl";
inline constexpr std::string_view kDcsLogFile = "/var/log/velmer/dcs.jsonl";
inline constexpr std::string_view kFuncBrokerLogFile = "/var/log/velmer/funcbroker.jsonl";
inline constexpr std::string_view kAttributesFile = "/etc/velmer/attributes.json";
inline constexpr std::string_view kMessageRegistryFile = "/usr/share/velmer/messages.json";

// Sets the root under which every path is resolved ("" for production). Call once, early.
void setRoot(std::string root);
const std::string& root();

// The path of `absolutePath` on this system: ROOT + absolutePath.
std::string resolve(std::string_view absolutePath);

// Directories a controller's firmware image provides and that the daemon expects to exist
// (it creates none of their parents itself). The sandbox creates them under its root.
std::vector<std::string_view> imageDirectories();

// The tool programs the daemon runs.
std::vector<std::string_view> toolPrograms();

}  // namespace velmer::paths
