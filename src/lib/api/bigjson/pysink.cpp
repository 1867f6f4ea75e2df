#include "api/bigjson/pysink.hpp"

#include <algorithm>
#include <utility>

namespace quarn::api::bigjson {
namespace {

std::uint64_t load_partial(const char* p, std::size_t n) {
  std::uint64_t v = 0;
  std::memcpy(&v, p, n);
  return v;
}

// A cheap hash of a short key: its first and last eight bytes and its length.
// Collisions only cost a miss, since hits are verified byte for byte.
std::uint64_t key_hash(const char* p, std::size_t n) {
  std::uint64_t a, b;
  if (n >= 8) {
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + n - 8, 8);
  } else {
    a = load_partial(p, n);
    b = 0;
  }
  std::uint64_t h = (a ^ (b * 0x9E3779B97F4A7C15ull) ^ n) * 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 31);
}

// Code point order of two str objects; equal strings compare equal.
int compare_keys(PyObject* a, PyObject* b) {
  if (a == b) return 0;
  if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
    Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb = PyUnicode_GET_LENGTH(b);
    int c = std::memcmp(PyUnicode_1BYTE_DATA(a), PyUnicode_1BYTE_DATA(b),
                        static_cast<std::size_t>(std::min(na, nb)));
    if (c != 0) return c;
    return na < nb ? -1 : na > nb ? 1 : 0;
  }
  // Mixed widths: the interpreter compares by code point, never fails on str.
  return PyUnicode_Compare(a, b);
}

}  // namespace

KeyCache::~KeyCache() {
  for (Slot& s : slots_) Py_XDECREF(s.str);
}

PyObject* KeyCache::get(const char* p, std::size_t n) {
  std::uint64_t h = key_hash(p, n);
  Slot& slot = slots_[h & (kSlots - 1)];
  if (slot.str != nullptr && slot.hash == h &&
      static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot.str)) == n &&
      std::memcmp(PyUnicode_1BYTE_DATA(slot.str), p, n) == 0) {
    return Py_NewRef(slot.str);
  }
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (s == nullptr) return nullptr;
  std::memcpy(PyUnicode_1BYTE_DATA(s), p, n);
  // Hash it now: every dict insertion of the shared key reuses the hash.
  if (PyObject_Hash(s) == -1) {
    Py_DECREF(s);
    return nullptr;
  }
  Py_XSETREF(slot.str, Py_NewRef(s));
  slot.hash = h;
  return s;
}

PyObject* PySink::make_str(const char* p, std::size_t n, bool ascii) {
  if (ascii) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), p, n);
    return s;
  }
  PyObject* s = PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), "strict");
  if (s == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    // The caller decides what invalid text means (an error, or a repair).
    PyErr_Clear();
    invalid_utf8_ = true;
  }
  return s;
}

bool PySink::end_array(std::size_t count) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) return false;
  PyObject** items = stack_.data() + (stack_.size() - count);
  // The list steals the element references.
  std::memcpy(PySequence_Fast_ITEMS(list), items, count * sizeof(PyObject*));
  stack_.resize(stack_.size() - count);
  stack_.push_back(list);
  return true;
}

bool PySink::end_object(std::size_t count) {
  std::size_t base = stack_.size() - 2 * count;
  PyObject** members = stack_.data() + base;
  // Stable sort of the (key, value) pairs by key; equal keys keep document
  // order, so inserting them in sequence lets the last one win. Objects are
  // mostly small and often already ordered: insertion sort, unless large.
  if (count > 32) {
    using Member = std::pair<PyObject*, PyObject*>;
    auto* pairs = reinterpret_cast<Member*>(members);
    static_assert(sizeof(Member) == 2 * sizeof(PyObject*));
    std::stable_sort(pairs, pairs + count, [](const Member& a, const Member& b) {
      return compare_keys(a.first, b.first) < 0;
    });
  } else {
    for (std::size_t i = 1; i < count; ++i) {
      PyObject* k = members[2 * i];
      PyObject* v = members[2 * i + 1];
      std::size_t j = i;
      while (j > 0 && compare_keys(members[2 * (j - 1)], k) > 0) {
        members[2 * j] = members[2 * (j - 1)];
        members[2 * j + 1] = members[2 * (j - 1) + 1];
        --j;
      }
      members[2 * j] = k;
      members[2 * j + 1] = v;
    }
  }
#if PY_VERSION_HEX < 0x030D0000
  PyObject* dict = _PyDict_NewPresized(static_cast<Py_ssize_t>(count));
#else
  PyObject* dict = PyDict_New();
#endif
  if (dict == nullptr) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (PyDict_SetItem(dict, members[2 * i], members[2 * i + 1]) < 0) {
      Py_DECREF(dict);
      return false;
    }
  }
  for (std::size_t i = 0; i < 2 * count; ++i) Py_DECREF(members[i]);
  stack_.resize(base);
  stack_.push_back(dict);
  return true;
}

}  // namespace quarn::api::bigjson
