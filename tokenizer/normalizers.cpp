// Unicode forms, case, white-space trimming, replacement and prefixing, alone or in sequence.
#include "normalizers.hpp"

#include <vector>

#include "json_fields.hpp"
#include "regex.hpp"
#include "tokenizer.hpp"
#include "unicode.hpp"
#include "utf8.hpp"

namespace tok {

namespace {

class UnicodeForm : public Normalizer {
public:
    explicit UnicodeForm(unicode::Form form) : form_(form) {}
    void normalize(std::string& text) const override { text = unicode::normalize(text, form_); }

private:
    unicode::Form form_;
};

class Lowercase : public Normalizer {
public:
    void normalize(std::string& text) const override { text = unicode::to_lower(text); }
};

class Strip : public Normalizer {
public:
    Strip(bool left, bool right) : left_(left), right_(right) {}
    void normalize(std::string& text) const override {
        std::string_view s(text);
        size_t begin = 0, end = s.size();
        if (left_) {
            while (begin < end) {
                size_t i = begin;
                if (!unicode::is_whitespace(utf8::next(s, i))) break;
                begin = i;
            }
        }
        if (right_) {
            while (end > begin) {
                size_t i = end;
                if (!unicode::is_whitespace(utf8::prev(s, i))) break;
                end = i;
            }
        }
        text = text.substr(begin, end - begin);
    }

private:
    bool left_, right_;
};

class StripAccents : public Normalizer {
public:
    void normalize(std::string& text) const override {
        std::string out;
        out.reserve(text.size());
        std::string_view s(text);
        size_t i = 0;
        while (i < s.size()) {
            size_t start = i;
            char32_t c = utf8::next(s, i);
            if (!unicode::is_mark(c)) out.append(s.substr(start, i - start));
        }
        text.swap(out);
    }
};

// Every match of the pattern, empty ones included, gives way to the content.
class Replace : public Normalizer {
public:
    Replace(std::unique_ptr<Regex> re, std::string content) : re_(std::move(re)), content_(std::move(content)) {}
    void normalize(std::string& text) const override {
        std::string out;
        out.reserve(text.size());
        for (auto& [off, is_match] : re_->find_matches(text)) {
            if (is_match)
                out.append(content_);
            else
                out.append(text, off.first, off.second - off.first);
        }
        text.swap(out);
    }

private:
    std::unique_ptr<Regex> re_;
    std::string content_;
};

class Prepend : public Normalizer {
public:
    explicit Prepend(std::string prefix) : prefix_(std::move(prefix)) {}
    void normalize(std::string& text) const override {
        if (!text.empty()) text.insert(0, prefix_);
    }

private:
    std::string prefix_;
};

class Sequence : public Normalizer {
public:
    explicit Sequence(std::vector<std::unique_ptr<Normalizer>> parts) : parts_(std::move(parts)) {}
    void normalize(std::string& text) const override {
        for (const auto& n : parts_) n->normalize(text);
    }

private:
    std::vector<std::unique_ptr<Normalizer>> parts_;
};

}  // namespace

std::unique_ptr<Normalizer> make_normalizer(const json& def) {
    if (def.is_null()) return nullptr;
    std::string type = get_type(def, "normalizer");
    std::string what = "normalizer " + type;
    if (type == "NFC") return std::make_unique<UnicodeForm>(unicode::Form::NFC);
    if (type == "NFD") return std::make_unique<UnicodeForm>(unicode::Form::NFD);
    if (type == "NFKC") return std::make_unique<UnicodeForm>(unicode::Form::NFKC);
    if (type == "NFKD") return std::make_unique<UnicodeForm>(unicode::Form::NFKD);
    if (type == "Lowercase") return std::make_unique<Lowercase>();
    if (type == "StripAccents") return std::make_unique<StripAccents>();
    if (type == "Strip")
        return std::make_unique<Strip>(get_bool(def, "strip_left", false, what), get_bool(def, "strip_right", false, what));
    if (type == "Replace")
        return std::make_unique<Replace>(make_pattern(def, what), get_string(def, "content", what));
    if (type == "Prepend") return std::make_unique<Prepend>(get_string(def, "prepend", what));
    if (type == "Sequence") {
        const json& list = get_field(def, "normalizers", what);
        if (!list.is_array()) throw Error("invalid type: " + type_name(list) + ", expected a sequence for `normalizers` in " + what);
        std::vector<std::unique_ptr<Normalizer>> parts;
        for (const json& item : list) {
            if (item.is_null()) continue;
            parts.push_back(make_normalizer(item));
        }
        return std::make_unique<Sequence>(std::move(parts));
    }
    if (type == "BertNormalizer" || type == "Precompiled" || type == "Nmt" || type == "ByteLevel")
        throw Error("unsupported normalizer type `" + type + "`");
    throw Error("unknown normalizer type `" + type + "`");
}

}  // namespace tok
