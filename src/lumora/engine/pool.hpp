// Work spread over threads: jobs are numbered 0..n-1 and handed out in order to whichever worker
// is free, so early jobs (early texts) finish first. Jobs are plain C++ and must not throw: a
// worker keeps its failure in its own result and the caller looks at it after the run. A
// cancellation flag, raised by another thread, stops workers from starting further jobs.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

namespace lumora {
namespace engine {

// Worker threads to use: LUMORA_THREADS when set to a positive number, else the hardware's count.
inline unsigned default_threads() noexcept {
  if (const char* s = std::getenv("LUMORA_THREADS")) {
    long v = std::strtol(s, nullptr, 10);
    if (v > 0) return static_cast<unsigned>(std::min(v, 256L));
  }
  unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : hw;
}

struct Cancel {
  std::atomic<bool> raised{false};
  bool is_raised() const noexcept { return raised.load(std::memory_order_relaxed); }
  void raise() noexcept { raised.store(true, std::memory_order_relaxed); }
};

// Runs job(i, worker) for i in [0, n) on up to `threads` threads (worker in [0, threads): each
// worker may keep scratch space of its own, indexed by it). Returns false when cancelled before
// every job ran. The calling thread is worker 0; when no further thread can be started, fewer
// workers share the jobs.
inline bool parallel_for(size_t n, unsigned threads, const Cancel& cancel,
                         const std::function<void(size_t, unsigned)>& job) {
  if (n == 0) return !cancel.is_raised();
  threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(std::min<size_t>(n, 1024))));
  std::atomic<size_t> next{0};
  auto work = [&](unsigned worker) {
    for (;;) {
      if (cancel.is_raised()) return;
      size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return;
      job(i, worker);
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (unsigned w = 1; w < threads; ++w) {
    try {
      pool.emplace_back(work, w);
    } catch (const std::system_error&) {
      break;
    }
  }
  work(0);
  for (auto& t : pool) t.join();
  return !cancel.is_raised() && next.load() >= n;
}

// Contiguous ranges of [0, n) for `parts` workers, as equal in weight as the weights allow:
// bounds[k]..bounds[k+1] is part k. Used where each part's results are merged in order.
inline std::vector<size_t> split_by_weight(const std::vector<size_t>& weight, size_t parts) {
  size_t n = weight.size();
  parts = std::max<size_t>(1, std::min(parts, std::max<size_t>(n, 1)));
  size_t total = 0;
  for (size_t w : weight) total += w;
  std::vector<size_t> bounds{0};
  size_t acc = 0, i = 0;
  for (size_t k = 1; k < parts; ++k) {
    size_t goal = total / parts * k;
    while (i < n && acc + weight[i] <= goal) acc += weight[i++];
    if (i > bounds.back() || i == n) bounds.push_back(i);
  }
  if (bounds.back() != n) bounds.push_back(n);
  return bounds;
}

}  // namespace engine
}  // namespace lumora
