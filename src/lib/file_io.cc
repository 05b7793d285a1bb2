#include "lib/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>

#include "lib/array_in_two.h"
#include "lib/paths.h"
#include "values/json_reader.h"

namespace moxal {

FileSource::FileSource(int fd, uint64_t begin, uint64_t end)
    : fd_(fd), offset_(begin), end_(end), buf_(new uint8_t[kReadChunk]) {}

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

FdCloser::~FdCloser() {
  if (fd_ >= 0) ::close(fd_);
}

Status read_document(const std::string& path, Value* out,
                     std::vector<Value>* elements) {
  int fd = HasNul(path) ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SysError e = HasNul(path) ? SysError::NulInPath() : SysError::FromErrno(errno);
    return Status::OSError("Error opening document " + ShortText(e));
  }
  FdCloser closer(fd);
  struct stat st;
  uint64_t size = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
                      ? static_cast<uint64_t>(st.st_size)
                      : FileSource::kToTheEnd;  // not a regular file
  if (elements != nullptr) {
    switch (ReadArrayInTwo(fd, size, elements)) {
      case SplitRead::kRead: return Status();
      case SplitRead::kInvalid: return Status::ValueError("Error deserializing JSON");
      case SplitRead::kNotSplit: break;
    }
  }
  FileSource src(fd, 0, size);
  bool ok = elements != nullptr ? ReadJsonElements(src, out, elements)
                                : ReadJson(src, out);
  if (!ok) return Status::ValueError("Error deserializing JSON");
  return Status();
}

Status read_collection_file(const std::string& path,
                            std::string_view collection_name,
                            std::vector<Value>* docs) {
  Value whole;
  Status s = read_document(path, &whole, docs);
  if (!s.ok() || whole.empty()) return s;  // an array: docs are filled
  ValueRef member;
  if (whole.ref().is_object()) member = whole.ref().as_object().find(collection_name);
  if (!member || !member.is_array()) return Status::PanicException(kUnwrapNone);
  docs->reserve(member.as_array().count());
  for (ValueRef doc : member.as_array()) docs->push_back(Value::CopyOf(doc));
  return Status();
}

}  // namespace moxal
