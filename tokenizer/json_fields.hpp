// Typed access to fields of a component's JSON object, with errors that name the component.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "definition.hpp"
#include "regex.hpp"

namespace tok {

// The object itself must be a JSON object; `what` names it in messages ("normalizer NFC").
void expect_object(const json& v, const std::string& what);

// Missing fields take the default; a field of the wrong type is an error.
bool get_bool(const json& obj, const char* key, bool def, const std::string& what);
uint64_t get_uint(const json& obj, const char* key, uint64_t def, const std::string& what);
// Missing or null gives nothing.
std::optional<std::string> get_opt_string(const json& obj, const char* key, const std::string& what);
std::string get_string(const json& obj, const char* key, const std::string& what);
// A string of exactly one character.
std::string get_char(const json& obj, const char* key, const std::string& what);
// The field's value, which must be present.
const json& get_field(const json& obj, const char* key, const std::string& what);
// A component's "pattern": {"String": "..."} matches literally, {"Regex": "..."} as a regular
// expression.
std::unique_ptr<Regex> make_pattern(const json& def, const std::string& what);
// The component's "type" tag.
std::string get_type(const json& obj, const std::string& kind);

}  // namespace tok
