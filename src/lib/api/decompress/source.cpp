#include <Python.h>

#include "api/decompress/source.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "binding/ref.hpp"

namespace quarn::api::decompress {
namespace {

using bigjson::Error;
using bigjson::Result;
using bigjson::Status;

std::atomic<unsigned> fail_every{0};
std::atomic<std::uint64_t> blocks_handed{0};

// Whether the block about to be handed over is one the test hook
// interrupts.
bool interruption_due() {
  unsigned every = fail_every.load(std::memory_order_relaxed);
  if (every == 0) return false;
  return blocks_handed.fetch_add(1, std::memory_order_relaxed) % every == every - 1;
}

struct Block {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t len;
};

}  // namespace

void fail_blocks(unsigned every) {
  blocks_handed.store(0, std::memory_order_relaxed);
  fail_every.store(every, std::memory_order_relaxed);
}

// What the two threads share; the mutex guards everything but `decoder`
// (the decoding thread's alone once it runs) and `consumed`.
struct DecompressSource::Shared {
  std::mutex m;
  std::condition_variable to_worker;
  std::condition_variable to_caller;
  std::deque<std::vector<std::uint8_t>> input;  // the front is being decoded
  std::size_t input_pos = 0;                    // bytes of the front decoded
  bool input_end = false;                       // the source beneath has ended
  std::deque<Block> ready;                      // decoded, in order
  std::vector<std::unique_ptr<std::uint8_t[]>> spare;
  bool done = false;     // the decoder has ended or reported damage
  bool damaged = false;  // the latter: `error` says what it reported
  std::string error;
  bool stop = false;
  std::atomic<std::uint64_t> consumed{0};  // compressed bytes decoded
  std::unique_ptr<Decoder> decoder;
  std::thread thread;

