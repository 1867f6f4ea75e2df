// Owning reference to a Python object.
//
// A Ref is made only by stealing a new reference or by borrowing (which adds
// one); release() hands the reference back to the interpreter. Every
// PyObject* the module owns lives in one of these, so error paths cannot leak.
#pragma once

#include <Python.h>

#include <utility>

namespace quarn::binding {

class Ref {
 public:
  Ref() = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  // Takes ownership of a new reference (which may be null after a failed call).
  [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  // Adds a reference to a borrowed object.
  [[nodiscard]] static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  [[nodiscard]] PyObject* get() const noexcept { return obj_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace quarn::binding
