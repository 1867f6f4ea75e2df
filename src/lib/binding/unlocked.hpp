// The interpreter lock let go for a stretch of native work.
//
// Held from construction to destruction: the lock is taken back on every
// way out, an exception included, so that a failed allocation in the middle
// of a scan cannot leave this thread running without it. Nothing between
// the two may touch a Python object or raise a Python exception.
#pragma once

#include <Python.h>

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

}  // namespace quarn::binding