  // The decoding thread: native code only, never the interpreter.
  void run() {
    std::unique_ptr<std::uint8_t[]> out;
    for (;;) {
      std::span<const std::uint8_t> in;
      bool last;
      {
        std::unique_lock lock(m);
        to_worker.wait(lock, [&] {
          return stop || (ready.size() < kOutBlocks && (!input.empty() || input_end));
        });
        if (stop) return;
        if (!input.empty()) {
          in = std::span<const std::uint8_t>(input.front()).subspan(input_pos);
        }
        last = input_end && input.size() <= 1;
        if (!out && !spare.empty()) {
          out = std::move(spare.back());
          spare.pop_back();
        }
      }
      if (!out) out.reset(new std::uint8_t[kOutBlock]);
      // The front chunk stays put while it is decoded unlocked: the caller
      // only appends (a deque keeps its elements where they are).
      std::size_t used = 0, made = 0;
      Decoder::State state =
          decoder->step(in, std::span<std::uint8_t>(out.get(), kOutBlock), last, used, made);
      std::lock_guard lock(m);
      if (!in.empty()) {
        input_pos += used;
        if (input_pos == input.front().size()) {
          input.pop_front();
          input_pos = 0;
        }
      }
      consumed.fetch_add(used, std::memory_order_relaxed);
      if (made > 0) ready.push_back(Block{std::move(out), made});
      if (state == Decoder::State::Damaged) {
        error = decoder->error();
        damaged = done = true;
      } else if (state == Decoder::State::End) {
        done = true;
      } else if (used == 0 && made == 0) {
        // Nothing more can come out: the data ended inside a stream.
        error = last ? std::string(kTruncated) : "the decompressor made no progress";
        damaged = done = true;
      }
      to_caller.notify_one();
      if (done) return;
    }
  }
};

DecompressSource::DecompressSource(Kind kind, std::unique_ptr<Decoder> decoder,
                                   std::unique_ptr<bigjson::ByteSource> inner)
    : kind_(kind), inner_(std::move(inner)), shared_(std::make_unique<Shared>()) {
  shared_->decoder = std::move(decoder);
}

DecompressSource::~DecompressSource() {
  if (pid_ != 0 && pid_ != ::getpid()) {
    // A forked child: the decoding thread lives only in the parent, and its
    // lock may have been held at the fork. Left alone.
    (void)shared_.release();
    return;
  }
  if (shared_->thread.joinable()) {
    {
      std::lock_guard lock(shared_->m);
      shared_->stop = true;
    }
    shared_->to_worker.notify_one();
    // Prompt: the thread waits for nothing but this lock between steps.
    shared_->thread.join();
  }
}

std::optional<std::uint64_t> DecompressSource::progress() const {
  return shared_->consumed.load(std::memory_order_relaxed);
}

bool DecompressSource::damaged() const {
  if (pid_ != 0 && pid_ != ::getpid()) return false;
  std::lock_guard lock(shared_->m);
  return shared_->damaged;
}

Error DecompressSource::raise_damage() const {
  std::string text = "invalid " + std::string(name_of(kind_)) + " data: " + shared_->error;
  binding::Ref module = binding::Ref::steal(PyImport_ImportModule("quarn._compression"));
  binding::Ref type;
  if (module)
    type = binding::Ref::steal(PyObject_GetAttrString(module.get(), "CompressedDataError"));
  if (!type) {
    PyErr_Clear();
    return Error::runtime(text);
  }
  PyErr_SetString(type.get(), text.c_str());
  return Error::python();
}

Status DecompressSource::feed() {
  std::vector<std::uint8_t> chunk(kInChunk);
  auto got = inner_->read(chunk.data(), chunk.size());
  if (!got.ok()) return std::move(got).error();  // as it is: nothing was taken
  chunk.resize(got.value());
  {
    std::lock_guard lock(shared_->m);
    if (chunk.empty()) {
      shared_->input_end = input_done_ = true;
    } else {
      shared_->input.push_back(std::move(chunk));
    }
  }
  shared_->to_worker.notify_one();
  return binding::ok_status();
}

Result<std::size_t> DecompressSource::read(std::uint8_t* buf, std::size_t n) {
  if (pid_ != 0 && pid_ != ::getpid()) {
    return Error::runtime(
        "compressed data opened before a fork cannot be read in the child process: open it "
        "again there");
  }
  // As with files, signals are checked before a read, never after it.
  if (PyErr_CheckSignals() < 0) return Error::python();
  Shared& s = *shared_;
  for (;;) {
    if (current_pos_ < current_len_) {
      if (interrupt_due_) {
        interrupt_due_ = false;
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        return Error::python();
      }
      std::size_t k = std::min(n, current_len_ - current_pos_);
      std::memcpy(buf, current_.get() + current_pos_, k);
      current_pos_ += k;
      return k;
    }
    if (pid_ == 0) {
      // Signals go to the caller's thread, whose reads they interrupt.
      sigset_t all, old;
      sigfillset(&all);
      pthread_sigmask(SIG_SETMASK, &all, &old);
      try {
        s.thread = std::thread([&s] { s.run(); });
      } catch (const std::system_error& e) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return Error::runtime(std::string("cannot start a decompressing thread: ") + e.what());
      }
      pthread_sigmask(SIG_SETMASK, &old, nullptr);
      pid_ = ::getpid();
    }
    // More input is read while the decoder has some only when the read
    // would not wait: a pipe's next bytes may be a long time coming, and
    // what the decoder holds may be all the caller needs now.
    const bool inner_ready = !input_done_ && inner_->ready();
    bool want_input, took = false;
    {
      std::unique_lock lock(s.m);
      if (!s.ready.empty()) {
        if (current_) s.spare.push_back(std::move(current_));
        current_ = std::move(s.ready.front().data);
        current_len_ = s.ready.front().len;
        current_pos_ = 0;
        s.ready.pop_front();
        interrupt_due_ = interruption_due();
        took = true;
      } else if (s.done) {
        if (s.damaged) return raise_damage();
        return std::size_t{0};
      }
      want_input = !input_done_ && (s.input.empty() || (inner_ready && s.input.size() < kInChunks));
      if (!took && !want_input) {
        // Decoding takes a moment per block, never longer: the interpreter
        // lock stays held, as for a read of a plain file.
        s.to_caller.wait(lock);
        continue;
      }
    }
    if (took) {
      s.to_worker.notify_one();
      // Keeps the decoder fed while this block is handed out, when a read
      // would not wait.
      if (!want_input || !inner_ready) continue;
    }
    auto fed = feed();
    if (!fed.ok()) return std::move(fed).error();
  }
}

}  // namespace quarn::api::decompress
