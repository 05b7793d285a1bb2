// Work on database state without the interpreter lock, and forking.
//
// A call releases the interpreter lock while it reads, matches, changes or
// writes documents. If the process forked during that work, the child would
// inherit a half-done change that no thread of its own will ever finish.
// So such work holds a WorkGuard, and a fork waits until no guard is held
// (fork handlers take the guard's lock exclusively). In the child, the
// handler given to InstallForkHandlers then frees what the parent's other
// threads held.

#ifndef MOXAL_STORAGE_WORK_GUARD_H_
#define MOXAL_STORAGE_WORK_GUARD_H_

#include <cstdint>
#include <shared_mutex>

namespace moxal {

// Held for the length of one piece of work without the interpreter lock.
// Nothing done under it may wait for the interpreter lock or for anything a
// forking thread holds; work that may block indefinitely (writing to a
// pipe) is done outside it. Work may wait for the journal's turn, which a
// thread between two pieces of one change holds while it takes the guard
// again: the guard's lock lets a thread take it shared while a fork waits
// for it (glibc's rwlocks prefer readers), so that thread is not held
// behind the fork, which waits for the first.
class WorkGuard {
 public:
  WorkGuard();
  ~WorkGuard();
  WorkGuard(const WorkGuard&) = delete;
  WorkGuard& operator=(const WorkGuard&) = delete;

 private:
  std::shared_mutex* lock_;  // the one it took, should a fork replace it
};

// How many forks lie between this process and the one where moxal first
// counted: an object that notes it when it is made can tell, with a load
// instead of a system call, that it now runs in a forked child.
uint64_t ForkCount();

// Registers the fork handlers, once per process. `in_child` runs in the
// child process, in the forking thread, before anything else.
void InstallForkHandlers(void (*in_child)());

}  // namespace moxal

#endif  // MOXAL_STORAGE_WORK_GUARD_H_
