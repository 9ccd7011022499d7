// What the front end learns about the machine: physical memory (reported only)
// and the worker count handed to the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace brain {

// Physical memory in decimal gigabytes (bytes / 1e9); 0 when it cannot be read.
double total_ram_gb();

// The memory figure from a platform source's output: none, text that is not
// UTF-8 or not an unsigned decimal after trimming white space gives 0.
double ram_gb_from_text(const std::optional<std::string>& output);

// The performance-core count from a platform source's output, 0 on any failure.
int32_t core_count_from_text(const std::optional<std::string>& output);

// The worker count for the engine: OLVU_M_THREADS when set, UTF-8 and a signed
// 32-bit decimal as it stands; otherwise the performance-core count.
int32_t worker_count();

// The same rule over an explicit variable value (null when unset); `core_text`
// is asked only when the variable does not decide.
int32_t worker_count_from(const char* env_value,
                          const std::function<std::optional<std::string>()>& core_text);

}  // namespace brain
