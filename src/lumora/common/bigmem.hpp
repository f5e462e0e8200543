// Memory for large buffers. The kernel hands out fresh memory a 4 KiB page at a time, each page
// costing a fault when it is first touched; a buffer of a few MiB, filled once per call, spends
// much of its time there. Blocks of 1 MiB or more are therefore mapped directly, aligned to
// 2 MiB, with transparent huge pages asked for, so one fault fills 2 MiB. Smaller blocks come
// from the usual allocator. Plain C++ with no Python types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lumora {

namespace bigmem {

inline constexpr size_t kBig = size_t{1} << 20;   // blocks from this size on are mapped
inline constexpr size_t kHuge = size_t{1} << 21;  // the huge page size asked for

inline size_t mapped_size(size_t bytes) noexcept { return (bytes + kHuge - 1) & ~(kHuge - 1); }

inline void* allocate(size_t bytes) {
#if defined(__linux__)
  if (bytes >= kBig) {
    const size_t len = mapped_size(bytes);
    if (len < bytes || len + kHuge < len) throw std::bad_alloc();
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
    ::munmap(p, mapped_size(bytes));
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
