// A source that reports progress to a Python callback after every read.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "binding/ref.hpp"
#include "io/byte_source.hpp"

namespace quarn::io {

using binding::Ref;

// Tells a callback how far the reading has got, after every read. Should
// the callback raise, the bytes just read wait for the next read.
class WatchedSource final : public ByteSource {
 public:
  WatchedSource(std::unique_ptr<ByteSource> inner, PyObject* on_read)
      : inner_(std::move(inner)), on_read_(Ref::borrow(on_read)) {}

  Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
    std::size_t got;
    if (!pending_.empty()) {
      got = std::min(n, pending_.size());
      std::memcpy(buf, pending_.data(), got);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(got));
    } else {
      auto read = inner_->read(buf, n);
      if (!read.ok()) return read;
      got = read.value();
      handed_ += got;
    }
    Ref done = Ref::steal(PyLong_FromUnsignedLongLong(inner_->progress().value_or(handed_)));
    Ref total = Ref::steal(PyLong_FromUnsignedLongLong(inner_->size()));
    Ref called;
    if (done && total) {
      called = Ref::steal(PyObject_CallFunctionObjArgs(on_read_.get(), done.get(), total.get(),
                                                       got == 0 ? Py_True : Py_False, nullptr));
    }
    if (!called) {
      pending_.insert(pending_.begin(), buf, buf + got);
      return Error::python();
    }
    return got;
  }
  std::uint64_t size() const override { return inner_->size(); }
  bool sized() const override { return inner_->sized(); }
  std::optional<std::uint64_t> progress() const override { return inner_->progress(); }
  bool rereadable() const override { return inner_->rereadable(); }
  Result<std::size_t> read_at(std::uint64_t offset, std::uint8_t* buf, std::size_t n) override {
    return inner_->read_at(offset, buf, n);
  }
  bool ready() const override { return !pending_.empty() || inner_->ready(); }

 private:
  std::unique_ptr<ByteSource> inner_;
  Ref on_read_;
  std::vector<std::uint8_t> pending_;
  std::uint64_t handed_ = 0;
};

}  // namespace quarn::io
