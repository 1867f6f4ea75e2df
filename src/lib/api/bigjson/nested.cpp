// Records nested inside a document: the array a JSON Pointer names.
#include "api/bigjson/source.hpp"

namespace quarn::api::bigjson {

Status RecordSource::enter(std::string_view) {
  return Error::value("records inside a document are not supported yet");
}

}  // namespace quarn::api::bigjson
