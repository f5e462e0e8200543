// Memory for large buffers. The kernel hands out fresh memory a 4 KiB page at a time, each page
// costing a fault and a clearing when it is first touched; a buffer of a few MiB, filled once per
// call, spends much of its time there. Blocks of 1 MiB or more are therefore mapped directly,
// aligned to 2 MiB, with transparent huge pages asked for, so one fault fills 2 MiB. Smaller
// blocks come from the usual allocator.
//
// Freed large blocks are kept a while for the next large buffers (a call's later stages, the
// next call), as general-purpose allocators keep freed memory: their pages are already there,
// so reusing them costs no fault and no clearing. The kernel may take the pages of a kept block
// back whenever it needs memory (they are marked free-able); blocks kept longer than twenty
// seconds, or beyond a bound on the total kept, are unmapped. Memory from here is never zeroed:
// callers fill it. Plain C++ with no Python types.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

namespace lumora {

namespace bigmem {

inline constexpr size_t kBig = size_t{1} << 20;   // blocks from this size on are mapped
inline constexpr size_t kHuge = size_t{1} << 21;  // the huge page size asked for

// How long freed memory is kept for reuse, here and for the interpreter's arenas (pyarenas.hpp).
inline constexpr auto kKeepFor = std::chrono::seconds(20);

inline size_t mapped_size(size_t bytes) noexcept { return (bytes + kHuge - 1) & ~(kHuge - 1); }

#if defined(__linux__)
// Freed mapped blocks, each 2 MiB-aligned and a multiple of 2 MiB long.
class Kept {
 public:
  static constexpr size_t kMostKept = size_t{2} << 30;  // bytes kept at most

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

  // A kept block of exactly len bytes (cut from a longer one), or nullptr.
  void* take(size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    expire(Clock::now());
    size_t best = count_;
    for (size_t k = 0; k < count_; ++k)
      if (blocks_[k].len >= len && (best == count_ || blocks_[k].len < blocks_[best].len)) best = k;
    if (best == count_) return nullptr;
    Block b = blocks_[best];
    remove(best);
    if (b.len > len) add(Block{static_cast<char*>(b.p) + len, b.len - len, b.since});
    return b.p;
  }

  // Keeps a freed block (unmaps it when there is no room). A block next to a kept one joins
  // it, so that the pieces of a block cut by take() make it whole again.
  void give(void* p, size_t len) noexcept {
#if defined(MADV_FREE)
    ::madvise(p, len, MADV_FREE);  // the kernel may take the pages back, lazily
#endif
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    expire(now);
    for (size_t k = 0; k < count_;) {
      char* const begin = static_cast<char*>(blocks_[k].p);
      if (begin + blocks_[k].len == p) {
        p = begin;
      } else if (static_cast<char*>(p) + len != begin) {
        ++k;
        continue;
      }
      len += blocks_[k].len;
      remove(k);
      k = 0;
    }
    if (len > kMostKept) {
      ::munmap(p, len);
      return;
    }
    while (total_ + len > kMostKept || count_ == kSlots) unmap(oldest());
    add(Block{p, len, now});
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Block {
    void* p;
    size_t len;
    Clock::time_point since;
  };
  static constexpr size_t kSlots = 64;

  void add(const Block& b) noexcept {
    if (count_ == kSlots) {
      ::munmap(b.p, b.len);
      return;
    }
    blocks_[count_++] = b;
    total_ += b.len;
  }
  void remove(size_t k) noexcept {
    total_ -= blocks_[k].len;
    blocks_[k] = blocks_[--count_];
  }
  void unmap(size_t k) noexcept {
    ::munmap(blocks_[k].p, blocks_[k].len);
    remove(k);
  }
  size_t oldest() const noexcept {
    size_t o = 0;
    for (size_t k = 1; k < count_; ++k)
      if (blocks_[k].since < blocks_[o].since) o = k;
    return o;
  }
  void expire(Clock::time_point now) noexcept {
    for (size_t k = count_; k-- > 0;)
      if (now - blocks_[k].since > kKeepFor) unmap(k);
  }

  std::mutex mutex_;
  Block blocks_[kSlots];
  size_t count_ = 0;
  size_t total_ = 0;
};

// One per library, never destroyed (threads may free blocks while the process exits). A fork
// takes its lock first, so that the child never inherits it held by a thread it does not have.
inline Kept& kept() {
  static Kept* k = [] {
    auto* made = new Kept;
    ::pthread_atfork([] { kept().lock(); }, [] { kept().unlock(); }, [] { kept().unlock(); });
    return made;
  }();
  return *k;
}
#endif

inline void* allocate(size_t bytes) {
#if defined(__linux__)
  if (bytes >= kBig) {
    const size_t len = mapped_size(bytes);
    if (len < bytes || len + kHuge < len) throw std::bad_alloc();
    if (void* p = kept().take(len)) return p;
    void* raw = ::mmap(nullptr, len + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    // Keep the 2 MiB-aligned part only.
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kHuge - 1) & ~static_cast<uintptr_t>(kHuge - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    const uintptr_t end = start + len + kHuge;
    if (end > aligned + len) ::munmap(reinterpret_cast<void*>(aligned + len), end - aligned - len);
#if defined(MADV_HUGEPAGE)
    ::madvise(reinterpret_cast<void*>(aligned), len, MADV_HUGEPAGE);  // a hint: may be refused
#endif
    return reinterpret_cast<void*>(aligned);
  }
#endif
  return ::operator new(bytes);
}

inline void deallocate(void* p, size_t bytes) noexcept {
#if defined(__linux__)
  if (bytes >= kBig) {
    kept().give(p, mapped_size(bytes));
    return;
  }
#endif
  ::operator delete(p);
}

}  // namespace bigmem

// An allocator for std::vector that takes large blocks as above. With Init false, elements
// that a resize adds are left as they are (for buffers about to be overwritten).
template <class T, bool Init = true>
struct BigAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = BigAllocator<U, Init>;
  };

  BigAllocator() noexcept = default;
  template <class U>
  BigAllocator(const BigAllocator<U, Init>&) noexcept {}

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(bigmem::allocate(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept { bigmem::deallocate(p, n * sizeof(T)); }

  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (!Init && sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }

  template <class U>
  bool operator==(const BigAllocator<U, Init>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const BigAllocator<U, Init>&) const noexcept { return false; }
};

template <class T>
using BigVector = std::vector<T, BigAllocator<T>>;

}  // namespace lumora
