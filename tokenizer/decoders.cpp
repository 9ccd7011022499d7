// Byte-level, metaspace, byte-fallback, fuse, strip and replace decoding, alone or in sequence.
#include "decoders.hpp"

#include "byte_level.hpp"
#include "json_fields.hpp"
#include "regex.hpp"
#include "tokenizer.hpp"
#include "utf8.hpp"

namespace tok {

namespace {

// Characters back to bytes, all tokens joined, then made valid UTF-8; a token holding a
// character outside the table keeps its own bytes.
class ByteLevel : public Decoder {
public:
    void decode_chain(std::vector<std::string>& tokens) const override {
        std::string bytes;
        for (const std::string& t : tokens) {
            size_t start = bytes.size();
            std::string_view s(t);
            size_t i = 0;
            bool mapped = true;
            while (i < s.size()) {
                int b = byte_level::byte_of(utf8::next(s, i));
                if (b < 0) {
                    mapped = false;
                    break;
                }
                bytes.push_back(static_cast<char>(b));
            }
            if (!mapped) {
                bytes.resize(start);
                bytes.append(t);
            }
        }
        tokens.assign(1, utf8::lossy(bytes));
    }
};

class Metaspace : public Decoder {
public:
    Metaspace(std::string replacement, bool strip_first) : replacement_(std::move(replacement)), strip_first_(strip_first) {}
    void decode_chain(std::vector<std::string>& tokens) const override {
        for (size_t i = 0; i < tokens.size(); ++i) {
            const std::string& t = tokens[i];
            std::string out;
            out.reserve(t.size());
            size_t pos = 0;
            while (pos < t.size()) {
                if (t.compare(pos, replacement_.size(), replacement_) == 0) {
                    // The first token loses every replacement character: they stood for the
                    // space put in front of the text.
                    if (!(i == 0 && strip_first_)) out.push_back(' ');
                    pos += replacement_.size();
                } else {
                    size_t len = utf8::char_len(static_cast<unsigned char>(t[pos]));
                    out.append(t, pos, len);
                    pos += len;
                }
            }
            tokens[i].swap(out);
        }
    }

private:
    std::string replacement_;
    bool strip_first_;
};

// Runs of "<0xNN>" tokens become the bytes they name; a run that is not UTF-8 gives one U+FFFD
// per byte.
class ByteFallback : public Decoder {
public:
    void decode_chain(std::vector<std::string>& tokens) const override {
        std::vector<std::string> out;
        out.reserve(tokens.size());
        std::string run;
        size_t run_len = 0;
        auto flush = [&] {
            if (!run_len) return;
            if (!utf8::validate(run))
                out.push_back(run);
            else
                for (size_t k = 0; k < run_len; ++k) out.emplace_back("\xEF\xBF\xBD");
            run.clear();
            run_len = 0;
        };
        for (std::string& t : tokens) {
            int byte = parse_byte(t);
            if (byte >= 0) {
                run.push_back(static_cast<char>(byte));
                ++run_len;
            } else {
                flush();
                out.push_back(std::move(t));
            }
        }
        flush();
        tokens.swap(out);
    }

private:
    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }
    // The two characters after "<0x" are read as a hexadecimal number that may carry a plus sign.
    static int parse_byte(const std::string& t) {
        if (t.size() != 6 || t.compare(0, 3, "<0x") != 0 || t[5] != '>') return -1;
        if (t[3] == '+') return hex(t[4]);
        int hi = hex(t[3]), lo = hex(t[4]);
        return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
    }
};

class Fuse : public Decoder {
public:
    void decode_chain(std::vector<std::string>& tokens) const override {
        std::string all;
        for (const std::string& t : tokens) all.append(t);
        tokens.assign(1, std::move(all));
    }
};

// Up to `start` leading and `stop` trailing copies of one character come off every token.
class Strip : public Decoder {
public:
    Strip(std::string content, size_t start, size_t stop) : content_(std::move(content)), start_(start), stop_(stop) {}
    void decode_chain(std::vector<std::string>& tokens) const override {
        for (std::string& t : tokens) {
            size_t begin = 0, end = t.size();
            for (size_t k = 0; k < start_ && end - begin >= content_.size() && t.compare(begin, content_.size(), content_) == 0; ++k)
                begin += content_.size();
            for (size_t k = 0; k < stop_ && end - begin >= content_.size() &&
                               t.compare(end - content_.size(), content_.size(), content_) == 0; ++k)
                end -= content_.size();
            t = t.substr(begin, end - begin);
        }
    }

private:
    std::string content_;
    size_t start_, stop_;
};

class Replace : public Decoder {
public:
    Replace(std::unique_ptr<Regex> re, std::string content) : re_(std::move(re)), content_(std::move(content)) {}
    void decode_chain(std::vector<std::string>& tokens) const override {
        for (std::string& t : tokens) {
            std::string out;
            for (auto& [off, is_match] : re_->find_matches(t)) {
                if (is_match)
                    out.append(content_);
                else
                    out.append(t, off.first, off.second - off.first);
            }
            t.swap(out);
        }
    }

private:
    std::unique_ptr<Regex> re_;
    std::string content_;
};

class Sequence : public Decoder {
public:
    explicit Sequence(std::vector<std::unique_ptr<Decoder>> parts) : parts_(std::move(parts)) {}
    void decode_chain(std::vector<std::string>& tokens) const override {
        for (const auto& d : parts_) d->decode_chain(tokens);
    }

private:
    std::vector<std::unique_ptr<Decoder>> parts_;
};

}  // namespace

std::unique_ptr<Decoder> make_decoder(const json& def) {
    if (def.is_null()) return nullptr;
    std::string type = get_type(def, "decoder");
    std::string what = "decoder " + type;
    if (type == "ByteLevel") return std::make_unique<ByteLevel>();
    if (type == "Metaspace") {
        std::string replacement = get_char(def, "replacement", what);
        bool strip_first;
        if (auto scheme = get_opt_string(def, "prepend_scheme", what)) {
            if (*scheme != "always" && *scheme != "first" && *scheme != "never")
                throw Error("unknown variant `" + *scheme + "` for `prepend_scheme` in " + what +
                            ", expected one of `first`, `never`, `always`");
            strip_first = *scheme != "never";
        } else {
            strip_first = get_bool(def, "add_prefix_space", true, what);
        }
        return std::make_unique<Metaspace>(replacement, strip_first);
    }
    if (type == "ByteFallback") return std::make_unique<ByteFallback>();
    if (type == "Fuse") return std::make_unique<Fuse>();
    if (type == "Strip")
        return std::make_unique<Strip>(get_char(def, "content", what), get_uint(def, "start", 0, what), get_uint(def, "stop", 0, what));
    if (type == "Replace") return std::make_unique<Replace>(make_pattern(def, what), get_string(def, "content", what));
    if (type == "Sequence") {
        const json& list = get_field(def, "decoders", what);
        if (!list.is_array()) throw Error("invalid type: " + type_name(list) + ", expected a sequence for `decoders` in " + what);
        std::vector<std::unique_ptr<Decoder>> parts;
        for (const json& item : list) {
            if (item.is_null()) continue;
            parts.push_back(make_decoder(item));
        }
        return std::make_unique<Sequence>(std::move(parts));
    }
    if (type == "WordPiece" || type == "BPEDecoder" || type == "CTC")
        throw Error("unsupported decoder type `" + type + "`");
    throw Error("unknown decoder type `" + type + "`");
}

}  // namespace tok
