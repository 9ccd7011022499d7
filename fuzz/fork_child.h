// Runs one fuzz input in a child process, for code whose failure mode is
// ending the process. The child's exit status and standard error decide:
// status 0, or status 1 with a "FATAL: " report, is a correct outcome; a
// signal, a sanitizer report, any other status or a hang is a finding, which
// aborts the fuzzer so that it saves the input. The child's coverage counters
// are copied back into this process, so the fuzzer keeps its guidance.
//
// Children are forked by a small server process forked once at start, before
// the fuzzer has grown a corpus: forking and tearing down a copy of the
// fuzzer itself would cost more than most inputs take to run.
// OLVU_FUZZ_SHOW_CHILD=1 prints every child's standard error and status.
#pragma once

#include <cstddef>

namespace fuzz_child {

// What a child runs: a function of this binary and a plain-bytes argument.
using Body = void (*)(const void* arg, size_t size);

// Once, before the fuzzer reads its corpus (LLVMFuzzerInitialize).
void init();

// Runs body(arg) in a child; returns only when the outcome is a correct one.
void run(Body body, const void* arg, size_t size, int timeout_ms);

}  // namespace fuzz_child
