// The interpreter lock let go for a stretch of native work.
//
// Held from construction to destruction: the lock is taken back on every
// way out, an exception included, so that a failed allocation in the middle
// of a scan cannot leave this thread running without it. Nothing between
// the two may touch a Python object or raise a Python exception.
#pragma once

#include <Python.h>

#include <cstddef>

namespace quarn::binding {

class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// The lock let go for a long loop over the blocks of a file, and taken back
// between batches of them to run signal handlers. Blocks of a file go by at
// several GB/s (a scan) or some hundreds of MB/s (a parse): a batch is short
// enough that a signal is answered within milliseconds, long enough that
// taking the lock back costs nothing measurable. Other threads never wait
// for a batch: they have the lock all through it.
class Batches {
 public:
  Batches() : state_(PyEval_SaveThread()) {}
  Batches(const Batches&) = delete;
  Batches& operator=(const Batches&) = delete;
  ~Batches() { PyEval_RestoreThread(state_); }

  // Before each block: at the start of a batch, runs the signal handlers
  // with the lock; false when one raised (its exception is set).
  [[nodiscard]] bool next() {
    if (blocks_++ % kBatch != 0) return true;
    Held held(this);
    return PyErr_CheckSignals() == 0;
  }

  // The lock taken back for a step inside the loop that needs it (an
  // error's message, which may read the file again with signal checks);
  // nothing when `batches` is null (the lock is held already).
  class Held {
   public:
    explicit Held(Batches* batches) : b_(batches) {
      if (b_ != nullptr) PyEval_RestoreThread(b_->state_);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
      if (b_ != nullptr) b_->state_ = PyEval_SaveThread();
    }

   private:
    Batches* b_;
  };

 private:
  static constexpr std::size_t kBatch = 64;
  PyThreadState* state_;
  std::size_t blocks_ = 0;
};

}  // namespace quarn::binding
