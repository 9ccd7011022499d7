// The machine facts the front end reports or passes on: physical memory and
// the performance-core count, each as the decimal text a platform source gave,
// and the child-process runner used where that source is a command.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brain {

// Runs argv[0] (looked up on PATH) with the given arguments, standard input and
// standard error on the null device, and returns everything it wrote to
// standard output once it has ended, whatever its exit status. None when the
// command cannot be started.
std::optional<std::string> capture_stdout(const std::vector<std::string>& argv);

// Physical memory in bytes as text: the output of `sysctl -n hw.memsize` on
// macOS, the operating system's page count times page size elsewhere. None when
// no source is available.
std::optional<std::string> physical_memory_text();

// Performance-core count as text: the output of `sysctl -n hw.perflevel0.physicalcpu`
// on macOS, the number of physical cores elsewhere. None when no source is available.
std::optional<std::string> performance_core_text();

}  // namespace brain
