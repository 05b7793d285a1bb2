#include "values/byte_io.h"

namespace moxal {

bool OutBuffer::Flush() {
  if (used_ != 0) {
    if (ok_) ok_ = sink_->WriteAll(buf_, used_);
    used_ = 0;
  }
  return ok_;
}

void OutBuffer::WriteSlow(const uint8_t* data, size_t n) {
  Flush();
  if (n >= kOutBufferSize) {
    if (ok_) ok_ = sink_->WriteAll(data, n);
    return;
  }
  std::memcpy(buf_, data, n);
  used_ = n;
}

}  // namespace moxal
