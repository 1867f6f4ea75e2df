// RecordIterator: the Python iterator around a RecordReader.
//
// The reader is guarded by an access flag: 0 is free, all bits set is one
// exclusive __next__, anything else counts the property reads under way. A
// free-threaded interpreter refuses an overlapping call rather than waiting
// for it. With a global lock, calls overlap only where a __next__ lets the
// lock go (decompressing, waiting for its decoding thread, running Python
// code such as a progress callback): a call from another thread then waits
// for it, so that sharing an iterator between threads works as it would if
// the lock were held throughout, and only a call from the holder's own
// thread (a callback re-entering the iterator) is refused.
#include <Python.h>
#include <pythread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "api/operations/operations.hpp"
#include "api/operations/reader.hpp"
#include "binding/boundary.hpp"
#include "binding/unlocked.hpp"
#include "records/format.hpp"

namespace quarn::api::operations {
namespace {

using Flag = std::uintptr_t;
constexpr Flag kExclusive = ~Flag{0};

struct IteratorObject {
  PyObject_HEAD RecordReader* reader;
  std::atomic<Flag> access;
  // The thread of the exclusive holder, 0 when none (written by the holder
  // only, so a thread that reads its own ident here is the holder).
  std::atomic<unsigned long> owner;
};

IteratorObject* as_iterator(PyObject* self) {
  return reinterpret_cast<IteratorObject*>(self);
}

// Whether a call that found the reader busy waits for it: only with a global
// lock, and only for another thread's __next__.
bool waits_for_holder(const IteratorObject* it) {
#ifdef Py_GIL_DISABLED
  (void)it;
  return false;
#else
  return it->owner.load(std::memory_order_relaxed) != PyThread_get_thread_ident();
#endif
}

// Waits, without the interpreter lock, until `it`'s flag is no longer
// exclusive; false with the exception set when a signal handler raised. A
// holder can take a while (a pipe's writer, a decoding thread), so the wait
// backs off from yielding to sleeping up to a millisecond, and checks
// signals between rounds, so that Ctrl-C still reaches a waiting main
// thread.
bool wait_for_holder(IteratorObject* it) {
  std::chrono::microseconds pause{0};
  while (it->access.load(std::memory_order_acquire) == kExclusive) {
    {
      binding::Unlocked unlocked;
      if (pause.count() == 0) {
        std::this_thread::yield();
      } else {
        std::this_thread::sleep_for(pause);
      }
    }
    if (PyErr_CheckSignals() < 0) return false;
    pause = std::min(std::chrono::microseconds{1000},
                     pause.count() == 0 ? std::chrono::microseconds{20} : pause * 2);
  }
  return true;
}

class Exclusive {
 public:
  explicit Exclusive(IteratorObject* it) : it_(it) {}
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
  ~Exclusive() {
    if (!held_) return;
    it_->owner.store(0, std::memory_order_relaxed);
    it_->access.store(0, std::memory_order_release);
  }

  // Takes the reader, waiting for another thread's __next__ where that is
  // the rule; false with the exception set when refused or interrupted.
  [[nodiscard]] bool take() {
    for (;;) {
      Flag expected = 0;
      if (it_->access.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
        it_->owner.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
        held_ = true;
        return true;
      }
      // A property read never lets the lock go, so with a global lock a busy
      // flag seen from here is a __next__.
      if (expected != kExclusive || !waits_for_holder(it_)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
      }
      if (!wait_for_holder(it_)) return false;
    }
  }

 private:
  IteratorObject* it_;
  bool held_ = false;
};

class Shared {
 public:
  explicit Shared(IteratorObject* it) : it_(it) {}
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  ~Shared() {
    if (held_) it_->access.fetch_sub(1, std::memory_order_release);
  }

  // As Exclusive::take, for a property read.
  [[nodiscard]] bool take() {
    for (;;) {
      Flag current = it_->access.load(std::memory_order_relaxed);
      while (current != kExclusive) {
        if (it_->access.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) {
          held_ = true;
          return true;
        }
      }
      if (!waits_for_holder(it_)) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
      }
      if (!wait_for_holder(it_)) return false;
    }
  }

