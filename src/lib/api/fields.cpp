#include <Python.h>

#include "api/fields.hpp"

#include "binding/boundary.hpp"
#include "binding/ref.hpp"
#include "records/project.hpp"

namespace quarn::api::fields {
namespace {

using binding::Error;
using binding::PySink;
using binding::Ref;
using records::FieldNode;
using records::Marks;
using records::Projector;

// The members of `value` that `node` names, made from a record already
// built: for records whose one-pass projection stopped at a repeated key.
// The dict is filled in key order, as every object quarn makes.
Ref project_value(PyObject* value, const FieldNode& node) {
  Ref out = Ref::steal(PyDict_New());
  if (!out || !PyDict_Check(value)) return out;
  for (const FieldNode& member : node.members) {
    Ref key = Ref::steal(PyUnicode_DecodeUTF8(
        member.name.data(), static_cast<Py_ssize_t>(member.name.size()), nullptr));
    if (!key) return Ref();
    PyObject* item = PyDict_GetItemWithError(value, key.get());  // borrowed
    if (item == nullptr) {
      if (PyErr_Occurred()) return Ref();
      continue;
    }
    Ref kept = member.whole ? Ref::borrow(item) : project_value(item, member);
    if (!kept) return Ref();
    if (!member.whole && (!PyDict_Check(item) || PyDict_GET_SIZE(kept.get()) == 0)) continue;
    if (PyDict_SetItem(out.get(), key.get(), kept.get()) < 0) return Ref();
  }
  return out;
}

class Projection final : public operations::RecordParser {
 public:
  explicit Projection(std::shared_ptr<const FieldTree> tree)
      : tree_(std::move(tree)), marks_(*tree_) {}

  std::optional<json::ParseError> parse(std::string_view text, PySink& sink, bool document,
                                        std::size_t depth) const override {
    Projector<PySink> projector(*tree_, sink, document, marks_);
    auto err = json::parse(text, projector, depth);
    if (!err || err->code != json::ErrorCode::SinkFailed || !projector.repeated()) return err;
    // A repeated key on a projected path: the record is built whole (which
    // also finds any error after the key) and projected from its objects.
    sink.reset();
    err = json::parse(text, sink, depth);
    if (err) return err;
    Ref whole = Ref::steal(sink.take());
    Ref kept = document && PyList_Check(whole.get()) ? project_list(whole.get())
                                                     : project_value(whole.get(), tree_->root());
    if (!kept || !sink.value(kept.release()))
      return json::ParseError{json::ErrorCode::SinkFailed, 0};
    return std::nullopt;
  }

 private:
  Ref project_list(PyObject* list) const {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return out;
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref kept = project_value(PyList_GET_ITEM(list, i), tree_->root());
      if (!kept) return kept;
      PyList_SET_ITEM(out.get(), i, kept.release());
    }
    return out;
  }

  std::shared_ptr<const FieldTree> tree_;
  // One reader or one load uses a projection at a time.
  mutable Marks marks_;
};

}  // namespace

binding::Result<std::shared_ptr<const FieldTree>> read_fields(PyObject* fields) {
  if (PyUnicode_Check(fields) || !(PyList_Check(fields) || PyTuple_Check(fields))) {
    return binding::type_check_error(fields, "list");
  }
  Ref items = Ref::steal(PySequence_Fast(fields, "fields must be a list of str"));
  if (!items) return Error::python();
  auto tree = std::make_shared<FieldTree>();
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) return binding::type_check_error(item, "str");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &len);
    if (text == nullptr) return Error::python();
    auto added = tree->add(std::string_view(text, static_cast<std::size_t>(len)));
    if (!added.ok()) return std::move(added).error();
  }
  tree->finish();
  return std::shared_ptr<const FieldTree>(std::move(tree));
}

std::shared_ptr<const operations::RecordParser> projection(std::shared_ptr<const FieldTree> tree) {
  return std::make_shared<Projection>(std::move(tree));
}

}  // namespace quarn::api::fields
