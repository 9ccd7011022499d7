// Byte-level, pattern, metaspace, white-space, digit and punctuation splitting, alone or in sequence.
#include "pre_tokenizers.hpp"

#include <vector>

#include <utf8proc.h>

#include "byte_level.hpp"
#include "json_fields.hpp"
#include "regex.hpp"
#include "split.hpp"
#include "tokenizer.hpp"
#include "unicode.hpp"

namespace tok {

namespace {

// The pattern byte-level tokenizers cut words with when they carry no pattern of their own.
constexpr const char* kByteLevelPattern =
    R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";

class ByteLevel : public PreTokenizer {
public:
    ByteLevel(bool add_prefix_space, bool use_regex)
        : add_prefix_space_(add_prefix_space), re_(use_regex ? std::make_unique<Regex>(kByteLevelPattern, false) : nullptr) {}

    void pre_tokenize(Pieces& pieces) const override {
        if (add_prefix_space_) {
            for (Piece& p : pieces)
                if (p.id == kNoId && !p.text.empty() && p.text[0] != ' ') p.text.insert(0, 1, ' ');
        }
        if (re_) {
            split_pieces(pieces, [&](std::string_view text) {
                return apply_behavior(re_->find_matches(text), SplitBehavior::Isolated, false);
            });
        }
        for (Piece& p : pieces)
            if (p.id == kNoId) p.text = byte_level::encode(p.text);
    }

private:
    bool add_prefix_space_;
    std::unique_ptr<Regex> re_;
};

class Split : public PreTokenizer {
public:
    Split(std::unique_ptr<Regex> re, SplitBehavior behavior, bool invert)
        : re_(std::move(re)), behavior_(behavior), invert_(invert) {}

    void pre_tokenize(Pieces& pieces) const override {
        split_pieces(pieces, [&](std::string_view text) {
            return apply_behavior(re_->find_matches(text), behavior_, invert_);
        });
    }

private:
    std::unique_ptr<Regex> re_;
    SplitBehavior behavior_;
    bool invert_;
};

enum class PrependScheme { Always, First, Never };

class Metaspace : public PreTokenizer {
public:
    Metaspace(std::string replacement, PrependScheme scheme, bool split)
        : replacement_(std::move(replacement)), scheme_(scheme), split_(split) {
        size_t i = 0;
        replacement_char_ = utf8::next(replacement_, i);
    }

    void pre_tokenize(Pieces& pieces) const override {
        for (Piece& p : pieces) {
            if (p.id != kNoId) continue;
            std::string text;
            text.reserve(p.text.size() + replacement_.size());
            for (char c : p.text) {
                if (c == ' ')
                    text.append(replacement_);
                else
                    text.push_back(c);
            }
            bool starts = text.compare(0, replacement_.size(), replacement_) == 0;
            if (!starts && (scheme_ == PrependScheme::Always || (scheme_ == PrependScheme::First && p.at_start)))
                text.insert(0, replacement_);
            p.text.swap(text);
        }
        if (split_) {
            split_pieces(pieces, [&](std::string_view text) {
                return apply_behavior(char_matches(text, [&](char32_t c) { return c == replacement_char_; }),
                                      SplitBehavior::MergedWithNext, false);
            });
        }
    }

private:
    std::string replacement_;
    char32_t replacement_char_;
    PrependScheme scheme_;
    bool split_;
};

// Runs of word characters and runs of other non-blank characters; blanks go.
class Whitespace : public PreTokenizer {
public:
    Whitespace() : re_(R"(\w+|[^\w\s]+)", false) {}
    void pre_tokenize(Pieces& pieces) const override {
        split_pieces(pieces, [&](std::string_view text) {
            return apply_behavior(re_.find_matches(text), SplitBehavior::Removed, true);
        });
    }

private:
    Regex re_;
};

class WhitespaceSplit : public PreTokenizer {
public:
    void pre_tokenize(Pieces& pieces) const override {
        split_pieces(pieces, [](std::string_view text) {
            return apply_behavior(char_matches(text, unicode::is_whitespace), SplitBehavior::Removed, false);
        });
    }
};

class Digits : public PreTokenizer {
public:
    explicit Digits(bool individual) : individual_(individual) {}
    void pre_tokenize(Pieces& pieces) const override {
        auto behavior = individual_ ? SplitBehavior::Isolated : SplitBehavior::Contiguous;
        split_pieces(pieces, [&](std::string_view text) {
            return apply_behavior(char_matches(text, unicode::is_numeric), behavior, false);
        });
    }

private:
    bool individual_;
};

bool is_punctuation(char32_t c) {
    if (c < 0x80) return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) || (c >= 0x7B && c <= 0x7E);
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
        case UTF8PROC_CATEGORY_PC: case UTF8PROC_CATEGORY_PD: case UTF8PROC_CATEGORY_PS:
        case UTF8PROC_CATEGORY_PE: case UTF8PROC_CATEGORY_PI: case UTF8PROC_CATEGORY_PF:
        case UTF8PROC_CATEGORY_PO:
            return true;
        default:
            return false;
    }
}