 private:
  IteratorObject* it_;
  bool held_ = false;
};

PyObject* iter_next(PyObject* self) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        Exclusive access(as_iterator(self));
        if (!access.take()) return nullptr;
        auto record = as_iterator(self)->reader->next_record();
        if (!record.ok()) {
          binding::raise(record.error());
          return nullptr;
        }
        // An empty result with no exception set ends the iteration.
        return std::move(record).value().release();
      },
      static_cast<PyObject*>(nullptr));
}

// Runs `read` with shared use of the reader, refused (or made to wait, see
// above) while a __next__ holds it.
template <class F>
PyObject* with_shared_access(PyObject* self, F&& read) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        Shared access(as_iterator(self));
        if (!access.take()) return nullptr;
        return read();
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* iter_self(PyObject* self) noexcept {
  return with_shared_access(self, [&] { return Py_NewRef(self); });
}

template <std::uint64_t (RecordReader::*Counter)() const>
PyObject* get_counter(PyObject* self, void*) noexcept {
  return with_shared_access(
      self, [&] { return PyLong_FromUnsignedLongLong((as_iterator(self)->reader->*Counter)()); });
}

void iter_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  try {
    delete as_iterator(self)->reader;  // closes the file
  } catch (...) {
    binding::raise_panic("failed to release a RecordIterator");
    PyErr_WriteUnraisable(self);
  }
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef getset[] = {
    {"bytes_read", &get_counter<&RecordReader::bytes_read>, nullptr,
     "Bytes consumed from the file so far (for progress reporting).", nullptr},
    {"total_bytes", &get_counter<&RecordReader::total_bytes>, nullptr,
     "Total size of the file in bytes (0 if it could not be determined).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Python iterator wrapper returned by [`iter_records`].")},
    {Py_tp_iter, reinterpret_cast<void*>(&iter_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(&iter_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&iter_dealloc)},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.RecordIterator",
    static_cast<int>(sizeof(IteratorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

std::atomic<PyObject*> iterator_type{nullptr};

}  // namespace

binding::Result<PyObject*> record_iterator_type() {
  PyObject* existing = iterator_type.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  PyObject* made = PyType_FromSpec(&spec);
  if (made == nullptr) {
    // Chain the cause under the documented message.
    PyObject* cause = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    cause = PyErr_GetRaisedException();
#else
    PyObject *t, *tb;
    PyErr_Fetch(&t, &cause, &tb);
    PyErr_NormalizeException(&t, &cause, &tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
#endif
    PyErr_SetString(PyExc_RuntimeError,
                    "An error occurred while initializing class RecordIterator");
    if (cause != nullptr) {
#if PY_VERSION_HEX >= 0x030C0000
      PyObject* exc = PyErr_GetRaisedException();
      PyException_SetCause(exc, cause);
      PyErr_SetRaisedException(exc);
#else
      PyObject *t, *v, *tb;
      PyErr_Fetch(&t, &v, &tb);
      PyErr_NormalizeException(&t, &v, &tb);
      PyException_SetCause(v, cause);
      PyErr_Restore(t, v, tb);
#endif
    }
    return Error::python();
  }
  // First writer wins; the winner lives as long as the process.
  if (!iterator_type.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return existing;
  }
  return made;
}

Result<Ref> iterate_records(RecordSource source, std::shared_ptr<const RecordParser> parser,
                            BadText bad_text) {
  auto reader = std::make_unique<RecordReader>(std::move(source), std::move(parser), bad_text);
  auto type = record_iterator_type();
  if (!type.ok()) return std::move(type).error();
  auto* tp = reinterpret_cast<PyTypeObject*>(type.value());
  PyObject* obj = tp->tp_alloc(tp, 0);
  if (obj == nullptr) return Error::python();
  IteratorObject* it = as_iterator(obj);
  it->reader = reader.release();
  new (&it->access) std::atomic<Flag>(0);
  new (&it->owner) std::atomic<unsigned long>(0);
  return Ref::steal(obj);
}

}  // namespace quarn::api::operations
