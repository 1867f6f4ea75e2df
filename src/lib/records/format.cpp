#include <Python.h>

#include "records/format.hpp"

#include <cstdio>
#include <string>

#include "binding/ref.hpp"
#include "json/text.hpp"

namespace quarn::records {
namespace {

using binding::Ref;

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Whether a non-ASCII character stands as itself in the quoted form: it must
// be printable (spaces count) and not extend a grapheme. Asks the
// interpreter's Unicode database; this only runs while building an error.
bool shows_as_itself_locked(Py_UCS4 ch) {
  Ref s = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(ch)));
  if (!s) {
    PyErr_Clear();
    return false;
  }
  Ref ud = Ref::steal(PyImport_ImportModule("unicodedata"));
  Ref cat = ud ? Ref::steal(PyObject_CallMethod(ud.get(), "category", "O", s.get())) : Ref();
  if (!cat) {
    PyErr_Clear();
    return true;
  }
  const char* c = PyUnicode_AsUTF8(cat.get());
  if (c == nullptr) {
    PyErr_Clear();
    return true;
  }
  std::string_view category(c);
  if (category == "Mn" || category == "Me") return false;
  if (category == "Zs") return true;
  return category[0] != 'C' && category != "Zl" && category != "Zp";
}

// The same from any thread state: an error met in a walk that runs without
// the interpreter lock (a key named in a "no value" message) is built here
// too, so the lock is taken for the look-up whether or not it is held.
bool shows_as_itself(Py_UCS4 ch) {
  const PyGILState_STATE held = PyGILState_Ensure();
  const bool shows = shows_as_itself_locked(ch);
  PyGILState_Release(held);
  return shows;
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out = "\"";
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '\\':
          out += "\\\\";
          break;
        case '"':
          out += "\\\"";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\0':
          out += "\\0";
          break;
        default:
          if (c < 0x20 || c == 0x7F) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", c);
            out += buf;
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
      continue;
    }
    // The text came from a Python str, so it is well-formed UTF-8.
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    Py_UCS4 cp = c & (0xFF >> (len + 1));
    for (std::size_t k = 1; k < len && i + k < n; ++k) cp = (cp << 6) | (p[i + k] & 0x3F);
    if (shows_as_itself(cp)) {
      out.append(text.substr(i, len));
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    }
    i += len;
  }
  out += "\"";
  return out;
}

Result<std::optional<InputFormat>> parse_format(std::optional<std::string_view> format) {
  if (!format || format->empty()) return std::optional<InputFormat>();
  std::string lowered = ascii_lower(*format);
  if (lowered == "json") return std::optional(InputFormat::Json);
  if (lowered == "jsonl" || lowered == "ndjson") return std::optional(InputFormat::Jsonl);
  if (lowered == "auto") return std::optional<InputFormat>();
  return Error::value("unknown format " + quoted(lowered) + "; expected 'json', 'jsonl' or 'auto'");
}

std::optional<InputFormat> format_from_name(std::string_view path) {
  std::string name = ascii_lower(path);
  if (ends_with(name, ".jsonl") || ends_with(name, ".ndjson")) return InputFormat::Jsonl;
  if (ends_with(name, ".json")) return InputFormat::Json;
  return std::nullopt;
}

Result<InputFormat> detect_format(RecordSource& source, std::string_view path) {
  auto first = source.peek();
  if (!first.ok()) {
    Error e = std::move(first).error();
    if (e.as_is()) return e;
    e.kind = binding::ErrorKind::ValueError;  // the errno and file name stay
    e.text = "cannot read " + std::string(path) + ": " + e.text;
    return e;
  }
  return first.value() == '[' ? InputFormat::Json : InputFormat::Jsonl;
}

Result<RecordSource> open_records(std::string_view path, std::optional<std::string_view> format) {
  auto named = parse_format(format);
  if (!named.ok()) return std::move(named).error();
  std::optional<InputFormat> chosen = named.value() ? named.value() : format_from_name(path);
  auto opened = open_file_source(path);
  if (!opened.ok()) return std::move(opened).error();
  RecordSource source = std::move(opened).value();
  if (!chosen) {
    auto detected = detect_format(source, path);
    if (!detected.ok()) return std::move(detected).error();
    chosen = detected.value();
  }
  source.begin(*chosen);
  return source;
}

}  // namespace quarn::records
