#include "lib/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "lib/paths.h"
#include "values/json_reader.h"

namespace moxal {

bool FdSource::Next(const uint8_t** data, size_t* size) {
  for (;;) {
    ssize_t n = ::read(fd_, buf_, sizeof buf_);
    if (n > 0) {
      *data = buf_;
      *size = static_cast<size_t>(n);
      return true;
    }
    if (n == 0) return false;
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
    return Status::OS("Error opening document " + ShortText(e));
  }
  FdCloser closer(fd);
  FdSource src(fd);
  bool ok = elements != nullptr ? ReadJsonElements(src, out, elements)
                                : ReadJson(src, out);
  if (!ok) return Status::Value("Error deserializing JSON");
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
  if (!member || !member.is_array()) return Status::Panic(kUnwrapNone);
  docs->reserve(member.as_array().count());
  for (ValueRef doc : member.as_array()) docs->push_back(Value::CopyOf(doc));
  return Status();
}

void SyncParentDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool ReplaceFile(const std::string& path, const std::function<bool(OutBuffer&)>& fill,
                 ReplaceFailure* failure) {
  std::string tmp = path + ".tmp";
  if (HasNul(tmp)) {
    *failure = {ReplaceFailure::kCreate, SysError::NulInPath()};
    return false;
  }
  // Whatever is left at the temporary path (a file from an interrupted
  // write, or a link someone planted) is removed, never written through:
  // the new file is created afresh and must not exist or be a link.
  if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) {
    *failure = {ReplaceFailure::kCreate, SysError::FromErrno(errno)};
    return false;
  }
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    *failure = {ReplaceFailure::kCreate, SysError::FromErrno(errno)};
    return false;
  }
  auto fail = [&](ReplaceFailure::Stage stage, SysError e) {
    ::close(fd);
    ::unlink(tmp.c_str());
    *failure = {stage, e};
    return false;
  };
  FdSink sink(fd);
  sink.StartWritebackEvery(size_t{1} << 20);
  auto out = std::make_unique<OutBuffer>(&sink);
  if (!fill(*out)) return fail(ReplaceFailure::kWrite, sink.error());
  if (!out->Flush()) return fail(ReplaceFailure::kFlush, sink.error());
  if (::fsync(fd) != 0) return fail(ReplaceFailure::kSync, SysError::FromErrno(errno));
  if (::close(fd) != 0) {
    // Some file systems report delayed write errors only here.
    int err = errno;
    ::unlink(tmp.c_str());
    *failure = {ReplaceFailure::kSync, SysError::FromErrno(err)};
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *failure = {ReplaceFailure::kRename, SysError::FromErrno(errno)};
    ::unlink(tmp.c_str());
    return false;
  }
  SyncParentDirectory(path);
  return true;
}

}  // namespace moxal