class Punctuation : public PreTokenizer {
public:
    explicit Punctuation(SplitBehavior behavior) : behavior_(behavior) {}
    void pre_tokenize(Pieces& pieces) const override {
        split_pieces(pieces, [&](std::string_view text) {
            return apply_behavior(char_matches(text, is_punctuation), behavior_, false);
        });
    }

private:
    SplitBehavior behavior_;
};

class Sequence : public PreTokenizer {
public:
    explicit Sequence(std::vector<std::unique_ptr<PreTokenizer>> parts) : parts_(std::move(parts)) {}
    void pre_tokenize(Pieces& pieces) const override {
        for (const auto& p : parts_) p->pre_tokenize(pieces);
    }

private:
    std::vector<std::unique_ptr<PreTokenizer>> parts_;
};

PrependScheme prepend_scheme(const json& def, const std::string& what) {
    if (auto scheme = get_opt_string(def, "prepend_scheme", what)) {
        if (*scheme == "always") return PrependScheme::Always;
        if (*scheme == "first") return PrependScheme::First;
        if (*scheme == "never") return PrependScheme::Never;
        throw Error("unknown variant `" + *scheme + "` for `prepend_scheme` in " + what +
                    ", expected one of `first`, `never`, `always`");
    }
    // Older definitions say only whether a space is put in front.
    return get_bool(def, "add_prefix_space", true, what) ? PrependScheme::Always : PrependScheme::Never;
}

}  // namespace

std::unique_ptr<PreTokenizer> make_pre_tokenizer(const json& def) {
    if (def.is_null()) return nullptr;
    std::string type = get_type(def, "pre-tokenizer");
    std::string what = "pre-tokenizer " + type;
    if (type == "ByteLevel")
        return std::make_unique<ByteLevel>(get_bool(def, "add_prefix_space", true, what), get_bool(def, "use_regex", true, what));
    if (type == "Split") {
        auto behavior = parse_behavior(get_string(def, "behavior", what), what);
        return std::make_unique<Split>(make_pattern(def, what), behavior, get_bool(def, "invert", false, what));
    }
    if (type == "Metaspace") {
        std::string replacement = get_char(def, "replacement", what);
        return std::make_unique<Metaspace>(replacement, prepend_scheme(def, what), get_bool(def, "split", true, what));
    }
    if (type == "Whitespace") return std::make_unique<Whitespace>();
    if (type == "WhitespaceSplit") return std::make_unique<WhitespaceSplit>();
    if (type == "Digits") return std::make_unique<Digits>(get_bool(def, "individual_digits", false, what));
    if (type == "Punctuation") {
        auto behavior = SplitBehavior::Isolated;
        if (auto b = get_opt_string(def, "behavior", what)) behavior = parse_behavior(*b, what);
        return std::make_unique<Punctuation>(behavior);
    }
    if (type == "Sequence") {
        const json& list = get_field(def, "pretokenizers", what);
        if (!list.is_array()) throw Error("invalid type: " + type_name(list) + ", expected a sequence for `pretokenizers` in " + what);
        std::vector<std::unique_ptr<PreTokenizer>> parts;
        for (const json& item : list) {
            if (item.is_null()) continue;
            parts.push_back(make_pre_tokenizer(item));
        }
        return std::make_unique<Sequence>(std::move(parts));
    }
    if (type == "BertPreTokenizer" || type == "CharDelimiterSplit" || type == "UnicodeScripts")
        throw Error("unsupported pre-tokenizer type `" + type + "`");
    throw Error("unknown pre-tokenizer type `" + type + "`");
}

}  // namespace tok
