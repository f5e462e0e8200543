// Native work with the interpreter lock released. The calling thread hands the work to a helper
// thread and waits for it, waking every 50 ms to take the lock and let Python run its signal
// handlers: a KeyboardInterrupt (or any exception a handler raises) raises the cancellation flag,
// the work stops at its next check and the error propagates. Other Python threads run meanwhile.
#pragma once
#include <Python.h>

#include "lumora/common/ref.hpp"
#include "lumora/engine/pool.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace lumora {

// The identifier of the interpreter's main thread, read once from the threading module (0 when
// it cannot be read: then no thread counts as the main one).
inline unsigned long main_thread_ident() {
  static unsigned long ident = [] {
    unsigned long v = 0;
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* main = threading ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
    PyObject* id = main ? PyObject_GetAttrString(main, "ident") : nullptr;
    if (id != nullptr) v = PyLong_AsUnsignedLong(id);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      v = 0;
    }
    Py_XDECREF(id);
    Py_XDECREF(main);
    Py_XDECREF(threading);
    return v;
  }();
  return ident;
}

// Runs work(cancel) without the interpreter lock. work must not touch Python objects; it should
// check cancel.is_raised() between units (texts) and return early when raised. Throws PyErrorSet
// when a signal handler raised (the work has stopped by then), and passes on what work threw.
template <class Work>
void run_released(Work&& work) {
  engine::Cancel cancel;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::exception_ptr failure;
  auto body = [&] {
    try {
      work(cancel);
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(m);
    done = true;
    cv.notify_one();
  };
  bool interrupted = false;
  std::thread runner;
  bool threaded = false;
  // Only the main thread runs signal handlers, so only there is a watcher of use.
  if (PyGILState_Check() && PyThread_get_thread_ident() == main_thread_ident()) {
    try {
      runner = std::thread(body);
      threaded = true;
    } catch (const std::system_error&) {
    }
  }
  if (!threaded) {
    Py_BEGIN_ALLOW_THREADS
    body();
    Py_END_ALLOW_THREADS
  } else {
    for (;;) {
      bool finished;
      Py_BEGIN_ALLOW_THREADS
      std::unique_lock<std::mutex> lock(m);
      finished = cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; });
      Py_END_ALLOW_THREADS
      if (finished) break;
      if (!interrupted && PyErr_CheckSignals() < 0) {
        interrupted = true;
        cancel.raise();
      }
    }
    runner.join();
  }
  if (interrupted) throw PyErrorSet{};
  if (failure) std::rethrow_exception(failure);
}

}  // namespace lumora
