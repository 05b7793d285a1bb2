#include "storage/background_writer.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace moxal {

namespace {

// Large enough that a write call per chunk costs nothing next to producing
// the chunk, small enough that two stay in the processor's caches; a
// multiple of the output buffer's size (see Finish).
constexpr size_t kChunkSize = size_t{256} << 10;
static_assert(kChunkSize % kOutBufferSize == 0);

// The kernel starts writing the file back every this many bytes, so the
// disk works while more text is produced and the final fsync has little
// left to wait for.
constexpr size_t kWritebackStep = size_t{1} << 20;

}  // namespace

BackgroundWriter::BackgroundWriter(int fd) : sink_(fd) {
  sink_.StartWritebackEvery(kWritebackStep);
  chunks_[0].bytes.reset(new uint8_t[kChunkSize]);
}

BackgroundWriter::~BackgroundWriter() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

bool BackgroundWriter::WriteAll(const uint8_t* data, size_t n) {
  total_ += n;
  while (n != 0) {
    // A full chunk is handed over only once more bytes come, so the last
    // chunk, which Finish writes, is never empty.
    if (chunks_[current_].used == kChunkSize && !Hand()) return false;
    Chunk& c = chunks_[current_];
    size_t take = std::min(n, kChunkSize - c.used);
    std::memcpy(c.bytes.get() + c.used, data, take);
    c.used += take;
    data += take;
    n -= take;
  }
  return true;
}

bool BackgroundWriter::Hand() {
  if (!thread_.joinable()) {
    try {
      chunks_[1].bytes.reset(new uint8_t[kChunkSize]);
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      // No thread to be had: write on this one.
      Chunk& c = chunks_[current_];
      bool ok = sink_.WriteAll(c.bytes.get(), c.used);
      c.used = 0;
      return ok;
    }
  }
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return pending_ == -1; });
  if (failed_) return false;
  pending_ = current_;
  current_ ^= 1;
  chunks_[current_].used = 0;
  lock.unlock();
  cv_.notify_all();
  return true;
}

void BackgroundWriter::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return pending_ != -1 || stop_; });
    if (pending_ == -1) return;
    Chunk& c = chunks_[pending_];
    lock.unlock();
    bool ok = sink_.WriteAll(c.bytes.get(), c.used);
    lock.lock();
    if (!ok) failed_ = true;
    pending_ = -1;
    cv_.notify_all();
  }
}

bool BackgroundWriter::Finish(bool* in_last) {
  *in_last = false;
  if (thread_.joinable()) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return pending_ == -1; });
    if (failed_) return false;
  }
  Chunk& c = chunks_[current_];
  size_t last = total_ % kOutBufferSize == 0 ? kOutBufferSize : total_ % kOutBufferSize;
  last = std::min(last, c.used);  // the chunk size is a multiple of the buffer size
  size_t before = c.used - last;
  if (before != 0 && !sink_.WriteAll(c.bytes.get(), before)) return false;
  *in_last = !sink_.WriteAll(c.bytes.get() + before, last);
  c.used = 0;
  return !*in_last;
}

}  // namespace moxal
