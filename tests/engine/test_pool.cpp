// The worker pool. The pool is process-wide and created once, so every case
// runs in a child process of its own with the participant count it needs.
#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "host_limits.h"
#include "runtime/pool.h"

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool THREAD_SANITIZED = true;
#else
constexpr bool THREAD_SANITIZED = false;
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

int task_count() {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// Runs body in a child; body returns a description of what went wrong, or "".
template <class Body>
std::string in_child(Body body) {
  auto r = testutil::run_child([&] {
    alarm(300);  // a pool that loses a worker would wait forever
    const std::string failure = body();
    if (!failure.empty()) {
      std::fputs(failure.c_str(), stderr);
      std::fflush(stderr);
      _exit(3);
    }
  });
  if (r.exit_code == 0 && r.err.empty()) return "";
  return "child exit " + std::to_string(r.exit_code) + " signal " + std::to_string(r.signal) +
         ": " + r.err;
}

struct Call {
  int32_t start, end;
  pthread_t thread;
};

// Records every call of a job and computes a per-index value, so coverage,
// the cut of the range and the results can all be checked afterwards.
struct Recorder {
  explicit Recorder(int32_t n)
      : hits(std::max(n, 1)), calls(std::max(n, 1)), out(std::max(n, 1)) {}
  std::vector<std::atomic<int>> hits;
  std::vector<Call> calls;
  std::atomic<int32_t> n_calls{0};
  std::vector<float> out;

  static float value(int32_t i) {
    float acc = 0.0f;
    for (int k = 1; k <= 8; ++k) acc += std::sin(static_cast<float>(i) * 0.01f * k) / k;
    return acc;
  }
  static void fn(void* ctx, int32_t s, int32_t e) {
    auto* r = static_cast<Recorder*>(ctx);
    const int32_t slot = r->n_calls.fetch_add(1);
    r->calls[slot] = {s, e, pthread_self()};
    for (int32_t i = s; i < e; ++i) {
      r->hits[i].fetch_add(1, std::memory_order_relaxed);
      r->out[i] = value(i);
    }
  }
};

// Runs one job and checks it against the expected chunks (start of each and
// the chunk size; one inline call when chunk is 0).
std::string run_and_check(int32_t n, int32_t grain, int32_t chunk) {
  Recorder rec(n);
  const pthread_t caller = pthread_self();
  pool_for(Recorder::fn, &rec, n, grain);
  const std::string where =
      "n=" + std::to_string(n) + " grain=" + std::to_string(grain) + ": ";
  const int32_t calls = rec.n_calls.load();
  if (n < 1) return calls ? where + "fn called for an empty range\n" : "";
  for (int32_t i = 0; i < n; ++i)
    if (rec.hits[i].load() != 1)
      return where + "index " + std::to_string(i) + " ran " + std::to_string(rec.hits[i].load()) +
             " times\n";
  std::vector<Call> got(rec.calls.begin(), rec.calls.begin() + calls);
  std::sort(got.begin(), got.end(), [](const Call& a, const Call& b) { return a.start < b.start; });
  if (chunk == 0) {
    if (calls != 1 || got[0].start != 0 || got[0].end != n)
      return where + "expected one call over the whole range\n";
    if (!pthread_equal(got[0].thread, caller)) return where + "inline call not on the caller\n";
  } else {
    const int32_t want = (n + chunk - 1) / chunk;
    if (calls != want)
      return where + std::to_string(calls) + " calls, expected " + std::to_string(want) + "\n";
    for (int32_t k = 0; k < want; ++k)
      if (got[k].start != k * chunk || got[k].end != std::min((k + 1) * chunk, n))
        return where + "call " + std::to_string(k) + " is [" + std::to_string(got[k].start) +
               ", " + std::to_string(got[k].end) + ")\n";
  }
  // Every result, whoever computed it, is bit for bit the value this thread computes alone.
  for (int32_t i = 0; i < n; ++i) {
    const float want = Recorder::value(i);
    if (std::memcmp(&rec.out[i], &want, 4) != 0)
      return where + "result of index " + std::to_string(i) + " differs\n";
  }
  return "";
}

TEST(PoolCreate, ParticipantsAndWorkerThreads) {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  const int32_t auto_count = static_cast<int32_t>(std::clamp<long>(online, 1, 64));
  const struct {
    int32_t requested, participants;
  } cases[] = {{1, 1}, {2, 2}, {5, 5}, {64, 64}, {65, 64}, {200, 64},
               {0, auto_count}, {-7, auto_count}};
  for (const auto& c : cases) {
    SCOPED_TRACE("requested " + std::to_string(c.requested));
    EXPECT_EQ(in_child([&]() -> std::string {
                if (P.n_threads != 0) return "pool exists before creation\n";
                const int before = task_count();
                pool_create(c.requested);
                if (P.n_threads != c.participants)
                  return "n_threads " + std::to_string(P.n_threads) + "\n";
                if (task_count() - before != c.participants - 1)
                  return std::to_string(task_count() - before) + " threads started\n";
                pool_create(c.requested == 3 ? 4 : 3);  // a later count changes nothing
                if (P.n_threads != c.participants || task_count() - before != c.participants - 1)
                  return "second creation changed the pool\n";
                // One job per distinct pool size is enough. Under the thread sanitizer 63
                // threads spinning on one atomic take minutes, so that size only gets counted.
                if (c.participants == 64 && (c.requested != 200 || THREAD_SANITIZED)) return "";
                return run_and_check(1000, 1, c.participants == 1
                                                  ? 0
                                                  : std::max(1000 / (4 * c.participants), 1));
              }),
              "");
  }
}

TEST(PoolFor, WorkedExamplesCutTheRangeAsDocumented) {
  const struct {
    int32_t participants, n, grain, chunk;  // chunk 0: one inline call
  } cases[] = {
      {8, 1000, 16, 31},  // 1000 / 32
      {8, 100, 16, 16},   // 100 / 32 = 3, raised to the grain
      {4, 17, 16, 16},    // [0, 16) and [16, 17)
      {4, 16, 16, 0},     // n equal to the grain runs inline
      {2, 9, 8, 8},       // grain + 1: two chunks
      {4, 1, 1, 0},
      {1, 1000, 1, 0},    // one participant: always inline
      {4, 0, 1, 0},       // empty and negative ranges: no call
      {4, -3, 1, 0},
      {3, 1200, 1, 100},  // 1200 / 12
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.participants) + " participants, n=" + std::to_string(c.n));
    EXPECT_EQ(in_child([&] {
                pool_create(c.participants);
                return run_and_check(c.n, c.grain, c.chunk);
              }),
              "");
  }
}

