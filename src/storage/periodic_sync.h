// Syncing journals in the background, for the level that promises a
// killed process loses nothing and a power cut at most about a second.
//
// One thread per process, started with the first journal registered, syncs
// every registered journal that has records not yet synced, every
// kSyncInterval; at the process's exit (atexit) every registered journal is
// synced once more. The thread and its registry are never destroyed, so a
// sync running while the process exits finds them intact; a forked child
// starts with an empty registry and a thread of its own when it needs one.

#ifndef MOXAL_STORAGE_PERIODIC_SYNC_H_
#define MOXAL_STORAGE_PERIODIC_SYNC_H_

#include <chrono>

#include "storage/journal_file.h"

namespace moxal {

inline constexpr auto kSyncInterval = std::chrono::milliseconds(500);

// Starts syncing `journal` periodically. Throws std::bad_alloc, or
// std::system_error when no thread can be started.
void StartPeriodicSync(JournalFile* journal);

// Stops syncing `journal`; returns once no sync of it is running.
void StopPeriodicSync(JournalFile* journal) noexcept;

}  // namespace moxal

#endif  // MOXAL_STORAGE_PERIODIC_SYNC_H_
