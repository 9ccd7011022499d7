// The decimal parsers and the two rules built on them: physical memory and the
// engine's worker count.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "machine.h"
#include "parse.h"

using namespace brain;

TEST(ParseU64, AcceptsAnOptionalPlusAndDigitsOnly) {
  struct Case {
    const char* text;
    std::optional<uint64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"17179869184", 17179869184ull},
      {"+42", 42},
      {"0007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},   // overflow
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"++1", std::nullopt},
      {"-1", std::nullopt},
      {"-0", std::nullopt},
      {"1-", std::nullopt},
      {" 1", std::nullopt},
      {"1\n", std::nullopt},
      {"1.5", std::nullopt},
      {"0x10", std::nullopt},
      {"\xD9\xA1", std::nullopt},  // Arabic-Indic digit one: a digit, but not ASCII
  };
  for (const Case& c : cases) EXPECT_EQ(parse_u64_decimal(c.text), c.value) << '"' << c.text << '"';
}

TEST(ParseI32, AcceptsOneSignAndTheFullSignedRange) {
  struct Case {
    const char* text;
    std::optional<int32_t> value;
  };
  const Case cases[] = {
      {"8", 8},
      {"+8", 8},
      {"-3", -3},
      {"0", 0},
      {"-0", 0},
      {"08", 8},
      {"000000000000000000012", 12},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {" 8", std::nullopt},
      {"8 ", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-8", std::nullopt},
      {"8x", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_i32_decimal(c.text), c.value) << '"' << c.text << '"';
}

TEST(RamFromText, DecimalGigabytesOrZero) {
  EXPECT_DOUBLE_EQ(ram_gb_from_text(std::string("17179869184\n")), 17179869184.0 / 1e9);
  EXPECT_DOUBLE_EQ(ram_gb_from_text(std::string("  +8000000000 \n")), 8.0);
  EXPECT_DOUBLE_EQ(ram_gb_from_text(std::string("\xE3\x80\x80" "1000000000" "\xC2\xA0")), 1.0);
  for (const char* bad : {"", "\n", "+", "-1", "12 GB", "1.5e9", "18446744073709551616"})
    EXPECT_EQ(ram_gb_from_text(std::string(bad)), 0.0) << '"' << bad << '"';
  EXPECT_EQ(ram_gb_from_text(std::string("1000\xFF")), 0.0);  // not UTF-8
  EXPECT_EQ(ram_gb_from_text(std::nullopt), 0.0);             // no source
}

TEST(CoreCountFromText, TrimmedSignedDecimalOrZero) {
  EXPECT_EQ(core_count_from_text(std::string("12\n")), 12);
  EXPECT_EQ(core_count_from_text(std::string("-4")), -4);
  EXPECT_EQ(core_count_from_text(std::string("")), 0);
  EXPECT_EQ(core_count_from_text(std::string("twelve")), 0);
  EXPECT_EQ(core_count_from_text(std::string("2147483648")), 0);
  EXPECT_EQ(core_count_from_text(std::string("8\xFF")), 0);
  EXPECT_EQ(core_count_from_text(std::nullopt), 0);
}

TEST(WorkerCount, VariableWinsWhenItParsesAndTheCoreSourceIsNotAsked) {
  int asked = 0;
  auto cores = [&]() -> std::optional<std::string> {
    ++asked;
    return std::string("6\n");
  };
  struct Case {
    const char* env;
    int32_t count;
  };
  const Case cases[] = {{"8", 8}, {"+8", 8}, {"-3", -3}, {"0", 0}, {"08", 8}, {"-2147483648", INT32_MIN}};
  for (const Case& c : cases) EXPECT_EQ(worker_count_from(c.env, cores), c.count) << c.env;
  EXPECT_EQ(asked, 0);
}

TEST(WorkerCount, UnusableVariableFallsBackToTheCoreCount) {
  int asked = 0;
  auto cores = [&]() -> std::optional<std::string> {
    ++asked;
    return std::string("6\n");
  };
  const char* ignored[] = {nullptr, " 8", "8 ", "", "+", "-", "8x", "2147483648", "8\xFF"};
  for (const char* env : ignored) EXPECT_EQ(worker_count_from(env, cores), 6) << (env ? env : "(unset)");
  EXPECT_EQ(asked, static_cast<int>(std::size(ignored)));
  EXPECT_EQ(worker_count_from(nullptr, [] { return std::optional<std::string>(); }), 0);
  EXPECT_EQ(worker_count_from("x", [] { return std::optional<std::string>(""); }), 0);
}
