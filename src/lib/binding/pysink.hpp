// Builds Python objects straight from the parser, without an intermediate
// document.
//
// Values wait on a stack of owned references until their container closes;
// lists are made at their final size. Object members are ordered by key
// (code point order, which is the byte order of their UTF-8 form), and a
// repeated key keeps its last value. Short ASCII keys are shared through a
// small cache, so the thousands of "id" keys of a file are one str object.
//
// A large result meets the cyclic collector only when it is finished (see
// hold_tracking). A container closes after its members, so tracked as it is
// made, every member would precede its container in the collector's list: a
// collection then finds each member before the reference that keeps it
// alive, sets it aside as possibly unreachable and moves it back when its
// container comes, which leaves the list in breadth-first order, a cache miss
// per object in every later collection (over a large result, nearly three
// times the work of a list that follows memory). So, when held, containers
// stay untracked while they are built, where no caller can reach them and
// collections that run meanwhile skip them, and track_untracked() tracks
// exactly those the interpreter itself had tracked (every list, and every
// dict that holds a container), in reverse order of making: each container
// before its members, walking memory downwards. Records handed out one at a
// time are small and are tracked as they are made.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace quarn::binding {

class KeyCache {
 public:
  // Sized for about `text_bytes` of input: a small document should not pay
  // for clearing a table made for a file of gigabytes.
  explicit KeyCache(std::size_t text_bytes = SIZE_MAX);
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;
  ~KeyCache();

  // A new reference to the str of the ASCII key `p[0:n]`, or null with an
  // exception set.
  PyObject* get(const char* p, std::size_t n);

  static constexpr std::size_t kMaxLength = 64;

 private:
  struct Slot {
    PyObject* str = nullptr;
    std::uint64_t hash = 0;
  };
  static bool matches(const Slot& slot, std::uint64_t h, const char* p, std::size_t n);
  std::size_t mask_;  // of the first slot of a set
  std::unique_ptr<Slot[]> slots_;
};

// Remembers the key order of recently seen object shapes. Records of one file
// mostly share a few shapes, and their keys come from the KeyCache as the
// same str objects, so a shape is recognised by the identity of its keys and
// the sort is paid once per shape instead of once per object.
class ShapeCache {
 public:
  explicit ShapeCache(std::size_t text_bytes = SIZE_MAX);
  ShapeCache(const ShapeCache&) = delete;
  ShapeCache& operator=(const ShapeCache&) = delete;
  ~ShapeCache();

  static constexpr std::size_t kMaxKeys = 255;

  // The member order stored for exactly these keys, or null.
  const std::uint8_t* find(PyObject* const* members, std::size_t count, std::uint64_t hash) const;
  void store(PyObject* const* members, std::size_t count, std::uint64_t hash,
             const std::uint8_t* order);
  static std::uint64_t hash(PyObject* const* members, std::size_t count);

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::size_t count = 0;
    std::size_t capacity = 0;
    std::unique_ptr<PyObject*[]> keys;  // strong references: identity stays meaningful
    std::unique_ptr<std::uint8_t[]> order;
  };
  std::size_t mask_;
  std::unique_ptr<Slot[]> slots_;
};

class PySink {
 public:
  PySink(KeyCache& keys, ShapeCache& shapes) : keys_(keys), shapes_(shapes) {}
  PySink(const PySink&) = delete;
  PySink& operator=(const PySink&) = delete;
  ~PySink() {
    reset();
    drop_untracked(0);
  }

  bool null() { return push(Py_NewRef(Py_None)); }
  bool boolean(bool b) { return push(Py_NewRef(b ? Py_True : Py_False)); }
  bool unsigned_integer(std::uint64_t v) {
    return push_made(v <= static_cast<std::uint64_t>(INT64_MAX)
                         ? PyLong_FromLongLong(static_cast<long long>(v))
                         : PyLong_FromUnsignedLongLong(v));
  }
  bool signed_integer(std::int64_t v) { return push_made(PyLong_FromLongLong(v)); }
  bool floating(double d) { return push_made(PyFloat_FromDouble(d)); }
  bool string(const char* p, std::size_t n, bool ascii) { return push_made(make_str(p, n, ascii)); }
  bool key(const char* p, std::size_t n, bool ascii) {
    if (ascii && n <= KeyCache::kMaxLength) return push(keys_.get(p, n));
    return push(make_str(p, n, ascii));
  }
  bool end_array(std::size_t count) { return poll_signals() && make_list(count); }
  bool end_object(std::size_t count) { return poll_signals() && make_dict(count); }
  // A value made elsewhere, as a member or the result (steals `o`; null
  // fails with the interpreter's exception).
  bool value(PyObject* o) { return push(o); }
  // For a caller that passes over containers without making them: counts
  // one as made, for the polling of signals that ends of containers do.
  bool poll() { return poll_signals(); }

