// Files: a descriptor owner, the sources and sinks behind the reader and
// the writer, and reading one JSON text from a file.

#ifndef MOXAL_STORAGE_FILE_IO_H_
#define MOXAL_STORAGE_FILE_IO_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/os_error.h"
#include "values/byte_io.h"
#include "values/json_reader.h"
#include "values/value.h"

namespace moxal {

// Reads go through buffers of this size: large enough that a system call
// per chunk costs nothing next to parsing the chunk, small enough to stay in
// the processor's second-level cache while the reader works through it.
inline constexpr size_t kReadChunk = size_t{128} << 10;

// Reads bytes [begin, end) of a file through a buffer of its own, with
// pread, so several sources may read one descriptor at once. With end
// kToTheEnd (a pipe, say) it reads from the descriptor's position until
// the input ends.
class FileSource : public ByteSource {
 public:
  static constexpr uint64_t kToTheEnd = UINT64_MAX;
  FileSource(int fd, uint64_t begin, uint64_t end);
  bool Next(const uint8_t** data, size_t* size) override;
  bool failed() const override { return failed_; }

 private:
  int fd_;
  uint64_t offset_;
  uint64_t end_;
  bool failed_ = false;
  std::unique_ptr<uint8_t[]> buf_;
};

// Writes to a file descriptor; remembers the first error.
class FdSink : public ByteSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  bool WriteAll(const uint8_t* data, size_t n) override;
  const SysError& error() const { return error_; }

  // Asks the kernel to start writing the file back every `bytes` bytes, so
  // the disk works while more text is produced and the final fsync has
  // little left to wait for. Only a hint: errors surface at fsync.
  void StartWritebackEvery(size_t bytes) { writeback_every_ = bytes; }

 private:
  int fd_;
  SysError error_;
  size_t writeback_every_ = 0;
  size_t written_ = 0;
  size_t written_back_ = 0;
};

// Owns a file descriptor (or none, -1) and closes it when it goes out of
// scope; ownership moves with the object.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (errors ignored) and takes `fd`.
  void reset(int fd = -1);
  // Closes the descriptor held, reporting the error some file systems only
  // report at close. True when there was none to close.
  bool Close(SysError* error);

 private:
  int fd_ = -1;
};

// Why reading a JSON file failed.
struct ReadFailure {
  enum Stage {
    kOpen,     // the file could not be opened: `error` says why
    kGone,     // nothing was at the path when it was opened, not even a
               // dangling link (`error` is ENOENT): a directory entry that
               // was removed after it was listed
    kInvalid,  // reading failed, the text is not one valid JSON value, or
               // the path names something FileKind does not accept
  };
  Stage stage = kOpen;
  SysError error;
  // For a text that is not JSON: where reading stopped, as a byte offset
  // (kNoOffset when unknown) and, for a file that can be read again, as a
  // line and a column (both from 1; the column counts characters, as
  // Python's json module does; 0 when unknown).
  uint64_t offset = kNoOffset;
  uint64_t line = 0;
  uint64_t column = 0;
};

// What ReadJsonFile accepts at a path.
enum class FileKind {
  kAny,      // whatever opens and reads: a pipe is read until it ends
  kRegular,  // a regular file, or a link to one; anything else (directory,
             // FIFO, socket, device) fails as kInvalid at once: a FIFO is
             // opened without waiting for a writer, and closed unread
};

// Opens the file at `path` and reads one JSON value from it. When `elements`
// is given and the value is an array, the elements land there one by one
// and *out stays empty (see ReadJsonElements). A large array may be read
// in two threads (array_in_two.h). False with *failure set when reading
// fails. Throws std::bad_alloc when memory runs out.
bool ReadJsonFile(const std::string& path, FileKind kind, Value* out, std::vector<Value>* elements,
                  ReadFailure* failure);

}  // namespace moxal

#endif  // MOXAL_STORAGE_FILE_IO_H_
