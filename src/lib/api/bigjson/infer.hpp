// Structure inference: merges sampled records into one structure description.
//
// A description is a json::Value of one of four shapes:
//   - "t1|t2|..."      the distinct scalar type names (bool, float, int, null,
//                      str) seen at one place, in byte order;
//   - [] or [d]        arrays: empty when every array was empty, else the merged
//                      description of all their elements;
//   - {"k": d, "k?": d} objects: one entry per key, "?" when some object lacks it;
//   - {"__oneof__": [scalar, array, object]} where categories meet, in that
//                      order, only the categories present.
// An empty sample gives the string "unknown".
#pragma once

#include <span>

#include "json/value.hpp"

namespace quarn::api::bigjson {

// values borrow the sampled documents, which must outlive the call; the
// result shares nothing with them.
[[nodiscard]] json::Value infer(std::span<const json::Value* const> values);

}  // namespace quarn::api::bigjson
