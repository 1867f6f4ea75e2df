#include <Python.h>

#include "binding/pysink.hpp"

#include <algorithm>
#include <utility>

namespace quarn::binding {
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

// Byte equality of short keys without a library call: two overlapping loads
// cover any length from 4 to 16 without reading outside either buffer.
inline bool bytes_equal(const char* a, const char* b, std::size_t n) {
  if (n >= 4 && n <= 16) {
    std::uint64_t x0, y0, x1, y1;
    if (n >= 8) {
      std::memcpy(&x0, a, 8);
      std::memcpy(&y0, b, 8);
      std::memcpy(&x1, a + n - 8, 8);
      std::memcpy(&y1, b + n - 8, 8);
      return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    std::uint32_t u0, v0, u1, v1;
    std::memcpy(&u0, a, 4);
    std::memcpy(&v0, b, 4);
    std::memcpy(&u1, a + n - 4, 4);
    std::memcpy(&v1, b + n - 4, 4);
    return ((u0 ^ v0) | (u1 ^ v1)) == 0;
  }
  return std::memcmp(a, b, n) == 0;
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

namespace {

// A power of two between `low` and `high`, near bytes / per.
std::size_t table_size(std::size_t bytes, std::size_t per, std::size_t low, std::size_t high) {
  std::size_t n = low;
  while (n < high && n * per < bytes) n *= 2;
  return n;
}

}  // namespace

KeyCache::KeyCache(std::size_t text_bytes)
    : mask_(table_size(text_bytes, 64, 64, 4096) - 2), slots_(new Slot[mask_ + 2]) {}

KeyCache::~KeyCache() {
  for (std::size_t i = 0; i < mask_ + 2; ++i) Py_XDECREF(slots_[i].str);
}

bool KeyCache::matches(const Slot& slot, std::uint64_t h, const char* p, std::size_t n) {
  return slot.str != nullptr && slot.hash == h &&
         static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot.str)) == n &&
         bytes_equal(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(slot.str)), p, n);
}

// Two-way sets with the most recently used key first: two hot keys that share
// a set both stay, so a key keeps its identity across records (which the
// shape cache relies on).
PyObject* KeyCache::get(const char* p, std::size_t n) {
  std::uint64_t h = key_hash(p, n);
  Slot* set = &slots_[h & mask_];
  if (matches(set[0], h, p, n)) return Py_NewRef(set[0].str);
  if (matches(set[1], h, p, n)) {
    std::swap(set[0], set[1]);
    return Py_NewRef(set[0].str);
  }
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (s == nullptr) return nullptr;
  std::memcpy(PyUnicode_1BYTE_DATA(s), p, n);
  // Hash it now: every dict insertion of the shared key reuses the hash.
  if (PyObject_Hash(s) == -1) {
    Py_DECREF(s);
    return nullptr;
  }
  Py_XDECREF(set[1].str);
  set[1] = set[0];
  set[0] = Slot{Py_NewRef(s), h};
  return s;
}

namespace {

// Length and validity of the UTF-8 sequence starting with lead byte `c` at
// p[0]; 0 when the sequence is malformed (overlong, surrogate, above
// U+10FFFF or cut short). Decodes the code point into `cp`.
inline std::size_t decode_one(const unsigned char* p, std::size_t left, Py_UCS4& cp) {
  unsigned char c = p[0];
  if (c >= 0xC2 && c <= 0xDF) {
    if (left < 2 || (p[1] & 0xC0) != 0x80) return 0;
    cp = (Py_UCS4{c} & 0x1F) << 6 | (p[1] & 0x3F);
    return 2;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return 0;
    if (c == 0xE0 && p[1] < 0xA0) return 0;
    if (c == 0xED && p[1] > 0x9F) return 0;
    cp = (Py_UCS4{c} & 0x0F) << 12 | Py_UCS4{p[1] & 0x3Fu} << 6 | (p[2] & 0x3F);
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) {
      return 0;
    }
    if (c == 0xF0 && p[1] < 0x90) return 0;
    if (c == 0xF4 && p[1] > 0x8F) return 0;
    cp = (Py_UCS4{c} & 0x07) << 18 | Py_UCS4{p[1] & 0x3Fu} << 12 | Py_UCS4{p[2] & 0x3Fu} << 6 |
         (p[3] & 0x3F);
    return 4;
  }
  return 0;
}

