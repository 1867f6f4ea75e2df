// What the tests may change in the byte sources, and only the tests (through
// the testing area of the module): faults and missing libraries stood in for.
#pragma once

namespace quarn::io {

// For the tests: from now on every `every`-th block a decompressing source
// hands over (a read's bytes, before its thread starts) is preceded by a
// KeyboardInterrupt raised where the read would have returned it; 0 turns
// it off.
void fail_blocks(unsigned every);

// For the tests: while true, no decoding thread can be started, as in a
// process at its limit of threads.
void refuse_threads(bool refused);

// For the tests: pretend libzstd cannot be loaded.
void set_zstd_hidden(bool hidden);

// For the tests: the system's zlib even where zlib-ng is loaded.
void set_zlib_ng_hidden(bool hidden);

}  // namespace quarn::io
