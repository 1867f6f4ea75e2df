// The streaming record reader: pulls the records of one open file one at a
// time, as Python objects, with the byte counters behind progress bars.
//
// JSON files are read in 64 KiB blocks; in a top-level array each element is
// cut out of the byte stream by the structural scanner and parsed alone, so
// memory is bounded by the largest element. Any other JSON document is one
// record. JSON Lines files are read line by line.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "api/bigjson/io.hpp"
#include "api/bigjson/pysink.hpp"
#include "binding/ref.hpp"
#include "scan/scan.hpp"

namespace quarn::api::bigjson {

using binding::Ref;

class RecordReader {
 public:
  [[nodiscard]] static Result<std::unique_ptr<RecordReader>> open(std::string_view path,
                                                                  InputFormat format);

  // The next record (a new reference), an empty Ref at the end, or an error.
  // After an error the reader stays usable and goes on after the bad record.
  [[nodiscard]] Result<Ref> next_record();

  [[nodiscard]] std::uint64_t bytes_read() const { return bytes_read_; }
  [[nodiscard]] std::uint64_t total_bytes() const { return total_bytes_; }

  // The sink that builds the records, for a caller that holds their tracking.
  [[nodiscard]] PySink& sink() { return sink_; }

 private:
  RecordReader(File file, InputFormat format);

  Result<Ref> next_line_record();
  Result<Ref> next_json();
  // Parses one array element or document (trimmed here); an empty Ref when
  // it is blank.
  Result<Ref> finalize(std::string_view text);
  Result<Ref> after_array();
  Status refill();
  Error error_at(std::uint64_t file_index, std::string_view message);
  // Line feeds of the block about to be replaced, for error_at on a file that
  // cannot be read a second time.
  void count_lines_of_block();

  static constexpr std::size_t kBlock = 1 << 16;

  InputFormat format_;
  LineReader lines_;  // owns the file
  std::uint64_t total_bytes_;
  std::uint64_t bytes_read_ = 0;
  KeyCache keys_;
  ShapeCache shapes_;
  PySink sink_;
  std::unique_ptr<std::uint8_t[]> block_;
  std::string element_;
  std::size_t block_len_ = 0;
  std::size_t block_pos_ = 0;
  scan::ArrayScan scan_;
  // A pipe cannot be read again to place an error in it, so its line feeds
  // are counted as its blocks go by: how many came before the current block,
  // and the file offset just after the last of them.
  bool rereadable_;
  std::uint64_t lines_before_block_ = 0;
  std::uint64_t line_start_before_block_ = 0;
  bool started_ = false;
  bool in_array_ = false;
  bool array_closed_ = false;
  bool finished_ = false;
};

// Parses `text` into a Python object with `sink`. Invalid UTF-8 in the text
// is reported as a read error; a parse error as `prefix` + the parser's
// message, positions counted within `text`.
[[nodiscard]] Result<Ref> parse_to_python(std::string_view text, PySink& sink,
                                          std::string_view prefix);

}  // namespace quarn::api::bigjson
