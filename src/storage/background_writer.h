// Writing a file on a second thread while the text is produced.

#ifndef MOXAL_STORAGE_BACKGROUND_WRITER_H_
#define MOXAL_STORAGE_BACKGROUND_WRITER_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "storage/file_io.h"
#include "values/byte_io.h"

namespace moxal {

// A sink that collects bytes in chunks and writes each full chunk to a
// file descriptor on a second thread, so a large collection's text is
// produced on one core while the kernel copies the previous chunk into the
// page cache on another. Output that fits in one chunk never starts the
// thread. The thread is joined before Finish returns (and by the
// destructor), and touches nothing but the chunks and the descriptor.
class BackgroundWriter : public ByteSink {
 public:
  explicit BackgroundWriter(int fd);
  ~BackgroundWriter() override;
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Takes a copy of the bytes. False once a write has failed: nothing more
  // is written after a failure.
  bool WriteAll(const uint8_t* data, size_t n) override;

  // Waits for every chunk and writes what is left on this thread, its last
  // kOutBufferSize bytes (or fewer: the text's length modulo that size) in a
  // write call of their own. Those are the bytes a text written through an
  // output buffer of that size goes out with in its final flush, so a
  // failure is told apart the same way, whatever the chunk size: False when
  // a write failed, with *in_last set when it was that final one.
  bool Finish(bool* in_last);

  // The first error of a write.
  const SysError& error() const { return sink_.error(); }

 private:
  struct Chunk {
    std::unique_ptr<uint8_t[]> bytes;
    size_t used = 0;
  };

  bool Hand();  // gives the full current chunk to the thread
  void Run();   // the thread's loop

  FdSink sink_;
  Chunk chunks_[2];
  int current_ = 0;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t total_ = 0;  // bytes taken
  int pending_ = -1;    // the chunk the thread is to write, or -1
  bool stop_ = false;
  bool failed_ = false;
};

}  // namespace moxal

#endif  // MOXAL_STORAGE_BACKGROUND_WRITER_H_
