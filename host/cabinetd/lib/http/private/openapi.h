// The HTTP API's OpenAPI document (docs/openapi.yaml) as JSON, made at build
// time from the YAML: what a cabinetd serves is the document it was built with.
#pragma once

#include <string_view>

namespace cabinetd {

std::string_view openapi_json();

} // namespace cabinetd