  // The finished top-level value (a new reference); the sink is empty after.
  // While tracking is held, its containers stay untracked.
  PyObject* take() {
    PyObject* v = stack_.back();
    stack_.pop_back();
    kept_ = untracked_.size();
    return v;
  }

  // Releases whatever a failed parse left behind.
  void reset() {
    for (PyObject* o : stack_) Py_DECREF(o);
    stack_.clear();
    drop_untracked(kept_);
    invalid_utf8_ = false;
  }

  // From now on, containers are built untracked and stay so until
  // track_untracked(), for a caller that builds one large result (and keeps
  // whatever holds the values it takes untracked as well; `held()` says).
  //
  // Not on a free-threaded interpreter: its collector walks every object of
  // the heap, tracked or not, in memory order, and spaces its collections by
  // the tracked objects that survived the last one. A result held untracked
  // would leave them close together while every one of them walked the whole
  // result built so far (the poll for signals runs a collection that is due):
  // quadratic. Tracked as made, as the interpreter's own builders do, the
  // result spaces them out.
  void hold_tracking() {
#ifndef Py_GIL_DISABLED
    hold_ = true;
#endif
  }
  [[nodiscard]] bool held() const { return hold_; }

  // Tracks every container held back, newest first; returns how many.
  std::size_t track_untracked();

  // About how many memory blocks the values made so far took (objects and
  // item storage), a measure of how much a collection has to visit.
  [[nodiscard]] std::size_t blocks_made() const { return blocks_made_; }

  // Whether the last failure was a string that is not valid UTF-8 (no
  // exception is set then).
  [[nodiscard]] bool invalid_utf8() const { return invalid_utf8_; }

  // Whether the last parse was stopped by a signal handler's exception
  // rather than by its text; reading it clears it.
  [[nodiscard]] bool take_interrupted() { return std::exchange(interrupted_, false); }

 private:
  // The stack owns `o` from here, even when growing it fails. (Containers
  // replace their members on the stack, which never needs to grow for that.)
  bool push(PyObject* o) {
    if (o == nullptr) return false;
    try {
      stack_.push_back(o);
    } catch (...) {
      Py_DECREF(o);
      throw;
    }
    // Signals are checked by values as well: a long flat array ends no
    // container for a long time.
    return (++values_ & 0xFFFF) != 0 || check_signals();
  }
  bool push_made(PyObject* o) {
    ++blocks_made_;
    return push(o);
  }
  PyObject* make_str(const char* p, std::size_t n, bool ascii);
  bool make_list(std::size_t count);
  bool make_dict(std::size_t count);
  // Takes a finished container off the collector's list, if it is on it, to
  // be tracked again by take().
  void untrack(PyObject* container) {
    blocks_made_ += 2;  // the object and its item storage
    if (hold_ && PyObject_GC_IsTracked(container)) hold_back(container);
  }
  void hold_back(PyObject* container);
  void drop_untracked(std::size_t keep);
  // Lets a signal handler (Ctrl-C) interrupt the parse of a huge document:
  // pending signals are checked once every few thousand containers.
  bool poll_signals() { return (++containers_ & 0xFFF) != 0 || check_signals(); }
  bool check_signals() {
    if (PyErr_CheckSignals() == 0) return true;
    interrupted_ = true;
    return false;
  }

  KeyCache& keys_;
  ShapeCache& shapes_;
  std::vector<PyObject*> stack_;
  // Containers built but not yet tracked, in the order made, each with a
  // reference (a caller that drops a held value leaves no dangling pointer
  // here); the first kept_ belong to values taken while tracking is held.
  std::vector<PyObject*> untracked_;
  std::size_t kept_ = 0;
  std::size_t blocks_made_ = 0;
  bool hold_ = false;
  bool invalid_utf8_ = false;
  bool interrupted_ = false;
  std::uint32_t containers_ = 0;
  std::uint32_t values_ = 0;
};

}  // namespace quarn::binding