// Writes the characters of UTF-8 text at width Char; false at the first
// malformed sequence.
template <class Char>
bool fill(Char* out, const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      // ASCII runs inside mostly non-ASCII text (spaces, digits, markup)
      // move eight characters at a time.
      std::uint64_t word;
      while (i + 8 <= n && (std::memcpy(&word, p + i, 8), (word & 0x8080808080808080ull) == 0)) {
        for (int k = 0; k < 8; ++k) out[k] = p[i + k];
        out += 8;
        i += 8;
      }
      while (i < n && p[i] < 0x80) *out++ = p[i++];
      continue;
    }
    Py_UCS4 cp = 0;
    std::size_t k = decode_one(p + i, n - i, cp);
    if (k == 0) return false;
    i += k;
    *out++ = static_cast<Char>(cp);
  }
  return true;
}

}  // namespace

// Text with non-ASCII bytes. The length is the number of bytes that do not
// continue a sequence, and the widest lead byte fixes the storage width
// exactly (C2-C3: at most U+00FF; C4-EF: U+0100-U+FFFF; F0 and up: beyond),
// so a cheap vectorisable pass sizes the string and one decoding pass
// validates and fills it.
PyObject* PySink::make_str(const char* text, std::size_t n, bool ascii) {
  if (ascii) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), text, n);
    return s;
  }
  auto* p = reinterpret_cast<const unsigned char*>(text);
  std::size_t length = 0;
  unsigned char widest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    length += (p[i] & 0xC0) != 0x80;
    widest = std::max(widest, p[i]);
  }
  Py_UCS4 maxchar = widest >= 0xF0 ? 0x10FFFF : widest >= 0xC4 ? 0xFFFF : 0xFF;
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(length), maxchar);
  if (s == nullptr) return nullptr;
  bool ok;
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      ok = fill(PyUnicode_1BYTE_DATA(s), p, n);
      break;
    case PyUnicode_2BYTE_KIND:
      ok = fill(PyUnicode_2BYTE_DATA(s), p, n);
      break;
    default:
      ok = fill(PyUnicode_4BYTE_DATA(s), p, n);
      break;
  }
  if (!ok) {
    // The caller decides what invalid text means (an error, or a repair).
    Py_DECREF(s);
    invalid_utf8_ = true;
    return nullptr;
  }
  return s;
}

bool PySink::make_list(std::size_t count) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  if (list == nullptr) return false;
  PyObject** items = stack_.data() + (stack_.size() - count);
  // The list steals the element references.
  if (count != 0) std::memcpy(PySequence_Fast_ITEMS(list), items, count * sizeof(PyObject*));
  stack_.resize(stack_.size() - count);
  stack_.push_back(list);
  untrack(list);
  return true;
}

void PySink::hold_back(PyObject* container) {
  untracked_.push_back(container);  // may throw: the reference is added after
  Py_INCREF(container);
  PyObject_GC_UnTrack(container);
}

std::size_t PySink::track_untracked() {
  std::size_t n = untracked_.size();
  for (std::size_t i = n; i-- > 0;) {
    PyObject* o = untracked_[i];
    // Only this sink untracked it, and no Python code could reach it since;
    // the test is cheap (the line is loaded anyway) and tracking twice is fatal.
    if (!PyObject_GC_IsTracked(o)) PyObject_GC_Track(o);
    Py_DECREF(o);
  }
  untracked_.clear();
  kept_ = 0;
  return n;
}

// Containers of a value that was never handed out die untracked, as the
// interpreter allows.
void PySink::drop_untracked(std::size_t keep) {
  for (std::size_t i = keep; i < untracked_.size(); ++i) Py_DECREF(untracked_[i]);
  untracked_.resize(keep);
  kept_ = std::min(kept_, keep);
}

ShapeCache::ShapeCache(std::size_t text_bytes)
    : mask_(table_size(text_bytes, 1024, 16, 1024) - 1), slots_(new Slot[mask_ + 1]) {}

ShapeCache::~ShapeCache() {
  for (std::size_t i = 0; i <= mask_; ++i) {
    const Slot& slot = slots_[i];
    for (std::size_t k = 0; k < slot.count; ++k) Py_DECREF(slot.keys[k]);
  }
}

