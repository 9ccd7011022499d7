// Loading a definition into its components, and the encode and decode pipelines.
#include "tokenizer.hpp"

#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "added_vocabulary.hpp"
#include "bpe.hpp"
#include "decoders.hpp"
#include "definition.hpp"
#include "json_fields.hpp"
#include "length_rules.hpp"
#include "normalizers.hpp"
#include "pieces.hpp"
#include "post_processors.hpp"
#include "pre_tokenizers.hpp"
#include "utf8.hpp"

namespace tok {

struct Tokenizer::Impl {
    std::unique_ptr<Normalizer> normalizer;
    std::unique_ptr<PreTokenizer> pre_tokenizer;
    std::unique_ptr<Bpe> model;
    std::unique_ptr<PostProcessor> post_processor;
    std::unique_ptr<Decoder> decoder;
    std::unique_ptr<AddedVocabulary> added;
    std::optional<Truncation> truncation;
    std::optional<Padding> padding;
};

namespace {

[[noreturn]] void os_error(int err) {
    throw Error(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
}

std::string read_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) os_error(errno);
    std::string data;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
    char buf[1 << 16];
    while (true) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            os_error(err);
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

std::unique_ptr<Bpe> make_model(Definition& def) {
    auto it = def.doc.find("model");
    if (it == def.doc.end() || it->is_null()) throw Error("Model missing.");
    const json& m = *it;
    expect_object(m, "model");
    std::string type;
    if (auto t = m.find("type"); t != m.end()) {
        type = get_type(m, "model");
    } else if (def.merges) {
        type = "BPE";  // untagged definitions from older writers
    } else {
        throw Error("missing field `type` in model");
    }
    if (type == "WordPiece" || type == "WordLevel" || type == "Unigram") throw Error("unsupported model type `" + type + "`");
    if (type != "BPE") throw Error("unknown model type `" + type + "`");
    const std::string what = "model BPE";

    if (auto d = m.find("dropout"); d != m.end() && !d->is_null()) {
        if (!d->is_number()) throw Error("invalid type: " + type_name(*d) + ", expected a floating point for `dropout` in " + what);
        double p = d->get<double>();
        if (p < 0.0 || p > 1.0) throw Error("Error while initializing BPE: dropout should be between 0 and 1, inclusive");
        // Random merges cannot give reproducible ids.
        if (p > 0.0) throw Error("unsupported BPE setting: dropout " + d->dump());
    }
    if (!def.vocab) {
        if (m.contains("vocab")) throw Error("invalid type: " + type_name(m["vocab"]) + ", expected a map for `vocab` in " + what);
        throw Error("missing field `vocab` in " + what);
    }
    if (!def.merges) {
        if (m.contains("merges")) throw Error("invalid type: " + type_name(m["merges"]) + ", expected a sequence for `merges` in " + what);
        throw Error("missing field `merges` in " + what);
    }
    BpeOptions opt;
    opt.unk_token = get_opt_string(m, "unk_token", what);
    opt.continuing_subword_prefix = get_opt_string(m, "continuing_subword_prefix", what).value_or("");
    opt.end_of_word_suffix = get_opt_string(m, "end_of_word_suffix", what).value_or("");
    opt.fuse_unk = get_bool(m, "fuse_unk", false, what);
    opt.byte_fallback = get_bool(m, "byte_fallback", false, what);
    opt.ignore_merges = get_bool(m, "ignore_merges", false, what);
    auto model = std::make_unique<Bpe>(std::move(*def.vocab), *def.merges, std::move(opt));
    def.vocab.reset();
    def.merges.reset();
    return model;
}

std::vector<AddedToken> read_added_tokens(const json& doc) {
    std::vector<AddedToken> out;
    auto it = doc.find("added_tokens");
    if (it == doc.end() || it->is_null()) return out;
    if (!it->is_array()) throw Error("invalid type: " + type_name(*it) + ", expected a sequence for `added_tokens`");
    for (const json& e : *it) {
        const std::string what = "an added token";
        expect_object(e, what);
        AddedToken t;
        t.content = get_string(e, "content", what);
        t.special = get_bool(e, "special", false, what);
        t.normalized = get_bool(e, "normalized", !t.special, what);
        t.lstrip = get_bool(e, "lstrip", false, what);
        t.rstrip = get_bool(e, "rstrip", false, what);
        t.single_word = get_bool(e, "single_word", false, what);
        out.push_back(std::move(t));
    }
    return out;
}

}  // namespace

Tokenizer::Tokenizer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Tokenizer::Tokenizer(Tokenizer&&) noexcept = default;
Tokenizer& Tokenizer::operator=(Tokenizer&&) noexcept = default;
Tokenizer::~Tokenizer() = default;

Tokenizer Tokenizer::from_file(const std::string& path) {
    std::string text = read_file(path);
    return from_str(text);
}

Tokenizer Tokenizer::from_str(std::string_view text) {
    Definition def;
    try {
        def = parse_definition(text);
    } catch (const Error&) {
        // The JSON reader accepts only well-formed UTF-8, so this check can wait for a failure.
        if (utf8::validate(text)) throw Error("stream did not contain valid UTF-8");
        throw;
    }
    if (!def.doc.is_object()) throw Error("invalid type: " + type_name(def.doc) + ", expected struct Tokenizer");
    auto impl = std::make_unique<Impl>();
    const json& doc = def.doc;
    auto field = [&](const char* key) -> const json& {
        static const json null_value;
        auto it = doc.find(key);
        return it == doc.end() ? null_value : *it;
    };
    impl->model = make_model(def);
    impl->normalizer = make_normalizer(field("normalizer"));
    impl->pre_tokenizer = make_pre_tokenizer(field("pre_tokenizer"));
    impl->post_processor = make_post_processor(field("post_processor"));
    impl->decoder = make_decoder(field("decoder"));
    impl->truncation = make_truncation(field("truncation"));
    impl->padding = make_padding(field("padding"));
    impl->added = std::make_unique<AddedVocabulary>(read_added_tokens(doc), *impl->model, impl->normalizer.get());
    return Tokenizer(std::move(impl));
}

Encoding Tokenizer::encode(std::string_view text, bool add_special_tokens) const {
    if (auto bad = utf8::validate(text)) throw Error(utf8::describe(*bad));
    const Impl& m = *impl_;

    // Added tokens are found in the raw text first; the rest is normalized piece by piece and
    // searched again for the tokens that match normalized text.
    Pieces pieces;
    std::vector<AddedVocabulary::Cut> raw_cuts, norm_cuts;
    m.added->split(text, false, raw_cuts);
    for (auto& [off, id] : raw_cuts) {
        if (off.first == off.second) continue;
        if (id != kNoId) {
            pieces.push_back(Piece{std::string(text.substr(off.first, off.second - off.first)), id, off.first == 0});
            continue;
        }
        std::string s(text.substr(off.first, off.second - off.first));
        if (m.normalizer) m.normalizer->normalize(s);
        if (!m.added->has_normalized()) {
            if (!s.empty()) pieces.push_back(Piece{std::move(s), kNoId, off.first == 0});
            continue;
        }
        norm_cuts.clear();
        m.added->split(s, true, norm_cuts);
        for (auto& [noff, nid] : norm_cuts) {
            if (noff.first == noff.second) continue;
            pieces.push_back(Piece{s.substr(noff.first, noff.second - noff.first), nid, off.first == 0 && noff.first == 0});
        }
    }

    if (m.pre_tokenizer) m.pre_tokenizer->pre_tokenize(pieces);

    std::vector<uint32_t> ids;
    ids.reserve(text.size() / 3 + 8);
    for (const Piece& p : pieces) {
        if (p.id != kNoId)
            ids.push_back(p.id);
        else
            m.model->tokenize(p.text, ids);
    }

    const bool post = add_special_tokens && m.post_processor;
    if (m.truncation) m.truncation->apply(ids, post ? m.post_processor->added_tokens() : 0);
    if (post) m.post_processor->process(ids);
    if (m.padding) m.padding->apply(ids);
    return Encoding(std::move(ids));
}

std::string Tokenizer::decode(const std::vector<uint32_t>& ids, bool skip_special_tokens) const {
    const Impl& m = *impl_;
    std::vector<std::string> tokens;
    tokens.reserve(ids.size());
    for (uint32_t id : ids) {
        std::string_view text;
        if (const std::string* added = m.added->content_of(id)) {
            text = *added;
        } else if (const std::string_view* t = m.model->id_to_token(id)) {
            text = *t;
        } else {
            continue;
        }
        if (skip_special_tokens && m.added->is_special(text)) continue;
        tokens.emplace_back(text);
    }
    if (m.decoder) {
        m.decoder->decode_chain(tokens);
        std::string out;
        for (const std::string& t : tokens) out.append(t);
        return out;
    }
    std::string out;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (i) out.push_back(' ');
        out.append(tokens[i]);
    }
    return out;
}

}  // namespace tok
