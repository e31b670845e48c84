#include "persistence_fixture.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "persistence/journal.hpp"

namespace velmer::e2e {

namespace {
// The objects on the bus with `interface`, keyed by their ID; `paths` receives their paths.
template <class Record>
std::map<std::string, Record> objectsOnBus(BusClient& client, const char* interface,
                                           Record (*fromProperties)(const PropertyMap&), std::string Record::*id,
                                           std::map<std::string, std::string>* paths) {
  std::map<std::string, Record> records;
  for (const auto& [path, interfaces] : client.managedObjects())
    if (auto found = interfaces.find(interface); found != interfaces.end()) {
      Record record = fromProperties(found->second);
      if (paths != nullptr) (*paths)[record.*id] = path;
      records[record.*id] = std::move(record);
    }
  return records;
}
}  // namespace

std::map<std::string, JobInfoRecord> PersistenceTest::jobsOnBus() {
  return objectsOnBus(client(), kJobInterface, &layout::jobFromProperties, &JobInfoRecord::jsJobID, nullptr);
}

std::map<std::string, JobQueueRecord> PersistenceTest::queuesOnBus(std::map<std::string, std::string>* paths) {
  return objectsOnBus(client(), kQueueInterface, &layout::queueFromProperties, &JobQueueRecord::jsQueueID, paths);
}

std::vector<layout::StoredObject> PersistenceTest::backupObjects() const {
  // The daemon's own readers give what a restart would find: the backup file, then the
  // journal beside it. The backup file's own bytes are held against the layout after a
  // clean stop, when it holds everything.
  BackupFileRead backup;
  JournalRead journal;
  const StoreImage image = readStoredImage((root() / layout::kBackupDirectory).string(), backup, journal);
  if (backup.found && !backup.whole) throw std::runtime_error("the backup file is cut short or damaged");
  std::vector<layout::StoredObject> objects;
  for (const auto& [kind, type] : {std::pair{StoredKind::Job, layout::kJobType}, {StoredKind::Queue, layout::kQueueType}})
    for (const std::string& id : image.ids(kind)) {
      layout::Bytes record(recordSize(kind));
      const PackedRecord& packed = *image.find(kind, id);
      unpackRecord(packed.data(), packed.size(), record.data(), record.size());
      objects.push_back({layout::header("JOBCTR", type, static_cast<uint32_t>(record.size())), std::move(record), type});
    }
  return objects;
}

namespace {
// The objects of one type, decoded and keyed by their ID.
template <class Record>
std::map<std::string, Record> decodedObjects(const std::vector<layout::StoredObject>& objects, uint32_t type,
                                             Record (*decode)(const layout::Bytes&), std::string Record::*id) {
  std::map<std::string, Record> records;
  for (const auto& object : objects)
    if (object.type == type) {
      Record record = decode(object.record);
      records[record.*id] = std::move(record);
    }
  return records;
}
}  // namespace

std::map<std::string, JobInfoRecord> PersistenceTest::jobsIn(const std::vector<layout::StoredObject>& objects) {
  return decodedObjects(objects, layout::kJobType, &layout::decodeJob, &JobInfoRecord::jsJobID);
}

std::map<std::string, JobQueueRecord> PersistenceTest::queuesIn(const std::vector<layout::StoredObject>& objects) {
  return decodedObjects(objects, layout::kQueueType, &layout::decodeQueue, &JobQueueRecord::jsQueueID);
}

bool PersistenceTest::waitForBackup(const std::function<bool(const std::vector<layout::StoredObject>&)>& done,
                                    std::chrono::milliseconds timeout) {
  return waitUntil(
      [&] {
        try {
          return done(backupObjects());
        } catch (const std::runtime_error&) {
          return false;  // a file cut short, or a daemon that does not answer yet
        }
      },
      timeout);
}

bool PersistenceTest::waitUntilBackupMatchesBus(std::chrono::milliseconds timeout) {
  return waitForBackup(
      [&](const std::vector<layout::StoredObject>& objects) {
        auto queues = queuesOnBus();
        for (auto& [id, queue] : queues) queue.jsJobsList.clear(), queue.reservedAllign.clear();  // not stored
        return jobsIn(objects) == jobsOnBus() && queuesIn(objects) == queues;
      },
      timeout);
}

void PersistenceTest::removeLegacyCopy() {
  for (const char* directory : {"flash/data1/jqlegacy/jobbackup", "flash/data1/jqlegacy/jobrestore"})
    std::filesystem::remove_all(root() / directory);
}

void PersistenceTest::startAndAwaitRestore() {
  const size_t logStart = readLog().size();
  startDaemon();
  if (!waitForLog(kRestoreDone, kBackupStepTimeout, logStart))
    throw std::runtime_error("the start-up restore did not finish:\n" + readLog(logStart).substr(0, 4000));
}

void PersistenceTest::restartAndAwaitRestore(int signalNumber) {
  stopDaemon(signalNumber);
  startAndAwaitRestore();
}

// What recordPostRestoreCalls() writes, below the root.
constexpr const char* kPostRestoreCalls = "postrestorectl.calls";

void PersistenceTest::installPostRestoreTool(const std::string& script) {
  const auto tool = root() / "usr/bin/postrestorectl";
  std::filesystem::create_directories(tool.parent_path());
  std::ofstream(tool, std::ios::trunc) << "#!/bin/sh\n" << script;
  std::filesystem::permissions(tool, std::filesystem::perms(0755));
}

void PersistenceTest::recordPostRestoreCalls() {
  const std::string log = "'" + (root() / kPostRestoreCalls).string() + "'";
  installPostRestoreTool("for argument in \"$0\" \"$@\"; do printf '[%s]' \"$argument\"; done >> " + log +
                         "\nprintf ' JID=%s\\n' \"$JID\" >> " + log + "\n");
}

std::vector<std::string> PersistenceTest::postRestoreCalls() const {
  std::vector<std::string> calls;
  std::istringstream in(readFile(root() / kPostRestoreCalls));
  for (std::string line; std::getline(in, line);) calls.push_back(line);
  return calls;
}

}  // namespace velmer::e2e
