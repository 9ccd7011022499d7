// Linking the tokenizer must not take the POSIX regex functions away from the C
// library: Oniguruma exports regcomp/regexec under the same names, and a process
// that ends up with one from each deadlocks in regexec (seen with gtest's regex
// matchers under the sanitizers).
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex.h>

#include "tokenizer/tokenizer.hpp"

namespace {

#if defined(__linux__) && defined(__GLIBC__)
TEST(PosixRegex, ComesFromTheCLibrary) {
  for (const char* name : {"regcomp", "regexec", "regfree"}) {
    void* in_use = dlsym(RTLD_DEFAULT, name);
    Dl_info info{};
    ASSERT_NE(in_use, nullptr) << name;
    ASSERT_NE(dladdr(in_use, &info), 0) << name;
    EXPECT_THAT(info.dli_fname, testing::HasSubstr("libc.so")) << name << " comes from " << info.dli_fname;
  }
}
#endif

TEST(PosixRegex, MatchersWorkBesideTheTokenizer) {
  // Touch the library so it is really linked in, then use a regex matcher.
  EXPECT_THROW(tok::Tokenizer::from_file("/nonexistent/tokenizer.json"), tok::Error);
  EXPECT_THAT("weights mmapped (18 MB)", testing::MatchesRegex(".*mmapped \\([0-9]+ MB\\).*"));
}

}  // namespace
