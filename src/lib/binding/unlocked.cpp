#include <Python.h>

#include "binding/unlocked.hpp"

namespace quarn::binding {
namespace {

PyThreadState* thread_state(void* state) {
  return static_cast<PyThreadState*>(state);
}

}  // namespace

bool check_signals() {
  return PyErr_CheckSignals() == 0;
}

Unlocked::Unlocked() : state_(PyEval_SaveThread()) {}

Unlocked::~Unlocked() {
  PyEval_RestoreThread(thread_state(state_));
}

Batches::Batches() : state_(PyEval_SaveThread()) {}

Batches::~Batches() {
  PyEval_RestoreThread(thread_state(state_));
}

Batches::Held::Held(Batches* batches) : b_(batches) {
  if (b_ != nullptr) PyEval_RestoreThread(thread_state(b_->state_));
}

Batches::Held::~Held() {
  if (b_ != nullptr) b_->state_ = PyEval_SaveThread();
}

}  // namespace quarn::binding
