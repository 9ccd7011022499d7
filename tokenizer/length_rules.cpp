// Truncation keeps one end of the ids; padding fills up with the pad id at one end.
#include "length_rules.hpp"

#include <string>

#include "json_fields.hpp"
#include "tokenizer.hpp"

namespace tok {

namespace {

Side read_side(const json& def, const std::string& what) {
    auto d = get_opt_string(def, "direction", what);
    if (!d || *d == "Right") return Side::Right;
    if (*d == "Left") return Side::Left;
    throw Error("unknown variant `" + *d + "` for `direction` in " + what + ", expected `Left` or `Right`");
}

}  // namespace

void Truncation::apply(std::vector<uint32_t>& ids, size_t reserved) const {
    size_t limit = max_length > reserved ? max_length - reserved : 0;
    if (ids.size() <= limit) return;
    if (limit == 0) {
        ids.clear();
        return;
    }
    if (strategy == Strategy::OnlySecond) throw Error("Truncation error: Second sequence not provided");
    // The overflowing windows would step back by `stride`; a stride that is not smaller than the
    // window cannot be honoured.
    if (stride >= limit)
        throw Error("Truncation error: stride " + std::to_string(stride) + " must be strictly less than the max length " +
                    std::to_string(limit) + " left after the special tokens");
    if (direction == Side::Right)
        ids.resize(limit);
    else
        ids.erase(ids.begin(), ids.end() - static_cast<long>(limit));
}

void Padding::apply(std::vector<uint32_t>& ids) const {
    size_t target = fixed ? *fixed : ids.size();
    if (multiple_of && *multiple_of > 0 && target % *multiple_of) target += *multiple_of - target % *multiple_of;
    if (ids.size() >= target) return;
    if (direction == Side::Right)
        ids.resize(target, pad_id);
    else
        ids.insert(ids.begin(), target - ids.size(), pad_id);
}

std::optional<Truncation> make_truncation(const json& def) {
    if (def.is_null()) return std::nullopt;
    const std::string what = "truncation";
    expect_object(def, what);
    Truncation t;
    t.max_length = get_uint(def, "max_length", 512, what);
    t.stride = get_uint(def, "stride", 0, what);
    t.direction = read_side(def, what);
    if (auto s = get_opt_string(def, "strategy", what)) {
        if (*s == "LongestFirst") t.strategy = Truncation::Strategy::LongestFirst;
        else if (*s == "OnlyFirst") t.strategy = Truncation::Strategy::OnlyFirst;
        else if (*s == "OnlySecond") t.strategy = Truncation::Strategy::OnlySecond;
        else throw Error("unknown variant `" + *s + "` for `strategy` in truncation, expected one of `LongestFirst`, `OnlyFirst`, `OnlySecond`");
    }
    return t;
}

std::optional<Padding> make_padding(const json& def) {
    if (def.is_null()) return std::nullopt;
    const std::string what = "padding";
    expect_object(def, what);
    Padding p;
    if (auto it = def.find("strategy"); it != def.end()) {
        if (it->is_string() && it->get<std::string>() == "BatchLongest") {
        } else if (it->is_object() && it->contains("Fixed") && (*it)["Fixed"].is_number_unsigned()) {
            p.fixed = (*it)["Fixed"].get<size_t>();
        } else {
            throw Error("invalid `strategy` in padding: expected \"BatchLongest\" or {\"Fixed\": n}");
        }
    }
    p.direction = read_side(def, what);
    if (auto it = def.find("pad_to_multiple_of"); it != def.end() && !it->is_null()) {
        if (!it->is_number_unsigned()) throw Error("invalid type: " + type_name(*it) + ", expected a non-negative integer for `pad_to_multiple_of` in padding");
        p.multiple_of = it->get<size_t>();
    }
    uint64_t id = get_uint(def, "pad_id", 0, what);
    if (id > UINT32_MAX) throw Error("invalid value: integer `" + std::to_string(id) + "`, expected u32 for `pad_id` in padding");
    p.pad_id = static_cast<uint32_t>(id);
    return p;
}

}  // namespace tok
