// ChatML rendering: the driver's default prompt byte for byte, history, and
// trimming.
#include <gtest/gtest.h>

#include "prompt.h"

using namespace brain;

TEST(RenderChatml, DriverDefaultPromptByteForByte) {
  const std::string prompt =
      render_chatml("You are Olvu, a patient CBSE class 10 tutor.", {}, "Olvu, what is a prime number?");
  EXPECT_EQ(prompt,
            "<|im_start|>user\n"
            "You are Olvu, a patient CBSE class 10 tutor.\n\n"
            "Olvu, what is a prime number?<|im_end|>\n"
            "<|im_start|>assistant\n");
}

TEST(RenderChatml, EmptyOrBlankSystemTextAddsNothing) {
  for (const char* system : {"", " \n\t ", "\xE3\x80\x80"})
    EXPECT_EQ(render_chatml(system, {}, "hi"), "<|im_start|>user\nhi<|im_end|>\n<|im_start|>assistant\n")
        << testing::PrintToString(system);
}

TEST(RenderChatml, EmptyQuestionKeepsTheInstructionAndBlankLine) {
  EXPECT_EQ(render_chatml("Sys.", {}, ""), "<|im_start|>user\nSys.\n\n<|im_end|>\n<|im_start|>assistant\n");
  EXPECT_EQ(render_chatml("", {}, "  "), "<|im_start|>user\n<|im_end|>\n<|im_start|>assistant\n");
}

TEST(RenderChatml, SystemTextHeadsOnlyTheFirstHistoryTurn) {
  const History history{{"first question", "first answer"}, {"second question", "second answer"}};
  EXPECT_EQ(render_chatml("Sys.", history, "third question"),
            "<|im_start|>user\nSys.\n\nfirst question<|im_end|>\n"
            "<|im_start|>assistant\nfirst answer<|im_end|>\n"
            "<|im_start|>user\nsecond question<|im_end|>\n"
            "<|im_start|>assistant\nsecond answer<|im_end|>\n"
            "<|im_start|>user\nthird question<|im_end|>\n"
            "<|im_start|>assistant\n");
}

TEST(RenderChatml, EveryTextIsTrimmedAndInnerWhiteSpaceKept) {
  const History history{{"\n  q one\n\n", " a  one\t"}};
  EXPECT_EQ(render_chatml("\xC2\xA0 Be  brief.\n", history, "\r\n q\n two \xE2\x80\x83"),
            "<|im_start|>user\nBe  brief.\n\nq one<|im_end|>\n"
            "<|im_start|>assistant\na  one<|im_end|>\n"
            "<|im_start|>user\nq\n two<|im_end|>\n"
            "<|im_start|>assistant\n");
}
