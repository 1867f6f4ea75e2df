#include <Python.h>

#include "io/decompressing.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
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
#include "io/test_hooks.hpp"

namespace quarn::io {
namespace {

std::atomic<unsigned> fail_every{0};
std::atomic<std::uint64_t> blocks_handed{0};
std::atomic<bool> threads_refused{false};

// Whether the block about to be handed over is one the test hook
// interrupts.
bool interruption_due() {
  unsigned every = fail_every.load(std::memory_order_relaxed);
  if (every == 0) return false;
  return blocks_handed.fetch_add(1, std::memory_order_relaxed) % every == every - 1;
}

// Lets the interpreter lock go for its lifetime; made by a thread that
// holds it.
class WithoutLock {
 public:
  WithoutLock() : state_(PyEval_SaveThread()) {}
  WithoutLock(const WithoutLock&) = delete;
  WithoutLock& operator=(const WithoutLock&) = delete;
  ~WithoutLock() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

struct Block {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t len;
  std::size_t cap;
};

// What a decoder step reads: the unread part of the front chunk, and
// whether nothing follows it.
struct Input {
  std::span<const std::uint8_t> bytes;
  bool last;
};

}  // namespace

void fail_blocks(unsigned every) {
  blocks_handed.store(0, std::memory_order_relaxed);
  fail_every.store(every, std::memory_order_relaxed);
}

void refuse_threads(bool refused) {
  threads_refused.store(refused, std::memory_order_relaxed);
}

// What the two threads share; the mutex guards everything but `decoder`
// (stepped by one thread at a time: the caller's until the decoding thread
// starts, then that one's alone), `consumed` and `stepping`.
struct DecompressSource::Shared {
  std::mutex m;
  std::condition_variable to_worker;
  std::condition_variable to_caller;
  std::deque<std::vector<std::uint8_t>> input;         // the front is being decoded
  std::size_t input_pos = 0;                           // bytes of the front decoded
  bool input_end = false;                              // the source beneath has ended
  std::deque<Block> ready;                             // decoded, in order
  std::vector<std::unique_ptr<std::uint8_t[]>> spare;  // of `block` bytes each
  std::size_t block = kFirstBlock;  // what the thread decodes into next; the caller sets it
  bool done = false;                // the decoder has ended or reported damage
  bool damaged = false;             // the latter: `error` says what it reported
  bool over_limit = false;          // valid data that asks for more memory than allowed
  std::string error;
  bool stop = false;
  std::atomic<std::uint64_t> consumed{0};  // compressed bytes decoded
  // The caller's thread is in a step without the interpreter lock: a fork
  // then leaves the child a decoder caught halfway.
  std::atomic<bool> stepping{false};
  std::unique_ptr<Decoder> decoder;
  std::thread thread;

  // Under `m`. The front chunk stays put while it is decoded unlocked: the
  // caller only appends (a deque keeps its elements where they are).
  Input front() const {
    Input in{{}, input_end && input.size() <= 1};
    if (!input.empty()) in.bytes = std::span<const std::uint8_t>(input.front()).subspan(input_pos);
    return in;
  }

  // Under `m`: what a step over `in` took and made.
  void settle(const Input& in, std::size_t used, std::size_t made, Decoder::State state) {
    if (!in.bytes.empty()) {
      input_pos += used;
      if (input_pos == input.front().size()) {
        input.pop_front();
        input_pos = 0;
      }
    }
    consumed.fetch_add(used, std::memory_order_relaxed);
    if (state == Decoder::State::Damaged) {
      error = decoder->error();
      over_limit = decoder->over_limit();
      damaged = done = true;
    } else if (state == Decoder::State::End) {
      done = true;
    } else if (used == 0 && made == 0) {
      // Nothing more can come out: the data ended inside a stream.
      error = in.last ? std::string(kTruncated) : "the decompressor made no progress";
      damaged = done = true;
    }
  }

