// Template, BERT/RoBERTa-style and byte-level post-processing of a single sequence.
#include "post_processors.hpp"

#include "json_fields.hpp"
#include "pieces.hpp"
#include "tokenizer.hpp"

namespace tok {

namespace {

// The ids go around the sequence as the single-sequence template says.
class Template : public PostProcessor {
public:
    Template(std::vector<uint32_t> before, std::vector<uint32_t> after, bool has_sequence)
        : before_(std::move(before)), after_(std::move(after)), has_sequence_(has_sequence) {}
    size_t added_tokens() const override { return before_.size() + after_.size(); }
    void process(std::vector<uint32_t>& ids) const override {
        std::vector<uint32_t> out;
        out.reserve(ids.size() + added_tokens());
        out.insert(out.end(), before_.begin(), before_.end());
        if (has_sequence_) out.insert(out.end(), ids.begin(), ids.end());
        out.insert(out.end(), after_.begin(), after_.end());
        ids.swap(out);
    }

private:
    std::vector<uint32_t> before_, after_;
    bool has_sequence_;
};

// Leaves the ids alone: byte-level post-processing changes only offsets.
class Identity : public PostProcessor {
public:
    size_t added_tokens() const override { return 0; }
    void process(std::vector<uint32_t>&) const override {}
};

class Sequence : public PostProcessor {
public:
    explicit Sequence(std::vector<std::unique_ptr<PostProcessor>> parts) : parts_(std::move(parts)) {}
    size_t added_tokens() const override {
        size_t n = 0;
        for (const auto& p : parts_) n += p->added_tokens();
        return n;
    }
    void process(std::vector<uint32_t>& ids) const override {
        for (const auto& p : parts_) p->process(ids);
    }

private:
    std::vector<std::unique_ptr<PostProcessor>> parts_;
};

std::unique_ptr<PostProcessor> make_template(const json& def, const std::string& what) {
    const json& single = get_field(def, "single", what);
    if (!single.is_array()) throw Error("invalid type: " + type_name(single) + ", expected a sequence for `single` in " + what);
    const json* specials = nullptr;
    if (auto it = def.find("special_tokens"); it != def.end() && !it->is_null()) {
        expect_object(*it, "`special_tokens` in " + what);
        specials = &*it;
    }
    std::vector<uint32_t> before, after;
    bool seen_sequence = false;
    for (const json& piece : single) {
        expect_object(piece, "a piece of `single` in " + what);
        if (auto seq = piece.find("Sequence"); seq != piece.end()) {
            expect_object(*seq, "a `Sequence` piece in " + what);
            // Only the first sequence exists for a single text; a second one stands for nothing.
            if (get_string(*seq, "id", what) == "A") seen_sequence = true;
            continue;
        }
        auto sp = piece.find("SpecialToken");
        if (sp == piece.end()) throw Error("invalid piece in `single` of " + what + ": expected `Sequence` or `SpecialToken`");
        expect_object(*sp, "a `SpecialToken` piece in " + what);
        std::string id = get_string(*sp, "id", what);
        const json* entry = nullptr;
        if (specials) {
            auto e = specials->find(id);
            if (e != specials->end()) entry = &*e;
        }
        if (!entry) throw Error("Missing SpecialToken(s) with id(s) `" + id + "` in " + what);
        expect_object(*entry, "special token `" + id + "` in " + what);
        const json& ids = get_field(*entry, "ids", what);
        if (!ids.is_array()) throw Error("invalid type: " + type_name(ids) + ", expected a sequence for `ids` in " + what);
        auto& target = seen_sequence ? after : before;
        for (const json& v : ids) {
            if (!v.is_number_unsigned() || v.get<uint64_t>() > UINT32_MAX)
                throw Error("invalid value: " + type_name(v) + ", expected u32 in `ids` of " + what);
            target.push_back(static_cast<uint32_t>(v.get<uint64_t>()));
        }
    }
    return std::make_unique<Template>(std::move(before), std::move(after), seen_sequence);
}

// {"cls": ["<s>", 0], "sep": ["</s>", 2]}: the sequence between the two.
std::unique_ptr<PostProcessor> make_cls_sep(const json& def, const std::string& what) {
    auto read = [&](const char* key) {
        const json& v = get_field(def, key, what);
        if (!v.is_array() || v.size() != 2 || !v[1].is_number_unsigned() || v[1].get<uint64_t>() > UINT32_MAX)
            throw Error("invalid value for `" + std::string(key) + "` in " + what + ": expected a token and its id");
        return static_cast<uint32_t>(v[1].get<uint64_t>());
    };
    uint32_t cls = read("cls"), sep = read("sep");
    return std::make_unique<Template>(std::vector<uint32_t>{cls}, std::vector<uint32_t>{sep}, true);
}

}  // namespace

std::unique_ptr<PostProcessor> make_post_processor(const json& def) {
    if (def.is_null()) return nullptr;
    std::string type = get_type(def, "post-processor");
    std::string what = "post-processor " + type;
    if (type == "TemplateProcessing") return make_template(def, what);
    if (type == "ByteLevel") return std::make_unique<Identity>();
    if (type == "BertProcessing" || type == "RobertaProcessing") return make_cls_sep(def, what);
    if (type == "Sequence") {
        const json& list = get_field(def, "processors", what);
        if (!list.is_array()) throw Error("invalid type: " + type_name(list) + ", expected a sequence for `processors` in " + what);
        std::vector<std::unique_ptr<PostProcessor>> parts;
        for (const json& item : list) {
            if (item.is_null()) continue;
            parts.push_back(make_post_processor(item));
        }
        return std::make_unique<Sequence>(std::move(parts));
    }
    throw Error("unknown post-processor type `" + type + "`");
}

}  // namespace tok
