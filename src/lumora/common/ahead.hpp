// Work on the files of a listing done ahead of their use: a helper thread runs the job of file
// after file while the caller takes the results in listing order, and the caller runs jobs
// itself whenever the one it waits for is not done. Jobs are plain C++: they touch no Python
// object and throw nothing, so the helper never needs the interpreter, and the caller keeps the
// interpreter lock all along.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace lumora {

class Ahead {
 public:
  // job(i, worker) does the work of file i; worker is 0 on the caller's thread and 1 on the
  // helper's, so each can keep scratch space of its own. At most `limit` files past the one last
  // waited for are taken up. Without a helper (or when none can be started) the caller runs
  // every job, each when it is waited for.
  Ahead(size_t n, size_t limit, bool helper, std::function<void(size_t, int)> job)
      : n_(n), limit_(limit), job_(std::move(job)), done_(n, 0) {
    if (!helper || n < 2) return;
    try {
      thread_ = std::thread([this] { help(); });
    } catch (const std::system_error&) {
      // No thread to be had: the caller does it all.
    }
  }

  ~Ahead() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  Ahead(const Ahead&) = delete;
  Ahead& operator=(const Ahead&) = delete;

  // Returns once the job of file i has run.
  void wait(size_t i) {
    std::unique_lock<std::mutex> lock(m_);
    if (i >= wanted_) {
      wanted_ = i;
      changed_.notify_all();
    }
    while (!done_[i]) {
      if (next_ < n_ && next_ <= i + limit_) {
        run(lock, next_++, 0);
        continue;
      }
      changed_.wait(lock);
    }
  }

 private:
  void help() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || next_ >= n_ || next_ <= wanted_ + limit_; });
      if (stop_ || next_ >= n_) return;
      run(lock, next_++, 1);
    }
  }

  void run(std::unique_lock<std::mutex>& lock, size_t i, int worker) {
    lock.unlock();
    job_(i, worker);
    lock.lock();
    done_[i] = 1;
    changed_.notify_all();
  }

  const size_t n_, limit_;
  std::function<void(size_t, int)> job_;
  std::mutex m_;
  std::condition_variable changed_;
  std::vector<uint8_t> done_;  // under m_
  size_t next_ = 0;            // the next file to take up, under m_
  size_t wanted_ = 0;          // the file last waited for, under m_
  bool stop_ = false;          // under m_
  std::thread thread_;
};

}  // namespace lumora
