// The batched prefill: the new tokens of a prompt through every layer as one
// batch from position n_cached, leaving the logits of the last token.
#pragma once

#include <cstdint>

#include "runtime/state.h"

// logits may be null: the caches advance and no logits are formed.
void prefill_batch(RuntimeState* state, const TokenId* tokens, int32_t count, float* logits);