std::uint64_t ShapeCache::hash(PyObject* const* members, std::size_t count) {
  std::uint64_t h = count;
  for (std::size_t i = 0; i < count; ++i) {
    h = (h ^ reinterpret_cast<std::uintptr_t>(members[2 * i])) * 0x9E3779B97F4A7C15ull;
  }
  return h ^ (h >> 29);
}

const std::uint8_t* ShapeCache::find(PyObject* const* members, std::size_t count,
                                     std::uint64_t hash) const {
  const Slot& slot = slots_[hash & mask_];
  if (slot.hash != hash || slot.count != count || count == 0) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    if (slot.keys[i] != members[2 * i]) return nullptr;
  }
  return slot.order.get();
}

void ShapeCache::store(PyObject* const* members, std::size_t count, std::uint64_t hash,
                       const std::uint8_t* order) {
  Slot& slot = slots_[hash & mask_];
  for (std::size_t k = 0; k < slot.count; ++k) Py_DECREF(slot.keys[k]);
  slot.count = 0;
  if (!slot.keys || slot.capacity < count) {
    slot.keys.reset(new PyObject*[count]);
    slot.order.reset(new std::uint8_t[count]);
    slot.capacity = count;
  }
  slot.hash = hash;
  slot.count = count;
  for (std::size_t i = 0; i < count; ++i) slot.keys[i] = Py_NewRef(members[2 * i]);
  std::memcpy(slot.order.get(), order, count);
}

namespace {

// Stable order of the members by key; equal keys keep document order.
// Objects are mostly small and often nearly ordered: insertion sort, unless
// large.
void sort_members(PyObject* const* members, std::size_t count, std::uint8_t* order) {
  for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint8_t>(i);
  if (count > 24) {
    std::stable_sort(order, order + count, [&](std::uint8_t a, std::uint8_t b) {
      return compare_keys(members[2 * a], members[2 * b]) < 0;
    });
    return;
  }
  for (std::size_t i = 1; i < count; ++i) {
    std::uint8_t cur = order[i];
    PyObject* key = members[2 * cur];
    std::size_t j = i;
    while (j > 0 && compare_keys(members[2 * order[j - 1]], key) > 0) {
      order[j] = order[j - 1];
      --j;
    }
    order[j] = cur;
  }
}

PyObject* new_dict(std::size_t count) {
#if PY_VERSION_HEX < 0x030D0000
  return _PyDict_NewPresized(static_cast<Py_ssize_t>(count));
#else
  (void)count;
  return PyDict_New();
#endif
}

}  // namespace

bool PySink::make_dict(std::size_t count) {
  std::size_t base = stack_.size() - 2 * count;
  PyObject** members = stack_.data() + base;
  // A result built for `load` is not presized: a presized table is of the
  // general kind, whose entries are half as large again and whose keys the
  // collector visits too, where one grown from empty with str keys holds
  // values only. Records handed out one at a time are short-lived, and there
  // the growing steps cost more than the collector saves.
  PyObject* dict = hold_ ? PyDict_New() : new_dict(count);
  if (dict == nullptr) return false;
  // Members go in by ascending key; where a key repeats, the equal keys are
  // adjacent in document order and the last insertion wins.
  bool inserted = true;
  if (count <= ShapeCache::kMaxKeys) {
    std::uint64_t h = ShapeCache::hash(members, count);
    const std::uint8_t* order = shapes_.find(members, count, h);
    std::uint8_t fresh[ShapeCache::kMaxKeys];
    if (order == nullptr) {
      sort_members(members, count, fresh);
      shapes_.store(members, count, h, fresh);
      order = fresh;
    }
    for (std::size_t i = 0; i < count && inserted; ++i) {
      inserted = PyDict_SetItem(dict, members[2 * order[i]], members[2 * order[i] + 1]) == 0;
    }
  } else {
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return compare_keys(members[2 * a], members[2 * b]) < 0;
    });
    for (std::size_t i = 0; i < count && inserted; ++i) {
      inserted = PyDict_SetItem(dict, members[2 * order[i]], members[2 * order[i] + 1]) == 0;
    }
  }
  if (!inserted) {
    Py_DECREF(dict);
    return false;
  }
  for (std::size_t i = 0; i < 2 * count; ++i) Py_DECREF(members[i]);
  stack_.resize(base);
  stack_.push_back(dict);
  untrack(dict);
  return true;
}

}  // namespace quarn::binding
