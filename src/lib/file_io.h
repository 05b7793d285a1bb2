// Files: reading a JSON document, and the descriptors behind the reader and
// the writer.

#ifndef MOXAL_LIB_FILE_IO_H_
#define MOXAL_LIB_FILE_IO_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/os_error.h"
#include "values/byte_io.h"
#include "values/status.h"
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

// Closes a descriptor when it goes out of scope.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser();

 private:
  int fd_;
};

// Opens the file at `path` and reads one JSON value from it. When `elements`
// is given and the value is an array, the elements land there one by one
// and *out stays empty (see ReadJsonElements).
// Failures: OSError "Error opening document {short OS error text}" when the
// file cannot be opened; ValueError "Error deserializing JSON" for anything
// that goes wrong while reading or parsing.
Status read_document(const std::string& path, Value* out,
                     std::vector<Value>* elements = nullptr);

// Reads the documents of collection `collection_name` from its file at
// `path`. The stored form is a JSON array of the documents; a second form
// is accepted too: an object with a member named after the collection whose
// value is that array. Any other content is an internal failure ("called
// `Option::unwrap()` on a `None` value"). Errors of reading are those of
// read_document.
Status read_collection_file(const std::string& path,
                            std::string_view collection_name,
                            std::vector<Value>* docs);

}  // namespace moxal

#endif  // MOXAL_LIB_FILE_IO_H_
