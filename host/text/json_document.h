// JSON as the listings and the status page give it, made by nlohmann-json:
// keys in the order they are set, two spaces of indent, and bytes that are
// not UTF-8 replaced (U+FFFD) rather than passed on, since names may come
// from the wire.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

using JsonValue = nlohmann::ordered_json;

inline std::string JsonDocument(const JsonValue &value) {
    return value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
