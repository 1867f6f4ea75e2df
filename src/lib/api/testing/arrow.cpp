// arrow_batch(lines, sample, policy, offset_limit=None, columns=None) builds one Arrow
// batch from JSON Lines text with the column builder, so that the tests can
// compare it with what the Arrow libraries read, before any reader exposes
// it: the type is inferred from the first `sample` records, every record is
// appended, and the batch comes back as the two capsules of the C data
// interface's Python protocol ("arrow_schema", "arrow_array"). `columns`
// keeps only the inferred columns at these paths ("user/screen_name"), for
// measuring a narrow read.
#include <Python.h>

#include "api/testing/arrow.hpp"

#include "api/capsules.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/builder.hpp"
#include "arrow/types.hpp"
#include "binding/boundary.hpp"
#include "binding/ref.hpp"

namespace quarn::api::testing {
namespace {

using binding::Error;
using binding::Ref;

bool blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

binding::Result<arrow::ConflictPolicy> policy_of(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return binding::type_check_error(obj, "str");
  const char* name = PyUnicode_AsUTF8(obj);
  if (name == nullptr) return Error::python();
  const std::string_view n(name);
  if (n == "error") return arrow::ConflictPolicy::Error;
  if (n == "null") return arrow::ConflictPolicy::AsNull;
  if (n == "text") return arrow::ConflictPolicy::AsText;
  return Error::value("policy must be \"error\", \"null\" or \"text\"");
}

// Adds the node at `path` ("a/b/c") of `from` to `into`, with the structs on
// the way; false when the inferred types have no such node.
bool keep(const arrow::Type& from, std::string_view path, arrow::Type& into) {
  const auto slash = path.find('/');
  const auto name = path.substr(0, slash);
  const auto i = from.find(name);
  if (from.kind != arrow::Kind::Struct || i < 0) return false;
  const arrow::Field& field = from.fields[static_cast<std::size_t>(i)];
  auto j = into.find(name);
  if (j < 0) {
    into.fields.push_back(arrow::Field{
        field.name, slash == std::string_view::npos ? field.type : arrow::Type::structure({})});
    j = static_cast<std::ptrdiff_t>(into.fields.size() - 1);
  }
  if (slash == std::string_view::npos) return true;
  return keep(field.type, path.substr(slash + 1), into.fields[static_cast<std::size_t>(j)].type);
}

binding::Status select(PyObject* columns, arrow::Schema& schema) {
  if (columns == Py_None) return binding::ok_status();
  Ref seq = Ref::steal(PySequence_Fast(columns, "columns must be a sequence of str"));
  if (!seq) return Error::python();
  arrow::Type kept = arrow::Type::structure({});
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(item)) return binding::type_check_error(item, "str");
    const char* path = PyUnicode_AsUTF8(item);
    if (path == nullptr) return Error::python();
    if (!keep(schema.record, path, kept))
      return Error::value(std::string("no column ") + path + " in the sample");
  }
  schema.record = std::move(kept);
  return binding::ok_status();
}

binding::Result<Ref> build(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 3 || nargs > 5)
    return Error{binding::ErrorKind::ValueError,
                 "arrow_batch takes lines, sample, policy, offset_limit=None and columns=None",
                 0,
                 {}};
  if (!PyBytes_Check(args[0])) return binding::type_check_error(args[0], "bytes");
  const long long sample = PyLong_AsLongLong(args[1]);
  if (sample == -1 && PyErr_Occurred()) return Error::python();
  auto policy = policy_of(args[2]);
  if (!policy.ok()) return std::move(policy).error();
  std::int64_t limit = INT32_MAX;
  if (nargs == 4 && args[3] != Py_None) {
    limit = PyLong_AsLongLong(args[3]);
    if (limit == -1 && PyErr_Occurred()) return Error::python();
  }

  const std::string_view text(PyBytes_AS_STRING(args[0]),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(args[0])));
  std::vector<std::string_view> records;
  for (std::size_t start = 0; start < text.size();) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const auto line = text.substr(start, end - start);
    if (!blank(line)) records.push_back(line);
    start = end + 1;
  }

  arrow::Inferrer inferrer(policy.value() == arrow::ConflictPolicy::AsText);
  for (std::size_t i = 0; i < records.size() && static_cast<long long>(i) < sample; ++i) {
    if (auto s = inferrer.add(records[i]); !s.ok()) return std::move(s).error();
  }
  arrow::Schema columns = inferrer.schema();
  if (nargs == 5) {
    if (auto s = select(args[4], columns); !s.ok()) return std::move(s).error();
  }
  arrow::ColumnSink sink(std::move(columns), policy.value(), limit);
  for (const auto record : records) {
    if (auto s = sink.add_record(record); !s.ok()) return std::move(s).error();
  }
  arrow::Batch batch = sink.finish_batch();

  Ref schema_capsule = Ref::steal(capsule_of(batch.schema, "arrow_schema", free_schema_capsule));
  if (!schema_capsule) return Error::python();
  Ref array_capsule = Ref::steal(capsule_of(batch.array, "arrow_array", free_array_capsule));
  if (!array_capsule) return Error::python();
  Ref pair = Ref::steal(PyTuple_Pack(2, schema_capsule.get(), array_capsule.get()));
  if (!pair) return Error::python();
  return pair;
}

PyObject* arrow_batch(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        auto result = build(args, nargs);
        if (!result.ok()) {
          binding::raise(result.error());
          return nullptr;
        }
        return std::move(result).value().release();
      },
      static_cast<PyObject*>(nullptr));
}

PyMethodDef kMethods[] = {
    {"arrow_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_batch)),
     METH_FASTCALL,
     "arrow_batch(lines, sample, policy, offset_limit=None, columns=None)\n--\n\nOne Arrow batch "
     "of the JSON "
     "Lines `lines` (bytes), its type inferred from the first `sample` records; `policy` "
     "(\"error\", \"null\" or \"text\") settles conflicts; utf8 and list offsets widen past "
     "`offset_limit`; `columns` keeps the columns at these paths only. Returns (schema "
     "capsule, array capsule)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::Status register_arrow(PyObject* module) {
  if (PyModule_AddFunctions(module, kMethods) < 0) return Error::python();
  return binding::ok_status();
}

}  // namespace quarn::api::testing
