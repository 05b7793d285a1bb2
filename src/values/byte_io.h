// Byte sources for the JSON reader and byte sinks for the JSON writer.
//
// The reader pulls chunks from a ByteSource (a file read through an
// 8192-byte buffer, or a block of memory); the writer pushes text into an
// OutBuffer, an 8192-byte buffer in front of a ByteSink.

#ifndef MOXAL_VALUES_BYTE_IO_H_
#define MOXAL_VALUES_BYTE_IO_H_

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace moxal {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Points *data at the next chunk of input, valid until the next call, and
  // returns true; returns false at the end of the input or on an error
  // (failed() then tells which). Chunks may be empty.
  virtual bool Next(const uint8_t** data, size_t* size) = 0;
  virtual bool failed() const { return false; }
};

// The whole input is one block of memory.
class MemorySource : public ByteSource {
 public:
  MemorySource(const void* data, size_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size) {}
  bool Next(const uint8_t** data, size_t* size) override {
    if (done_) return false;
    done_ = true;
    *data = data_;
    *size = size_;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  bool done_ = false;
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Writes all `n` bytes or returns false.
  virtual bool WriteAll(const uint8_t* data, size_t n) = 0;
};

// Appends to a string; never fails.
class StringSink : public ByteSink {
 public:
  explicit StringSink(std::string* out) : out_(out) {}
  bool WriteAll(const uint8_t* data, size_t n) override {
    out_->append(reinterpret_cast<const char*>(data), n);
    return true;
  }

 private:
  std::string* out_;
};

// Size of an OutBuffer. Callers see it: a collection file is written
// through one, and an output error while its text is produced is reported
// otherwise than one in the final flush, so a collection whose text fits
// in one buffer fails only at that flush. It is therefore part of how
// writes fail and stays at 8192 bytes, although larger buffers make fewer
// system calls (a 22 MB collection went to a file in 27 ms through 8 KiB
// and in 18 ms through 128 KiB).
inline constexpr size_t kOutBufferSize = 8192;

// An output buffer in front of a sink. Text accumulates in the buffer and
// goes to the sink when the buffer is full; a piece that does not fit goes
// after the buffer is emptied, straight to the sink when it is
// kOutBufferSize bytes or more. The first sink failure is sticky: later
// output is dropped and ok() turns false.
//
// Writers that produce many small pieces may write at cursor() directly,
// up to limit(), and hand the new position back with set_cursor() before
// any other call; Room() makes space without giving up the pointer.
class OutBuffer {
 public:
  explicit OutBuffer(ByteSink* sink) : sink_(sink) {}
  OutBuffer(const OutBuffer&) = delete;
  OutBuffer& operator=(const OutBuffer&) = delete;

  void Write(const void* data, size_t n) {
    if (n <= kOutBufferSize - used_) {
      std::memcpy(buf_ + used_, data, n);
      used_ += n;
      return;
    }
    WriteSlow(static_cast<const uint8_t*>(data), n);
  }
  void Put(char c) {
    if (used_ == kOutBufferSize) Flush();
    buf_[used_++] = static_cast<uint8_t>(c);
  }
  // Room for `n` (<= kOutBufferSize) bytes at the returned address; the
  // caller then calls Commit with the number actually written.
  char* Reserve(size_t n) {
    assert(n <= kOutBufferSize);
    if (kOutBufferSize - used_ < n) Flush();
    return reinterpret_cast<char*>(buf_ + used_);
  }
  void Commit(size_t n) {
    assert(n <= available());
    used_ += n;
  }
  // Bytes that fit before the buffer is full.
  size_t available() const { return kOutBufferSize - used_; }

  // Where the next byte goes, and the end of the buffer.
  char* cursor() { return reinterpret_cast<char*>(buf_ + used_); }
  char* limit() { return reinterpret_cast<char*>(buf_ + kOutBufferSize); }
  // Takes back the position `p` (between cursor() and limit()) that a
  // direct writer reached.
  void set_cursor(char* p) {
    assert(p >= cursor() && p <= limit());
    used_ = static_cast<size_t>(p - reinterpret_cast<char*>(buf_));
  }
  // For a direct writer at `p`: returns a position with at least `n`
  // (<= kOutBufferSize) bytes before limit(), `p` itself when they are
  // there, else the start of the buffer after the text before `p` went to
  // the sink.
  char* Room(char* p, size_t n) {
    assert(n <= kOutBufferSize);
    if (static_cast<size_t>(limit() - p) >= n) return p;
    set_cursor(p);
    Flush();
    return cursor();
  }

  // Empties the buffer into the sink. Returns ok().
  bool Flush();
  bool ok() const { return ok_; }

 private:
  void WriteSlow(const uint8_t* data, size_t n);

  ByteSink* sink_;
  size_t used_ = 0;
  bool ok_ = true;
  uint8_t buf_[kOutBufferSize];
};

}  // namespace moxal

#endif  // MOXAL_VALUES_BYTE_IO_H_
