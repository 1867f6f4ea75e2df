// The bigjson functions, as the call boundary runs them.
#pragma once

#include "binding/boundary.hpp"

namespace quarn::api::bigjson {

[[nodiscard]] binding::Result<binding::Ref> count(const binding::CallArgs& args);
[[nodiscard]] binding::Result<binding::Ref> schema(const binding::CallArgs& args);
[[nodiscard]] binding::Result<binding::Ref> load(const binding::CallArgs& args);
[[nodiscard]] binding::Result<binding::Ref> iter_records(const binding::CallArgs& args);

}  // namespace quarn::api::bigjson
