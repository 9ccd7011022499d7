// Choosing the next token from the logits: repetition penalty over the recent
// ids, then the greedy choice or temperature, top-k, softmax, top-p and one
// draw from the process-wide xorshift64* generator.
#pragma once

#include <cstdint>

#include "runtime/state.h"

constexpr int32_t REP_WINDOW = 200;
constexpr int32_t TOP_K_FALLBACK = 64;
constexpr uint64_t RNG_START = 88172645463325252ull;
constexpr uint64_t RNG_MULTIPLIER = 0x2545F4914F6CDD1Dull;

// The generator state of the process; olvu_start seeds it.
extern uint64_t rng_state;

// One xorshift64* step: advances rng_state and returns the new state.
uint64_t rng_step();

// The k best logits of L[0 .. V-1] in the order of k passes that each take the
// first index not yet chosen and replace it only by a strictly larger logit:
// descending logit, equal logits by ascending id, a NaN taken exactly when it
// sits at the lowest index not yet chosen. Needs 1 <= k <= V.
void topk_select(const float* L, int32_t V, int32_t k, int32_t* ids, float* vals);

// Draws the next id with the stream's settings; changes the logits in place.
int64_t sample_token(Stream* stream);
