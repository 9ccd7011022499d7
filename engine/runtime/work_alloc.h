// Work buffers of the forward passes and the sampler, requested per batch,
// layer or draw. Tests can make one named request fail to reach the
// out-of-memory exits.
#pragma once

#include <cstddef>
#include <cstdint>

// Null when the allocation fails. A request of zero floats still gets a buffer.
float* work_alloc(int64_t n_floats, const char* tag);

// As work_alloc, but a failure ends the process through fatal with oom_message.
float* work_alloc_or_die(int64_t n_floats, const char* tag, const char* oom_message);
void* work_alloc_bytes_or_die(size_t bytes, const char* tag, const char* oom_message);

void work_free(void* p);

namespace work_alloc_detail {
// Every later request whose tag equals this one fails; null switches it off.
void fail_requests_tagged(const char* tag);
}  // namespace work_alloc_detail
