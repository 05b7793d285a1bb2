// The Moxal instance as the interpreter holds it.

#ifndef MOXAL_PYTHON_MOXAL_OBJECT_H_
#define MOXAL_PYTHON_MOXAL_OBJECT_H_

#include <pthread.h>

#include <cstdint>

#include "conversion/py_ref.h"
#include "db/database.h"

namespace moxal {

class Borrow;         // borrow.h
struct BorrowWaiter;  // borrow.cc

// Every field but `db`'s contents is read and written under the
// interpreter lock only (the queue of waiters also under the waiters'
// mutex, see borrow.cc); memory from the type's allocator starts zeroed,
// which is the state of an object nobody borrows.
struct MoxalObject {
  PyObject_HEAD
  Database* db;         // owned
  Py_ssize_t borrow;    // 0 free, -1 borrowed exclusively, n > 0 shared by n calls
  pthread_t owner;      // while borrowed: the thread whose calls hold it
  Borrow* entered;      // the calls entered, of every thread, newest first
  BorrowWaiter* first;  // threads waiting for the borrow, in order of arrival
  BorrowWaiter* last;
  MoxalObject* prev;  // every live instance, for the fork handler
  MoxalObject* next;
};

}  // namespace moxal

#endif  // MOXAL_PYTHON_MOXAL_OBJECT_H_
