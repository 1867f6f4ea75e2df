// The projecting sink: the parser reads a whole record, and this sink hands
// the sink behind it (`Out`, any parser sink) only the members a FieldTree
// names, nested as in the record.
//
// Every byte of the record still goes through the parser, so a record that
// is not valid JSON fails exactly as it fails without projection, at the
// same byte; only the values are not made. Strings that are passed over are
// still checked for valid UTF-8 when they hold bytes above ASCII (the
// parser leaves that to the sink that makes them): a bad one is handed to
// `Out` after all, to fail there as it would have failed.
//
// The events arrive in postfix order with the begin events of containers
// (see json/parser.hpp). At any point the sink is in one of three modes:
// inside a value kept whole (`pass_` deep), forwarding every event; inside
// a value passed over (`skip_` deep), forwarding nothing; or at a member of
// an object on the tree's paths, where the member's key decides what its
// value is. The keys of the objects on the way to a kept value are emitted
// only once something inside them is kept, so an object whose named members
// are all missing leaves no trace.
//
// A record that is not an object gives an empty object: none of its parts
// has a name. When `document` is set, a top-level array is a list of
// records, each projected.
//
// A repeated key whose value the tree walks into cannot be settled in one
// pass (the last occurrence wins, and it may hold nothing that is kept,
// which would have to take back what an earlier one gave): the sink stops
// the parse and sets repeated(), and the caller projects the whole record
// instead.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "records/field_tree.hpp"
#include "scan/scan.hpp"

namespace quarn::records {

// Which walked-into members each open object has shown: one stamp per node
// of the tree, and a new stamp per object, so nothing is cleared between
// objects. Kept from record to record.
struct Marks {
  std::vector<std::uint32_t> stamps;
  std::uint32_t last = 0;

  explicit Marks(const FieldTree& tree) : stamps(tree.nodes(), 0) {}
  std::uint32_t next() {
    if (++last == 0) {
      std::fill(stamps.begin(), stamps.end(), 0);
      last = 1;
    }
    return last;
  }
};

template <class Out>
class Projector {
 public:
  Projector(const FieldTree& tree, Out& out, bool document, Marks& marks)
      : out_(out), root_(tree.root()), marks_(marks), next_(document ? Next::Top : Next::Record) {}

  [[nodiscard]] bool repeated() const { return repeated_; }

  bool begin_object() {
    if (pass_ != 0) return ++pass_, true;
    if (skip_ != 0) return ++skip_, true;
    switch (next_) {
      case Next::Whole:
        pass_ = 1;
        return true;
      case Next::Descend:
        return open(*child_);
      case Next::Record:
      case Next::Top:
        return open(root_);
      case Next::Skip:
        break;
    }
    skip_ = 1;
    return true;
  }

  bool begin_array() {
    if (pass_ != 0) return ++pass_, true;
    if (skip_ != 0) return ++skip_, true;
    if (next_ == Next::Whole) {
      pass_ = 1;
      return true;
    }
    if (next_ == Next::Top) {
      next_ = Next::Record;
      return true;
    }
    skip_ = 1;
    return true;
  }

  bool key(const char* p, std::size_t n, bool ascii) {
    if (pass_ != 0) return out_.key(p, n, ascii);
    if (skip_ != 0) return ascii || checked_text(p, n);
    Frame& frame = frames_.back();
    const FieldNode* member = frame.node->find(p, n);
    if (member == nullptr) {
      next_ = Next::Skip;
      return ascii || checked_text(p, n);
    }
    if (member->whole) {
      next_ = Next::Whole;
      if (!flush()) return false;
      ++frames_.back().emitted;
      return out_.key(p, n, ascii);
    }
    std::uint32_t& stamp = marks_.stamps[member->id];
    if (stamp == frame.stamp) {
      repeated_ = true;
      return false;
    }
    stamp = frame.stamp;
    next_ = Next::Descend;
    child_ = member;
    return true;
  }

  // Only the numbers of kept values are made; the parser checks the others
  // without working out their values.
  [[nodiscard]] bool numbers_unused() const { return pass_ == 0 && !whole(); }

