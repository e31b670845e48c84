// The key-value file's writer: one thread that writes the file off the bus lock.
//
// A change that a client waits for (a pair written, the time-out configured) is applied to
// the properties under the bus lock and hands its reply to this thread, which writes the
// file at once; every change that arrives while it writes shares the next write (group
// commit). A write holds the properties as they are when it starts and is synced (written
// beside the file, synced, renamed over it, the directory synced) before any reply
// waiting for it is sent; replies are sent with the bus lock held. A change nobody waits
// for (a removal, a property set by a client) is written together with the others within
// kKeyValueBatchDelay, so a deletion pass writes the file once, not once per job.
//
// A write that fails answers its waiting replies as refused, and is retried kFirstRetryDelay
// later, the delay doubling with every retry that fails up to kLongestRetryDelay, until
// the file holds the store; a client's write is tried at once and starts the delays again.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace velmer {

// Runs once the file holding a change is synced (true) or could not be written (false),
// with the bus lock held.
using KeyValueWritten = std::function<void(bool written)>;

inline constexpr std::chrono::milliseconds kKeyValueBatchDelay{300};

// With the bus lock held, after a change a client waits for.
void writeKeyValueFileFor(KeyValueWritten written);

// With the bus lock held, after a change nobody waits for.
void writeKeyValueFileSoon();

// Writes the key-value file from the current properties: true once it is synced. The
// writer calls it; a file that the reader would refuse is not written.
bool persistBlobKeyValue();

// The start-up restore has read the file: it may be written from now on, never before.
// `damage` says what of it was not kept, if anything: the file is then renamed aside now,
// logged at level 1, or when it cannot be, before the next write, which fails until it is.
void keyValueFileRestored(const std::string& damage);

// At shutdown, without the bus lock and before the connection closes: writes what is
// pending, answers, and ends the thread. A later change is written at once.
void finishKeyValueWrites();

}  // namespace velmer
