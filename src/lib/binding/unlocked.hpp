// The interpreter lock let go for a stretch of native work.
//
// Held from construction to destruction: the lock is taken back on every
// way out, an exception included, so that a failed allocation in the middle
// of a scan cannot leave this thread running without it. Nothing between
// the two may touch a Python object or raise a Python exception.
//
// This header is the whole of what the engine below the call boundary knows
// of the interpreter: no Python.h here (the thread state is held opaquely).
#pragma once

#include <cstddef>

namespace quarn::binding {

// Runs the interpreter's signal handlers (the lock held); false when one
// raised, its exception set.
[[nodiscard]] bool check_signals();

class Unlocked {
 public:
  Unlocked();
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked();

 private:
  void* state_;  // the thread state the lock is taken back with
};

// The lock let go for a long loop over the blocks of a file, and taken back
// between batches of them to run signal handlers. Blocks of a file go by at
// several GB/s (a scan) or some hundreds of MB/s (a parse): a batch is short
// enough that a signal is answered within milliseconds, long enough that
// taking the lock back costs nothing measurable. Other threads never wait
// for a batch: they have the lock all through it.
class Batches {
 public:
  Batches();
  Batches(const Batches&) = delete;
  Batches& operator=(const Batches&) = delete;
  ~Batches();

  // Before each block: at the start of a batch, runs the signal handlers
  // with the lock; false when one raised (its exception is set).
  [[nodiscard]] bool next() {
    if (blocks_++ % kBatch != 0) return true;
    Held held(this);
    return check_signals();
  }

  // The lock taken back for a step inside the loop that needs it (an
  // error's message, which may read the file again with signal checks);
  // nothing when `batches` is null (the lock is held already).
  class Held {
   public:
    explicit Held(Batches* batches);
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held();

   private:
    Batches* b_;
  };

 private:
  static constexpr std::size_t kBatch = 64;
  void* state_;
  std::size_t blocks_ = 0;
};

}  // namespace quarn::binding
