#include "fail_alloc.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace moxal::testing {

namespace {

std::atomic<uint64_t> g_fail_at{0};  // 0: not armed
std::atomic<uint64_t> g_count{0};
std::atomic<bool> g_failed{false};

// True when this allocation is the one to fail.
bool ShouldFail() {
  uint64_t at = g_fail_at.load(std::memory_order_relaxed);
  if (at == 0) return false;
  if (g_count.fetch_add(1, std::memory_order_relaxed) + 1 != at) return false;
  g_failed.store(true, std::memory_order_relaxed);
  return true;
}

void* Allocate(std::size_t size) {
  if (ShouldFail()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* AllocateAligned(std::size_t size, std::align_val_t align) {
  if (ShouldFail()) return nullptr;
  std::size_t a = static_cast<std::size_t>(align);
  return std::aligned_alloc(a, (size + a - 1) / a * a);
}

}  // namespace

void FailAllocation(uint64_t n) {
  g_failed.store(false);
  g_count.store(0);
  g_fail_at.store(n);
}

bool StopFailing() {
  g_fail_at.store(0);
  return g_failed.load();
}

}  // namespace moxal::testing

using moxal::testing::ShouldFail;

// The link passes moxal's calls of these here (--wrap); __real_* are the
// C library's.
extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t n, std::size_t size);
void* __real_realloc(void* p, std::size_t size);

void* __wrap_malloc(std::size_t size) {
  return moxal::testing::ShouldFail() ? nullptr : __real_malloc(size);
}
void* __wrap_calloc(std::size_t n, std::size_t size) {
  return moxal::testing::ShouldFail() ? nullptr : __real_calloc(n, size);
}
void* __wrap_realloc(void* p, std::size_t size) {
  return moxal::testing::ShouldFail() ? nullptr : __real_realloc(p, size);
}
}

void* operator new(std::size_t size) {
  if (void* p = moxal::testing::Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return moxal::testing::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return moxal::testing::Allocate(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
  if (void* p = moxal::testing::AllocateAligned(size, align)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) { return operator new(size, align); }
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return moxal::testing::AllocateAligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return moxal::testing::AllocateAligned(size, align);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
