// Memory and worker-count rules over the platform's decimal texts.
#include "machine.h"

#include <cstdlib>

#include "parse.h"
#include "platform.h"
#include "text.h"

namespace brain {

double ram_gb_from_text(const std::optional<std::string>& output) {
  if (!output || !is_valid_utf8(*output)) return 0.0;
  const auto bytes = parse_u64_decimal(trim_white_space(*output));
  if (!bytes) return 0.0;
  return static_cast<double>(*bytes) / 1e9;
}

double total_ram_gb() { return ram_gb_from_text(physical_memory_text()); }

int32_t core_count_from_text(const std::optional<std::string>& output) {
  if (!output || !is_valid_utf8(*output)) return 0;
  return parse_i32_decimal(trim_white_space(*output)).value_or(0);
}

int32_t worker_count_from(const char* env_value,
                          const std::function<std::optional<std::string>()>& core_text) {
  if (env_value && is_valid_utf8(env_value)) {
    if (const auto n = parse_i32_decimal(env_value)) return *n;
  }
  return core_count_from_text(core_text());
}

int32_t worker_count() {
  return worker_count_from(std::getenv("OLVU_M_THREADS"), performance_core_text);
}

}  // namespace brain
