// Event-driven reading of tokenizer.json: a vocabulary of 150k entries would cost more as a
// JSON tree than everything else of the load together.
#include "definition.hpp"

#include "tokenizer.hpp"

namespace tok {

std::string type_name(const json& v) {
    switch (v.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return "boolean `" + v.dump() + "`";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned: return "integer `" + v.dump() + "`";
        case json::value_t::number_float: return "floating point `" + v.dump() + "`";
        case json::value_t::string: return "string " + v.dump();
        case json::value_t::array: return "sequence";
        case json::value_t::object: return "map";
        default: return "value";
    }
}

namespace {

class Reader {
public:
    using number_integer_t = json::number_integer_t;
    using number_unsigned_t = json::number_unsigned_t;
    using number_float_t = json::number_float_t;
    using string_t = json::string_t;
    using binary_t = json::binary_t;

    Reader(Definition& out, std::string_view text) : out_(out), text_(text) {}

    const std::string& error() const { return error_; }

    bool null() { return scalar(json(nullptr), "null"); }
    bool boolean(bool b) { return scalar(json(b), b ? "boolean `true`" : "boolean `false`"); }
    bool number_integer(number_integer_t v) {
        return scalar(json(v), "integer `" + std::to_string(v) + "`");
    }
    bool number_unsigned(number_unsigned_t v) {
        if (mode_ == Mode::Vocab) {
            if (v > UINT32_MAX) return fail("invalid value: integer `" + std::to_string(v) + "`, expected u32 in the vocabulary");
            auto& vocab = *out_.vocab;
            vocab.entries.push_back({key_offset_, key_length_, static_cast<uint32_t>(v)});
            return true;
        }
        return scalar(json(v), "integer `" + std::to_string(v) + "`");
    }
    bool number_float(number_float_t v, const string_t&) { return scalar(json(v), "floating point"); }
    bool binary(binary_t&) { return fail("unexpected binary value"); }

    bool string(string_t& s) {
        if (mode_ == Mode::Merges) {
            // The older form: "left right" in one string.
            auto space = s.find(' ');
            if (space == std::string::npos) return fail("invalid merge " + json(s).dump() + ": expected two tokens separated by a space");
            auto& m = *out_.merges;
            uint32_t base = static_cast<uint32_t>(m.arena.size());
            m.arena.append(s);
            m.pairs.push_back({base, static_cast<uint32_t>(space), base + static_cast<uint32_t>(space) + 1,
                               static_cast<uint32_t>(s.size() - space - 1)});
            return true;
        }
        if (mode_ == Mode::MergePair) {
            auto& m = *out_.merges;
            if (pair_count_ >= 2) return fail("invalid merge: expected a pair of two tokens");
            pair_[pair_count_ * 2] = static_cast<uint32_t>(m.arena.size());
            pair_[pair_count_ * 2 + 1] = static_cast<uint32_t>(s.size());
            m.arena.append(s);
            ++pair_count_;
            return true;
        }
        return scalar(json(std::move(s)), "string");
    }

    bool start_object(std::size_t) {
        if (!enter()) return false;
        if (mode_ != Mode::Dom) return fail(std::string("invalid type: map, expected ") + expected());
        if (capture_ == Capture::Vocab) {
            capture_ = Capture::None;
            out_.vocab.emplace();
            out_.vocab->arena.reserve(text_.size() / 4);
            mode_ = Mode::Vocab;
            return true;
        }
        release_capture();
        json* v = place(json(json::value_t::object));
        if (awaiting_model_ && stack_.size() == 1) model_ = v;
        awaiting_model_ = false;
        stack_.push_back(v);
        return true;
    }

    bool key(string_t& k) {
        if (mode_ == Mode::Vocab) {
            auto& vocab = *out_.vocab;
            key_offset_ = static_cast<uint32_t>(vocab.arena.size());
            key_length_ = static_cast<uint32_t>(k.size());
            vocab.arena.append(k);
            return true;
        }
        json* top = stack_.back();
        if (top == model_ && (k == "vocab" || k == "merges")) {
            // Decided by the value that follows: only an object or an array is read flat.
            capture_ = k == "vocab" ? Capture::Vocab : Capture::Merges;
            pending_key_ = std::move(k);
            slot_ = nullptr;
            return true;
        }
        awaiting_model_ = stack_.size() == 1 && k == "model";
        slot_ = &(*top)[k];
        return true;
    }