  // The decoding thread: native code only, never the interpreter.
  void run() {
    std::unique_ptr<std::uint8_t[]> out;
    std::size_t cap = 0;
    for (;;) {
      Input in{{}, false};
      {
        std::unique_lock lock(m);
        to_worker.wait(lock, [&] {
          return stop || (ready.size() < kOutBlocks && (!input.empty() || input_end));
        });
        if (stop) return;
        in = front();
        if (cap != block) out.reset();  // the reader has asked for larger blocks
        if (!out && !spare.empty()) {
          out = std::move(spare.back());
          spare.pop_back();
        }
        cap = block;
      }
      if (!out) out.reset(new std::uint8_t[cap]);
      std::size_t used = 0, made = 0;
      const Decoder::State state =
          decoder->step(in.bytes, std::span<std::uint8_t>(out.get(), cap), in.last, used, made);
      std::lock_guard lock(m);
      settle(in, used, made, state);
      if (made > 0) ready.push_back(Block{std::move(out), made, cap});
      to_caller.notify_one();
      if (done) return;
    }
  }
};

DecompressSource::DecompressSource(Kind kind, std::unique_ptr<Decoder> decoder,
                                   std::unique_ptr<ByteSource> inner)
    : kind_(kind), inner_(std::move(inner)), shared_(std::make_unique<Shared>()), pid_(::getpid()) {
  shared_->decoder = std::move(decoder);
}

DecompressSource::~DecompressSource() {
  if (pid_ != ::getpid()) {
    // A forked child: a decoding thread lives only in the parent, and its
    // lock may have been held at the fork; a step of the caller's thread may
    // have been under way. Either way, left alone.
    if (shared_->thread.joinable() || shared_->stepping.load(std::memory_order_relaxed)) {
      (void)shared_.release();
    }
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

Error DecompressSource::damage_error() const {
  // Data past the decoder's memory limit is not damaged: it is only not read.
  const std::string name(name_of(kind_));
  return Error::compressed_data(
      (shared_->over_limit ? name + " data not read: " : "invalid " + name + " data: ") +
      shared_->error);
}

Status DecompressSource::feed() {
  // Half a block of compressed bytes keeps the decoder busy for a few
  // blocks at common ratios; a small file is read in one piece of its size.
  std::size_t want = kFirstChunk;
  if (shared_->thread.joinable()) {
    // `block` is written in this thread only.
    want = std::clamp(shared_->block / 2, kFirstChunk, kInChunk);
  }
  const std::uint64_t size = inner_->size();
  if (size > fed_) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, size - fed_));
  std::vector<std::uint8_t> chunk(want);
  auto got = inner_->read(chunk.data(), chunk.size());
  if (!got.ok()) return std::move(got).error();  // as it is: nothing was taken
  chunk.resize(got.value());
  fed_ += got.value();
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

bool DecompressSource::start_thread() {
  if (threads_refused.load(std::memory_order_relaxed)) return false;
  Shared& s = *shared_;
  // Signals go to the caller's thread, whose reads they interrupt.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  bool started = true;
  try {
    s.thread = std::thread([&s] { s.run(); });
  } catch (const std::system_error&) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return started;
}

Result<std::size_t> DecompressSource::read(std::uint8_t* buf, std::size_t n) {
  if (pid_ != ::getpid()) {
    return Error::runtime(
        "compressed data opened before a fork cannot be read in the child process: open it "
        "again there");
  }
  // As with files, signals are checked before a read, never after it.
  if (PyErr_CheckSignals() < 0) return Error::python();
  if (n == 0) return std::size_t{0};  // a decoder given no room would seem stuck
  if (!shared_->thread.joinable()) {
    // A reader that comes back for more once the first bytes are out is
    // worth a thread that decodes while it works; one that is done with the
    // data by then (or ends it) never pays for one.
    bool done;
    {
      std::lock_guard lock(shared_->m);
      done = shared_->done;
    }
    if (inline_out_ < kInline || done || no_thread_) return read_inline(buf, n);
    // Where the process may start no more threads, the caller's goes on.
    if (!start_thread()) {
      no_thread_ = true;
      return read_inline(buf, n);
    }
  }
  return read_blocks(buf, n);
}

Result<std::size_t> DecompressSource::read_inline(std::uint8_t* buf, std::size_t n) {
  Shared& s = *shared_;
  if (!hook_checked_) {
    hook_checked_ = true;
    if (interruption_due()) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
      return Error::python();
    }
  }
  const std::span<std::uint8_t> out(buf, std::min(n, inline_cap_));
  for (;;) {
    Input in{{}, false};
    bool starved;
    {
      std::lock_guard lock(s.m);
      if (s.done) {
        if (s.damaged) return damage_error();
        return std::size_t{0};
      }
      starved = s.input.empty() && !input_done_;
      if (!starved) in = s.front();
    }
    if (starved) {
      auto fed = feed();
      if (!fed.ok()) return std::move(fed).error();
      continue;
    }
    // The buffer stays the caller's alone while the lock is let go: what
    // reads through this source admits one reader at a time.
    std::size_t used = 0, made = 0;
    Decoder::State state;
    s.stepping.store(true, std::memory_order_relaxed);
    {
      WithoutLock unlocked;
      state = s.decoder->step(in.bytes, out, in.last, used, made);
    }
    s.stepping.store(false, std::memory_order_relaxed);
    {
      std::lock_guard lock(s.m);
      s.settle(in, used, made, state);
    }
    if (made > 0) {
      hook_checked_ = false;
      inline_out_ += made;
      if (inline_cap_ < kOutBlock) inline_cap_ *= 2;
      return made;
    }
  }
}

Result<std::size_t> DecompressSource::read_blocks(std::uint8_t* buf, std::size_t n) {
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
    // More input is read while the decoder has some only when the read
    // would not wait: a pipe's next bytes may be a long time coming, and
    // what the decoder holds may be all the caller needs now.
    const bool inner_ready = !input_done_ && inner_->ready();
    bool want_input, took = false;
    {
      std::unique_lock lock(s.m);
      if (!s.ready.empty()) {
        if (current_ && current_cap_ == s.block) s.spare.push_back(std::move(current_));
        current_ = std::move(s.ready.front().data);
        current_len_ = s.ready.front().len;
        current_cap_ = s.ready.front().cap;
        current_pos_ = 0;
        s.ready.pop_front();
        interrupt_due_ = interruption_due();
        took = true;
      } else if (s.done) {
        if (s.damaged) return damage_error();
        return std::size_t{0};
      }
      auto input_wanted = [&] {
        return !input_done_ && (s.input.empty() || (inner_ready && s.input.size() < kInChunks));
      };
      want_input = input_wanted();
      if (!took && !want_input) {
        // The reader keeps up with the decoder: larger blocks from now on,
        // so that each step of either costs less per byte.
        if (s.block < kOutBlock) {
          s.block *= 2;
          s.spare.clear();
        }
        lock.unlock();
        // `m` goes before the interpreter lock comes back: the thread must
        // not wait for it while this one waits for the interpreter.
        {
          WithoutLock unlocked;
          std::unique_lock relock(s.m);
          s.to_caller.wait(relock, [&] { return !s.ready.empty() || s.done || input_wanted(); });
        }
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

}  // namespace quarn::io
