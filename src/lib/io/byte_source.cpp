#include "io/byte_source.hpp"

namespace quarn::io {

Result<std::size_t> ByteSource::read_at(std::uint64_t, std::uint8_t*, std::size_t) {
  return Error::runtime("the source cannot be read a second time");
}

Result<std::size_t> ByteSource::read_unlocked(std::uint8_t*, std::size_t) {
  return Error::runtime("the source cannot be read without the interpreter");
}

}  // namespace quarn::io