    bool end_object() {
        --depth_;
        if (mode_ == Mode::Vocab) {
            mode_ = Mode::Dom;
            return true;
        }
        if (stack_.back() == model_) model_ = nullptr;
        stack_.pop_back();
        return true;
    }

    bool start_array(std::size_t) {
        if (!enter()) return false;
        if (mode_ == Mode::Merges) {
            mode_ = Mode::MergePair;
            pair_count_ = 0;
            return true;
        }
        if (mode_ != Mode::Dom) return fail(std::string("invalid type: sequence, expected ") + expected());
        if (capture_ == Capture::Merges) {
            capture_ = Capture::None;
            out_.merges.emplace();
            out_.merges->arena.reserve(text_.size() / 6);
            mode_ = Mode::Merges;
            return true;
        }
        release_capture();
        json* v = place(json(json::value_t::array));
        awaiting_model_ = false;
        stack_.push_back(v);
        return true;
    }

    bool end_array() {
        --depth_;
        if (mode_ == Mode::MergePair) {
            if (pair_count_ != 2) return fail("invalid merge: expected a pair of two tokens");
            out_.merges->pairs.push_back(pair_);
            mode_ = Mode::Merges;
            return true;
        }
        if (mode_ == Mode::Merges) {
            mode_ = Mode::Dom;
            return true;
        }
        stack_.pop_back();
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
        std::string what = ex.what();
        // Keep nlohmann's description, drop its own prefix and position.
        auto colon = what.find(": ");
        std::string detail = colon == std::string::npos ? what : what.substr(colon + 2);
        size_t line = 1, column = 0;
        size_t end = std::min(position, text_.size());
        for (size_t i = 0; i < end; ++i) {
            if (text_[i] == '\n') {
                ++line;
                column = 0;
            } else {
                ++column;
            }
        }
        error_ = detail + " at line " + std::to_string(line) + " column " + std::to_string(column);
        return false;
    }

private:
    enum class Mode { Dom, Vocab, Merges, MergePair };
    enum class Capture { None, Vocab, Merges };

    const char* expected() const {
        switch (mode_) {
            case Mode::Vocab: return "u32 in the vocabulary";
            default: return "a pair of two tokens in the merges";
        }
    }

    // The pipeline parts nest (a Sequence holds parts that may be Sequences)
    // and are built recursively, so nesting is bounded as the reference's
    // JSON reader bounds it: 128 levels are refused.
    bool enter() {
        if (++depth_ < MAX_DEPTH) return true;
        return fail("recursion limit exceeded");
    }

    bool fail(std::string msg) {
        if (error_.empty()) error_ = std::move(msg);
        return false;
    }

    // A "vocab" or "merges" key whose value is not of the flat-read kind goes into the tree.
    void release_capture() {
        if (capture_ == Capture::None) return;
        capture_ = Capture::None;
        slot_ = &(*stack_.back())[pending_key_];
    }

    bool scalar(json v, const std::string& what) {
        if (mode_ != Mode::Dom) return fail("invalid type: " + what + ", expected " + expected());
        release_capture();
        awaiting_model_ = false;
        place(std::move(v));
        return true;
    }

    json* place(json v) {
        if (stack_.empty()) {
            out_.doc = std::move(v);
            return &out_.doc;
        }
        json* top = stack_.back();
        if (top->is_array()) {
            top->push_back(std::move(v));
            return &top->back();
        }
        *slot_ = std::move(v);
        return slot_;
    }

    Definition& out_;
    std::string_view text_;
    std::string error_;
    std::vector<json*> stack_;
    json* slot_ = nullptr;
    json* model_ = nullptr;
    bool awaiting_model_ = false;
    Mode mode_ = Mode::Dom;
    Capture capture_ = Capture::None;
    std::string pending_key_;
    uint32_t key_offset_ = 0, key_length_ = 0;
    std::array<uint32_t, 4> pair_{};
    int pair_count_ = 0;
    static constexpr int MAX_DEPTH = 128;
    int depth_ = 0;
};

}  // namespace

Definition parse_definition(std::string_view text) {
    Definition def;
    Reader reader(def, text);
    bool ok = json::sax_parse(text.data(), text.data() + text.size(), &reader);
    if (!ok) throw Error(reader.error().empty() ? "invalid JSON" : reader.error());
    return def;
}

}  // namespace tok
