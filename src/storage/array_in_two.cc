#include "storage/array_in_two.h"

#include <unistd.h>

#include <exception>
#include <system_error>
#include <thread>

#include "storage/file_io.h"
#include "values/json_reader.h"

namespace moxal {

namespace {

// Below this, starting and joining a thread costs about what it saves.
constexpr uint64_t kMinSplitSize = uint64_t{4} << 20;

// How far past the middle to look for a place to split: many documents'
// worth of text, yet a single read.
constexpr size_t kSplitWindow = size_t{64} << 10;

bool IsSpace(uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The offset of the first "{" at or after the middle of the file that
// follows a "}" and a ",", with only whitespace between them: where an
// object element would begin. 0 when there is none in the window.
uint64_t GuessSplit(int fd, uint64_t size) {
  std::vector<uint8_t> window(kSplitWindow);
  uint64_t from = size / 2;
  ssize_t n = ::pread(fd, window.data(), window.size(), static_cast<off_t>(from));
  if (n <= 0) return 0;
  const uint8_t* p = window.data();
  const uint8_t* end = p + n;
  for (const uint8_t* q = p; q < end; ++q) {
    if (*q != '}') continue;
    const uint8_t* r = q + 1;
    while (r < end && IsSpace(*r)) ++r;
    if (r == end || *r != ',') continue;
    ++r;
    while (r < end && IsSpace(*r)) ++r;
    if (r < end && *r == '{') return from + static_cast<uint64_t>(r - p);
  }
  return 0;
}

}  // namespace

SplitRead ReadArrayInTwo(int fd, uint64_t size, std::vector<Value>* elements) {
  if (size < kMinSplitSize || size == FileSource::kToTheEnd ||
      std::thread::hardware_concurrency() < 2) {
    return SplitRead::kNotSplit;
  }
  uint64_t at = GuessSplit(fd, size);
  if (at == 0) return SplitRead::kNotSplit;

  // Declared before the thread, so they outlive it on every way out.
  std::vector<Value> tail;
  bool tail_read = false;
  std::exception_ptr tail_error;
  std::jthread second;  // joined when it goes out of scope, also by an exception
  try {
    second = std::jthread([&] {
      try {
        FileSource src(fd, at, size);
        tail_read = ReadJsonArrayTail(src, &tail);
      } catch (...) {
        tail_error = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    return SplitRead::kNotSplit;  // no thread to be had
  }
  FileSource src(fd, 0, at);
  bool head_read = ReadJsonArrayHead(src, elements);
  second.join();
  if (tail_error) std::rethrow_exception(tail_error);
  if (!head_read) {
    elements->clear();
    return SplitRead::kNotSplit;  // the guess was wrong, or the text is
  }
  if (!tail_read) {
    elements->clear();
    return SplitRead::kInvalid;
  }
  elements->reserve(elements->size() + tail.size());
  for (Value& v : tail) elements->push_back(std::move(v));
  return SplitRead::kRead;
}

}  // namespace moxal
