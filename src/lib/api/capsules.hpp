// Capsules of the Arrow C data interface's Python protocol ("arrow_schema",
// "arrow_array", "arrow_array_stream"), for the front ends that hand Arrow
// data to Python.
#pragma once

#include <Python.h>

#include <memory>

#include "arrow/c_data.hpp"

namespace quarn::api {

// Capsules of the C data interface's Python protocol. One that was never
// consumed still owns its struct.
template <class T>
inline T* capsule_struct(PyObject* capsule, const char* name) {
  auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (p == nullptr) PyErr_Clear();
  return p;
}

template <class T>
inline void free_capsule(PyObject* capsule, const char* name) noexcept {
  T* p = capsule_struct<T>(capsule, name);
  if (p == nullptr) return;
  if (p->release != nullptr) p->release(p);
  delete p;
}

inline void free_schema_capsule(PyObject* c) noexcept {
  free_capsule<ArrowSchema>(c, "arrow_schema");
}
inline void free_array_capsule(PyObject* c) noexcept {
  free_capsule<ArrowArray>(c, "arrow_array");
}
inline void free_stream_capsule(PyObject* c) noexcept {
  free_capsule<ArrowArrayStream>(c, "arrow_array_stream");
}

// Moves `value` into a capsule that owns it.
template <class T>
inline PyObject* capsule_of(T& value, const char* name, PyCapsule_Destructor destructor) {
  auto owned = std::make_unique<T>(value);
  value.release = nullptr;
  PyObject* capsule = PyCapsule_New(owned.get(), name, destructor);
  if (capsule == nullptr) {
    owned->release(owned.get());
    return nullptr;
  }
  (void)owned.release();
  return capsule;
}

// Moves what a capsule still owns back into `out` (left as it was when the
// capsule owns nothing any more).
template <class T>
inline void reclaim(PyObject* capsule, const char* name, T& out) {
  T* p = capsule_struct<T>(capsule, name);
  if (p == nullptr || p->release == nullptr) return;
  out = *p;
  p->release = nullptr;
}

}  // namespace quarn::api
