#include "storage/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>

#include "storage/array_in_two.h"
#include "storage/fs.h"
#include "values/json_reader.h"

namespace moxal {

FileSource::FileSource(int fd, uint64_t begin, uint64_t end)
    : fd_(fd), offset_(begin), end_(end), buf_(new uint8_t[kReadChunk]) {
  assert(begin <= end);
}

bool FileSource::Next(const uint8_t** data, size_t* size) {
  for (;;) {
    if (offset_ >= end_) return false;
    size_t want = static_cast<size_t>(std::min<uint64_t>(kReadChunk, end_ - offset_));
    ssize_t n = end_ == kToTheEnd ? ::read(fd_, buf_.get(), want)
                                  : ::pread(fd_, buf_.get(), want, static_cast<off_t>(offset_));
    if (n > 0) {
      offset_ += static_cast<uint64_t>(n);
      *data = buf_.get();
      *size = static_cast<size_t>(n);
      return true;
    }
    if (n == 0) return false;  // the file got shorter: its end came early
    if (errno != EINTR) {
      failed_ = true;
      return false;
    }
  }
}

bool FdSink::WriteAll(const uint8_t* data, size_t n) {
  while (n != 0) {
    ssize_t w = ::write(fd_, data, n);
    if (w > 0) {
      data += w;
      n -= static_cast<size_t>(w);
      written_ += static_cast<size_t>(w);
#ifdef __linux__
      if (writeback_every_ != 0 && written_ - written_back_ >= writeback_every_) {
        ::sync_file_range(fd_, static_cast<off_t>(written_back_),
                          static_cast<off_t>(written_ - written_back_), SYNC_FILE_RANGE_WRITE);
        written_back_ = written_;
      }
#endif
      continue;
    }
    if (w == 0) {
      error_ = SysError::WriteZero();
      return false;
    }
    if (errno != EINTR) {
      error_ = SysError::FromErrno(errno);
      return false;
    }
  }
  return true;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool UniqueFd::Close(SysError* error) {
  int fd = release();
  if (fd < 0 || ::close(fd) == 0) return true;
  *error = SysError::FromErrno(errno);
  return false;
}

namespace {

// Opens `path` for ReadJsonFile: *size is the file's size, or kToTheEnd
// when it is not a regular file.
bool OpenForReading(const std::string& path, FileKind kind, UniqueFd* fd, uint64_t* size,
                    ReadFailure* failure) {
  auto fail = [failure](ReadFailure::Stage stage, SysError e) {
    *failure = {stage, e};
    return false;
  };
  if (HasNul(path)) return fail(ReadFailure::kOpen, SysError::NulInPath());
  bool regular_only = kind == FileKind::kRegular;
  // O_NONBLOCK opens a FIFO without waiting for a writer, so that it can be
  // refused below; it changes nothing for a regular file. Checking the
  // path before opening would cost a second lookup of every file.
  int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | (regular_only ? O_NONBLOCK : 0);
  // A name that is missing when opened but there again just after was
  // removed and put back meanwhile (another process replacing the file
  // without a rename): it is opened again, a few times at most, since a
  // dangling link fails the same way every time.
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    fd->reset(::open(path.c_str(), flags));
    if (fd->valid()) break;
    int err = errno;
    // Failing with ENOENT while nothing is there: removed since it was
    // listed. A socket (or a device without a driver) fails here with
    // its own error, which is reported as it is.
    if (err != ENOENT) return fail(ReadFailure::kOpen, SysError::FromErrno(err));
    if (!EntryExists(path)) return fail(ReadFailure::kGone, SysError::FromErrno(err));
    if (attempt == kAttempts) return fail(ReadFailure::kOpen, SysError::FromErrno(err));
  }
  struct stat st;
  bool regular = ::fstat(fd->get(), &st) == 0 && S_ISREG(st.st_mode);
  if (regular_only && !regular) return fail(ReadFailure::kInvalid, {});
  *size = regular ? static_cast<uint64_t>(st.st_size) : FileSource::kToTheEnd;
  return true;
}

// The line and column of byte `offset` of the file open at `fd`, both from
// 1, the column in characters (UTF-8 continuation bytes do not count).
// Reads the file from its start: only for the note of an error.
void FindLineAndColumn(int fd, uint64_t offset, ReadFailure* failure) {
  uint64_t line = 1, column = 1;
  uint8_t buf[65536];
  for (uint64_t at = 0; at < offset;) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof buf, offset - at));
    ssize_t n = ::pread(fd, buf, want, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        ++line;
        column = 1;
      } else if ((buf[i] & 0xC0) != 0x80) {
        ++column;
      }
    }
    at += static_cast<uint64_t>(n);
  }
  failure->line = line;
  failure->column = column;
}

}  // namespace

bool ReadJsonFile(const std::string& path, FileKind kind, Value* out, std::vector<Value>* elements,
                  ReadFailure* failure) {
  UniqueFd fd;
  uint64_t size;
  if (!OpenForReading(path, kind, &fd, &size, failure)) return false;
  if (elements != nullptr) {
    switch (ReadArrayInTwo(fd.get(), size, elements)) {
      case SplitRead::kRead:
        return true;
      case SplitRead::kInvalid:
        // Read again the ordinary way, which fails too, to tell where.
        [[fallthrough]];
      case SplitRead::kNotSplit:
        break;
    }
  }
  FileSource src(fd.get(), 0, size);
  uint64_t stopped_at = kNoOffset;
  bool ok = elements != nullptr ? ReadJsonElements(src, out, elements, &stopped_at)
                                : ReadJson(src, out, &stopped_at);
  if (ok) return true;
  *failure = {ReadFailure::kInvalid, {}};
  failure->offset = stopped_at;
  if (stopped_at != kNoOffset && size != FileSource::kToTheEnd) {
    FindLineAndColumn(fd.get(), stopped_at, failure);
  }
  return false;
}

}  // namespace moxal
