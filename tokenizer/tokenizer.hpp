// Public interface of the tokenizer library: load a tokenizer.json, encode text, decode ids.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tok {

// Every failure of the library: unreadable or unsupported definitions, bad input text.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The result of encoding one text.
class Encoding {
public:
    Encoding() = default;
    explicit Encoding(std::vector<uint32_t> ids) : ids_(std::move(ids)) {}
    const std::vector<uint32_t>& get_ids() const { return ids_; }

private:
    std::vector<uint32_t> ids_;
};

class Tokenizer {
public:
    // Reads and checks a tokenizer definition; throws tok::Error.
    static Tokenizer from_file(const std::string& path);
    // Same, from the definition's JSON text.
    static Tokenizer from_str(std::string_view json);

    Tokenizer(Tokenizer&&) noexcept;
    Tokenizer& operator=(Tokenizer&&) noexcept;
    ~Tokenizer();

    // Throws tok::Error when `text` is not valid UTF-8 or the definition cannot encode it.
    Encoding encode(std::string_view text, bool add_special_tokens) const;
    // Ids the vocabulary does not know are skipped.
    std::string decode(const std::vector<uint32_t>& ids, bool skip_special_tokens) const;

    struct Impl;

private:
    explicit Tokenizer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace tok
