// The interpreter keeps its small objects (tuples, short strings, ints) in arenas that it maps
// and unmaps whole, and every page of a fresh arena costs a fault and a clearing when it is
// first touched. A list of a million rows fills a few hundred arenas; once the list is freed
// they are unmapped, and the next list of rows pays for all of them again: on large lists that
// costs more than making the rows.
//
// keep_freed_arenas() puts a thin layer over the interpreter's arena allocator: freed arenas
// are kept a while and handed out again, newest first, before any new arena is asked for. As
// with large buffers (bigmem.hpp), the kernel may take the pages of a kept arena back whenever
// it needs memory (they are marked free-able), and arenas kept longer than twenty seconds, or
// beyond a bound on the total kept, go back to the allocator underneath, which unmaps them.
// Every arena still comes from that allocator and goes back to it, so it can be installed at
// any time. LUMORA_KEEP_ARENAS=0 in the environment leaves the interpreter's allocator alone.
#pragma once

#include <Python.h>

#include "lumora/common/bigmem.hpp"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

namespace lumora {
namespace pyarenas {

class Keeper {
 public:
  static constexpr size_t kMostKept = size_t{1} << 30;  // bytes kept at most

  static Keeper& get() {
    static Keeper* k = [] {
      auto* made = new Keeper;  // never destroyed: arenas are freed until the process ends
#if defined(__linux__)
      ::pthread_atfork([] { get().mutex_.lock(); }, [] { get().mutex_.unlock(); },
                       [] { get().mutex_.unlock(); });
#endif
      return made;
    }();
    return *k;
  }

  // Installs the layer once; later calls do nothing. Called with the interpreter lock held.
  void install() {
    if (installed_) return;
    installed_ = true;
    const char* setting = std::getenv("LUMORA_KEEP_ARENAS");
    if (setting != nullptr && std::strcmp(setting, "0") == 0) return;
    PyObject_GetArenaAllocator(&below_);
    PyObjectArenaAllocator layer{this, &Keeper::alloc, &Keeper::free};
    PyObject_SetArenaAllocator(&layer);
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Arena {
    void* p;
    size_t size;
    Clock::time_point since;
  };
  static constexpr size_t kSlots = 4096;

  static void* alloc(void* ctx, size_t size) {
    auto* self = static_cast<Keeper*>(ctx);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->expire(Clock::now());
      if (self->count_ > 0) {
        Arena& newest = self->at(self->count_ - 1);
        if (newest.size == size) {
          --self->count_;
          self->total_ -= size;
          return newest.p;
        }
      }
    }
    return self->below_.alloc(self->below_.ctx, size);
  }

  static void free(void* ctx, void* p, size_t size) {
    auto* self = static_cast<Keeper*>(ctx);
    if (p == nullptr) return;
#if defined(__linux__) && defined(MADV_FREE)
    ::madvise(p, size, MADV_FREE);  // the kernel may take the pages back, lazily
#endif
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      const auto now = Clock::now();
      self->expire(now);
      if (self->count_ < kSlots && self->total_ + size <= kMostKept) {
        self->at(self->count_++) = Arena{p, size, now};
        self->total_ += size;
        return;
      }
    }
    self->below_.free(self->below_.ctx, p, size);
  }

  // The k-th kept arena, oldest first.
  Arena& at(size_t k) noexcept { return ring_[(first_ + k) % kSlots]; }

  // Gives the arenas kept too long back, oldest first.
  void expire(Clock::time_point now) {
    while (count_ > 0 && now - ring_[first_].since > bigmem::kKeepFor) {
      const Arena old = ring_[first_];
      first_ = (first_ + 1) % kSlots;
      --count_;
      total_ -= old.size;
      below_.free(below_.ctx, old.p, old.size);
    }
  }

  std::mutex mutex_;
  bool installed_ = false;
  PyObjectArenaAllocator below_{};
  Arena ring_[kSlots];
  size_t first_ = 0;  // the oldest kept arena's slot
  size_t count_ = 0;
  size_t total_ = 0;
};

// Keeps the interpreter's freed arenas for its next ones, as above.
inline void keep_freed_arenas() { Keeper::get().install(); }

}  // namespace pyarenas
}  // namespace lumora