  bool null() { return pass_ != 0 || whole() ? out_.null() && done() : done(); }
  bool boolean(bool b) { return pass_ != 0 || whole() ? out_.boolean(b) && done() : done(); }
  bool unsigned_integer(std::uint64_t v) {
    return pass_ != 0 || whole() ? out_.unsigned_integer(v) && done() : done();
  }
  bool signed_integer(std::int64_t v) {
    return pass_ != 0 || whole() ? out_.signed_integer(v) && done() : done();
  }
  bool floating(double d) { return pass_ != 0 || whole() ? out_.floating(d) && done() : done(); }
  bool string(const char* p, std::size_t n, bool ascii) {
    if (pass_ != 0 || whole()) return out_.string(p, n, ascii) && done();
    return (ascii || checked_text(p, n)) && done();
  }

  bool end_array(std::size_t count) {
    if (pass_ != 0) return out_.end_array(count) && (--pass_ != 0 || done());
    if (skip_ != 0) return poll() && (--skip_ != 0 || done());
    // The list of records of a document: one result per record.
    return out_.end_array(count);
  }

  bool end_object(std::size_t count) {
    if (pass_ != 0) return out_.end_object(count) && (--pass_ != 0 || done());
    if (skip_ != 0) return poll() && (--skip_ != 0 || done());
    if (!poll()) return false;
    const std::uint32_t emitted = frames_.back().emitted;
    frames_.pop_back();
    if (flushed_ > frames_.size()) flushed_ = frames_.size();
    if (frames_.empty()) {
      // A record: its object, even when nothing in it was named.
      if (!out_.end_object(emitted)) return false;
      next_ = Next::Record;
      return true;
    }
    if (emitted != 0 && !out_.end_object(emitted)) return false;
    return true;
  }

 private:
  enum class Next : unsigned char {
    Skip,     // a member not named
    Whole,    // a member kept whole
    Descend,  // a member whose named parts are kept, when it is an object
    Record,   // a record
    Top,      // a document: a list of records when it is an array, else a record
  };

  struct Frame {
    const FieldNode* node;
    std::uint32_t emitted;  // members handed to `out_`
    std::uint32_t stamp;    // marks the walked-into members seen in this object
  };

  [[nodiscard]] bool whole() const { return skip_ == 0 && next_ == Next::Whole; }

  // A scalar, or a container that closed, at the level where the tree
  // decides: a record that is not an object is an empty one.
  bool done() {
    if (pass_ != 0 || skip_ != 0) return true;
    if (frames_.empty()) {
      next_ = Next::Record;
      return out_.end_object(0);
    }
    return true;
  }

  // Containers passed over make nothing that would let `out_` see a signal
  // handler's exception in a huge record: it is asked for them (when it
  // can be).
  bool poll() {
    if constexpr (requires { out_.poll(); }) {
      return out_.poll();
    } else {
      return true;
    }
  }

  bool open(const FieldNode& node) {
    frames_.push_back(Frame{&node, 0, marks_.next()});
    return true;
  }

  // Emits the keys of the open objects that nothing was kept from yet.
  bool flush() {
    for (std::size_t i = flushed_ == 0 ? 1 : flushed_; i < frames_.size(); ++i) {
      const FieldNode& node = *frames_[i].node;
      ++frames_[i - 1].emitted;
      if (!out_.key(node.name.data(), node.name.size(), node.ascii)) return false;
    }
    flushed_ = frames_.size();
    return true;
  }

  // Text passed over, which holds bytes above ASCII: checked as `out_`
  // would check it when making it.
  bool checked_text(const char* p, std::size_t n) {
    if (scan::validate_utf8(reinterpret_cast<const std::uint8_t*>(p), n)) return true;
    out_.string(p, n, false);
    return false;
  }

  Out& out_;
  const FieldNode& root_;
  Marks& marks_;
  std::vector<Frame> frames_;
  std::size_t flushed_ = 0;  // frames whose keys have been emitted (the record's counts)
  const FieldNode* child_ = nullptr;
  int pass_ = 0;
  int skip_ = 0;
  Next next_;
  bool repeated_ = false;
};

}  // namespace quarn::records
