// Linking the tokenizer must not take the POSIX regex functions away from the C
// library: Oniguruma exports regcomp/regexec under the same names, and a process
// that ends up with one from each deadlocks in regexec (seen with gtest's regex
// matchers under the sanitizers).
#include <dlfcn.h>
#include <link.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex.h>

#include <string>

#include "tokenizer/tokenizer.hpp"

namespace {

#if defined(__linux__) && defined(__GLIBC__)
// The first loaded object, in lookup order, that defines the name. Sanitizer
// runtimes only intercept: they forward to the next definition, so skip them.
std::string first_definer(const char* name) {
  struct Search {
    const char* name;
    std::string found;
  } search{name, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        const std::string path = info->dlpi_name ? info->dlpi_name : "";
        if (!s->found.empty() || path.empty() || path.find("san.so") != std::string::npos) return 0;
        void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (!handle) return 0;
        if (void* sym = dlsym(handle, s->name)) {
          Dl_info where{};
          if (dladdr(sym, &where) && where.dli_fname && path == where.dli_fname) s->found = path;
        }
        dlclose(handle);
        return 0;
      },
      &search);
  return search.found;
}

TEST(PosixRegex, ComesFromTheCLibrary) {
  for (const char* name : {"regcomp", "regexec", "regfree"})
    EXPECT_THAT(first_definer(name), testing::HasSubstr("libc.so")) << name;
}
#endif

TEST(PosixRegex, MatchersWorkBesideTheTokenizer) {
  // Touch the library so it is really linked in, then use a regex matcher.
  EXPECT_THROW(tok::Tokenizer::from_file("/nonexistent/tokenizer.json"), tok::Error);
  EXPECT_THAT("weights mmapped (18 MB)", testing::MatchesRegex(".*mmapped \\([0-9]+ MB\\).*"));
}

}  // namespace
