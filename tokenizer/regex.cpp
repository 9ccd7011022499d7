// Oniguruma binding: UTF-8 text, Oniguruma syntax, no options.
#include "regex.hpp"

#include <mutex>

#include <oniguruma.h>

#include "tokenizer.hpp"
#include "utf8.hpp"

namespace tok {

namespace {

void init_oniguruma() {
    static std::once_flag once;
    std::call_once(once, [] {
        OnigEncoding encodings[] = {ONIG_ENCODING_UTF8};
        onig_initialize(encodings, 1);
    });
}

struct RegionDeleter {
    void operator()(OnigRegion* r) const { onig_region_free(r, 1); }
};

}  // namespace

struct Regex::Impl {
    regex_t* re = nullptr;
};

Regex::Regex(std::string_view pattern, bool literal) : impl_(std::make_unique<Impl>()) {
    init_oniguruma();
    OnigErrorInfo info;
    auto p = reinterpret_cast<const OnigUChar*>(pattern.data());
    int r = onig_new(&impl_->re, p, p + pattern.size(), ONIG_OPTION_NONE, ONIG_ENCODING_UTF8,
                     literal ? ONIG_SYNTAX_ASIS : ONIG_SYNTAX_DEFAULT, &info);
    if (r != ONIG_NORMAL) {
        OnigUChar msg[ONIG_MAX_ERROR_MESSAGE_LEN];
        onig_error_code_to_str(msg, r, &info);
        impl_->re = nullptr;
        throw Error("invalid regular expression `" + std::string(pattern) +
                    "`: " + reinterpret_cast<const char*>(msg));
    }
}

Regex::~Regex() {
    if (impl_ && impl_->re) onig_free(impl_->re);
}

std::vector<Offsets> Regex::find_all(std::string_view text) const {
    std::vector<Offsets> out;
    std::unique_ptr<OnigRegion, RegionDeleter> region(onig_region_new());
    auto begin = reinterpret_cast<const OnigUChar*>(text.data());
    auto end = begin + text.size();
    size_t from = 0;
    bool have_last = false;
    size_t last_end = 0;
    while (from <= text.size()) {
        onig_region_clear(region.get());
        int r = onig_search(impl_->re, begin, end, begin + from, end, region.get(), ONIG_OPTION_NONE);
        if (r < 0) {
            if (r == ONIG_MISMATCH) break;
            OnigUChar msg[ONIG_MAX_ERROR_MESSAGE_LEN];
            onig_error_code_to_str(msg, r);
            throw Error(std::string("regular expression search failed: ") + reinterpret_cast<const char*>(msg));
        }
        auto s = static_cast<size_t>(region->beg[0]);
        auto e = static_cast<size_t>(region->end[0]);
        if (s == e && have_last && last_end == e) {
            // Step over one character so an empty match cannot repeat forever.
            from += from < text.size() ? utf8::char_len(static_cast<unsigned char>(text[from])) : 1;
            continue;
        }
        from = e;
        have_last = true;
        last_end = e;
        out.emplace_back(s, e);
    }
    return out;
}

std::vector<std::pair<Offsets, bool>> Regex::find_matches(std::string_view text) const {
    std::vector<std::pair<Offsets, bool>> out;
    if (text.empty()) {
        out.push_back({{0, 0}, false});
        return out;
    }
    size_t prev = 0;
    for (auto [s, e] : find_all(text)) {
        if (prev != s) out.push_back({{prev, s}, false});
        out.push_back({{s, e}, true});
        prev = e;
    }
    if (prev != text.size()) out.push_back({{prev, text.size()}, false});
    return out;
}

}  // namespace tok
