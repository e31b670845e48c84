#include "queues/scheduler_channel.hpp"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "paths.hpp"
#include "trace.h"

namespace velmer {

namespace {

// The cached key and identifier of one path; -1 until obtained. Atomic because the
// backup thread re-schedules queues while handlers may schedule new ones; both obtain
// the same values, so whichever store wins is right.
struct ChannelCache {
  std::atomic<int> key{-1};
  std::atomic<int> queueId{-1};
};

ChannelCache scheduleChannel;
ChannelCache killChannel;

// The lines one path logs; the schedule path's name their variables, the kill path's are shorter.
struct ChannelLines {
  const char* keyNotInited;
  const char* keyInitError;
  const char* keyInited;
  const char* keyReused;
  const char* noQueueId;
  const char* queueIdInited;
  const char* queueIdReused;
  const char* sent;  // null: nothing logged on success
  const char* sendFailed;
};

constexpr ChannelLines kScheduleLines = {
    "[%s]JQLEGACY: ___ ScheduleQueue: schedq_key not yet inited\n",
    "[%s]JQLEGACY: ___ ScheduleQueue: schedq_key init error\n",
    "[%s]JQLEGACY: ___ ScheduleQueue: schedq_key now inited to %x\n",
    "[%s]JQLEGACY: ___ ScheduleQueue: schedq_key already inited to %x, so re-use it\n",
    "[%s]JQLEGACY: ___ ScheduleQueue: couldn't get valid schedq_msqid\n",
    "[%s]JQLEGACY: ___ ScheduleQueue: schedq_msqid now inited to %d\n",
    "[%s]JQLEGACY: ___ ScheduleQueue: schedq_msqid already inited to %d, so re-use it\n",
    "[%s]JQLEGACY: ___ ScheduleQueue: message sent successfully\n",
    "[%s]JQLEGACY: ___ ScheduleQueue: couldn't send the message\n",
};

constexpr ChannelLines kKillLines = {
    "[%s]killq_key not yet inited",
    "[%s]killq_key init error",
    "[%s]killq_key now inited to %x",
    "[%s]killq_key already inited to %x, so re-use it",
    "[%s]couldn't get valid killq_msqid",
    "[%s]killq_msqid now inited to %d",
    "[%s]killq_msqid already inited to %d, so re-use it",
    nullptr,
    "[%s]couldn't send the message",
};

// Sends `message` on the channel, obtaining and caching its key and identifier first.
int sendMessage(const char* tag, ChannelCache& cache, const ChannelLines& lines, const SchedulerMessage& message) {
  if (cache.key.load() == -1) {
    trace_printf(4, 8, lines.keyNotInited, tag);
    key_t key = ftok(paths::resolve(paths::kSchedulerIpcKeyFile).c_str(), 1);
    if (key == -1) {
      trace_printf(4, 8, lines.keyInitError, tag);
      std::perror("ftok");
      return 1;
    }
    cache.key.store(key);
    trace_printf(4, 8, lines.keyInited, tag, static_cast<unsigned>(key));
  } else {
    trace_printf(4, 8, lines.keyReused, tag, static_cast<unsigned>(cache.key.load()));
  }
  if (cache.queueId.load() == -1) {
    int queueId = msgget(cache.key.load(), 0666);
    if (queueId == -1) {
      trace_printf(4, 8, lines.noQueueId, tag);
      std::perror("msgget");
      return 1;
    }
    cache.queueId.store(queueId);
    trace_printf(4, 8, lines.queueIdInited, tag, queueId);
  } else {
    trace_printf(4, 8, lines.queueIdReused, tag, cache.queueId.load());
  }
  if (msgsnd(cache.queueId.load(), &message, sizeof message.payload, IPC_NOWAIT) != 0) {
    trace_printf(4, 8, lines.sendFailed, tag);
    std::perror("msgsnd");
    return 1;
  }
  if (lines.sent != nullptr) trace_printf(4, 8, lines.sent, tag);
  return 0;
}

}  // namespace

SchedulerMessage makeSchedulerMessage(long type, int64_t startTime, int64_t untilTime, const std::string& queueID) {
  SchedulerMessage message;
  std::memset(&message, 0, sizeof message);
  message.type = type;
  message.payload.startTime = startTime;
  message.payload.untilTime = untilTime;
  std::memcpy(message.payload.queueID, queueID.data(), std::min(queueID.size(), sizeof message.payload.queueID - 1));
  return message;
}

int scheduleQueue(const std::string& queueID, int64_t startTime, int64_t untilTime) {
  constexpr const char* kTag = "scheduleQueue";
  trace_printf(4, 8, "[%s]JQLEGACY: ___ ScheduleQueue: Enter\n", kTag);
  trace_printf(4, 8, "[%s]JQLEGACY: ___ ScheduleQueue: QID=%s , start_time=%" PRId64 " , until_time=%" PRId64 "\n",
               kTag, queueID.c_str(), startTime, untilTime);
  return sendMessage(kTag, scheduleChannel, kScheduleLines,
                     makeSchedulerMessage(kScheduleMessage, startTime, untilTime, queueID));
}

int killQueue(const std::string& queueID) {
  constexpr const char* kTag = "killQueue";
  trace_printf(4, 8, "[%s]Enter", kTag);
  trace_printf(4, 8, "[%s]QID=%s", kTag, queueID.c_str());
  return sendMessage(kTag, killChannel, kKillLines, makeSchedulerMessage(kKillMessage, 0, 0, queueID));
}

}  // namespace velmer
