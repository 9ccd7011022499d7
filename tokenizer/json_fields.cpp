// Field access helpers for component definitions.
#include "json_fields.hpp"

#include "regex.hpp"
#include "tokenizer.hpp"
#include "utf8.hpp"

namespace tok {

namespace {

[[noreturn]] void bad_type(const json& v, const char* key, const char* expected, const std::string& what) {
    throw Error("invalid type: " + type_name(v) + ", expected " + expected + " for `" + key + "` in " + what);
}

}  // namespace

void expect_object(const json& v, const std::string& what) {
    if (!v.is_object()) throw Error("invalid type: " + type_name(v) + ", expected a map for " + what);
}

bool get_bool(const json& obj, const char* key, bool def, const std::string& what) {
    auto it = obj.find(key);
    if (it == obj.end()) return def;
    if (!it->is_boolean()) bad_type(*it, key, "a boolean", what);
    return it->get<bool>();
}

uint64_t get_uint(const json& obj, const char* key, uint64_t def, const std::string& what) {
    auto it = obj.find(key);
    if (it == obj.end()) return def;
    if (!it->is_number_unsigned()) bad_type(*it, key, "a non-negative integer", what);
    return it->get<uint64_t>();
}

std::optional<std::string> get_opt_string(const json& obj, const char* key, const std::string& what) {
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) bad_type(*it, key, "a string", what);
    return it->get<std::string>();
}

std::string get_string(const json& obj, const char* key, const std::string& what) {
    auto it = obj.find(key);
    if (it == obj.end()) throw Error("missing field `" + std::string(key) + "` in " + what);
    if (!it->is_string()) bad_type(*it, key, "a string", what);
    return it->get<std::string>();
}

std::string get_char(const json& obj, const char* key, const std::string& what) {
    std::string s = get_string(obj, key, what);
    if (s.empty() || utf8::char_len(static_cast<unsigned char>(s[0])) != s.size())
        throw Error("invalid value: string " + json(s).dump() + ", expected a character for `" + key + "` in " + what);
    return s;
}

const json& get_field(const json& obj, const char* key, const std::string& what) {
    auto it = obj.find(key);
    if (it == obj.end()) throw Error("missing field `" + std::string(key) + "` in " + what);
    return *it;
}

std::string get_type(const json& obj, const std::string& kind) {
    expect_object(obj, kind);
    auto it = obj.find("type");
    if (it == obj.end()) throw Error("missing field `type` in " + kind);
    if (!it->is_string()) bad_type(*it, "type", "a string", kind);
    return it->get<std::string>();
}

// A "pattern" object: {"String": "..."} matches literally, {"Regex": "..."} as a regular expression.
std::unique_ptr<Regex> make_pattern(const json& def, const std::string& what) {
    const json& pattern = get_field(def, "pattern", what);
    expect_object(pattern, "`pattern` in " + what);
    if (auto s = pattern.find("String"); s != pattern.end()) {
        if (!s->is_string()) throw Error("invalid type: " + type_name(*s) + ", expected a string for `String` in " + what);
        return std::make_unique<Regex>(s->get_ref<const std::string&>(), true);
    }
    if (auto r = pattern.find("Regex"); r != pattern.end()) {
        if (!r->is_string()) throw Error("invalid type: " + type_name(*r) + ", expected a string for `Regex` in " + what);
        return std::make_unique<Regex>(r->get_ref<const std::string&>(), false);
    }
    throw Error("invalid `pattern` in " + what + ": expected `String` or `Regex`");
}

}  // namespace tok
