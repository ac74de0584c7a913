// The text of a JSON value the front-end prints or stores (the report of
// --check --json, the update history). Paths are bytes and need not be
// UTF-8: every byte that is no part of valid UTF-8 becomes U+FFFD
// (nlohmann-json's replace error handler), so that the text is always valid
// JSON and the dump never throws.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// indent < 0: one compact line with no line break inside (control bytes in
// strings are escaped); otherwise that many spaces per level.
inline std::string JsonText(const nlohmann::ordered_json& value, int indent = -1) {
  return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
