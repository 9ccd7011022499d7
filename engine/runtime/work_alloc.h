// Work buffers of the forward passes and the sampler: requested per draw, or
// kept per call site and grown, so that a prefill neither allocates nor
// faults in fresh pages once its buffers are large enough. Tests can make
// one named request fail to reach the out-of-memory exits.
#pragma once

#include <cstddef>
#include <cstdint>

// Null when the allocation fails. A request of zero floats still gets a buffer.
float* work_alloc(int64_t n_floats, const char* tag);

// As work_alloc, but a failure ends the process through fatal with oom_message.
float* work_alloc_or_die(int64_t n_floats, const char* tag, const char* oom_message);
void* work_alloc_bytes_or_die(size_t bytes, const char* tag, const char* oom_message);

void work_free(void* p);

// A buffer kept by one call site for the process (the batched pass runs on
// one thread at a time, so a site's buffer has one user at a time).
struct WorkKeep {
  float* p;
  int64_t cap;  // floats
};

// k's buffer with room for n_floats, replaced by a larger one when it is too
// small (its contents are then not kept); null, with k emptied, when that
// allocation fails. A site that had room allocates nothing.
float* work_kept(WorkKeep* k, int64_t n_floats, const char* tag);

namespace work_alloc_detail {
// Every later request whose tag equals this one fails; null switches it off.
void fail_requests_tagged(const char* tag);
}  // namespace work_alloc_detail