TEST(PoolFor, EveryIndexRunsOnceWhateverTheShape) {
  const int32_t sizes[] = {1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 63, 64, 65, 100, 255, 1000, 4097, 65539};
  const int32_t grains[] = {1, 2, 8, 16, 64, 1000};
  for (int32_t participants : {2, 3, 4, 8, 13}) {
    SCOPED_TRACE(std::to_string(participants) + " participants");
    EXPECT_EQ(in_child([&]() -> std::string {
                pool_create(participants);
                std::string failures;
                for (int32_t n : sizes)
                  for (int32_t g : grains)
                    failures += run_and_check(n, g, n <= g ? 0 : std::max(n / (4 * participants), g));
                return failures;
              }),
              "");
  }
}

TEST(PoolFor, BackToBackJobsEachSeeTheirOwnRange) {
  EXPECT_EQ(in_child([]() -> std::string {
              pool_create(4);
              for (int job = 0; job < 1000; ++job) {
                const int32_t n = 17 + (job * 37) % 300;
                const std::string f = run_and_check(n, 1, std::max(n / 16, 1));
                if (!f.empty()) return "job " + std::to_string(job) + ": " + f;
              }
              return "";
            }),
            "");
}

// Every participant holds one chunk until all have arrived: a pool whose
// workers never took part would never get there.
struct Rendezvous {
  std::atomic<int> inside{0};
  std::atomic<bool> timed_out{false};
  int32_t participants;
};
void meet(void* ctx, int32_t, int32_t) {
  auto* r = static_cast<Rendezvous*>(ctx);
  r->inside.fetch_add(1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (r->inside.load() < r->participants) {
    if (std::chrono::steady_clock::now() > deadline) {
      r->timed_out = true;
      return;
    }
    sched_yield();
  }
}

TEST(PoolFor, AllParticipantsWorkOnOneJob) {
  for (int32_t participants : {2, 4, 8}) {
    EXPECT_EQ(in_child([&]() -> std::string {
                pool_create(participants);
                Rendezvous r;
                r.participants = participants;
                pool_for(meet, &r, participants, 1);  // chunk 1: one index each
                if (r.timed_out) return "only " + std::to_string(r.inside.load()) + " took part\n";
                return "";
              }),
              "");
  }
}


// With address space for only a few thread stacks, the pool starts what it
// can and runs its jobs with those workers.
TEST(PoolCreate, RunsWithTheWorkersThatStarted) {
  if (SANITIZED) GTEST_SKIP() << "address-space limits do not work under sanitizers";
  if (!testutil::address_space_limit_enforced())
    GTEST_SKIP() << "this host does not enforce RLIMIT_AS (user-mode emulator?)";
  EXPECT_EQ(in_child([]() -> std::string {
              pthread_attr_t attr;
              size_t stack = 0;
              pthread_getattr_default_np(&attr);
              pthread_attr_getstacksize(&attr, &stack);
              long pages = 0;
              if (FILE* f = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
                std::fclose(f);
              }
              if (pages == 0 || stack == 0) return "cannot read process sizes\n";
              const int before = task_count();
              rlimit old;
              getrlimit(RLIMIT_AS, &old);
              rlimit lim = old;
              lim.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + 2 * stack + stack / 2;
              setrlimit(RLIMIT_AS, &lim);
              pool_create(8);
              setrlimit(RLIMIT_AS, &old);
              const int started = task_count() - before;
              if (P.n_threads < 2 || P.n_threads >= 8)
                return "n_threads " + std::to_string(P.n_threads) + "\n";
              if (started != P.n_threads - 1)
                return std::to_string(started) + " threads for " + std::to_string(P.n_threads) +
                       " participants\n";
              return run_and_check(1000, 1, std::max(1000 / (4 * P.n_threads), 1));
            }),
            "");
}

}  // namespace
