// The one-token forward pass: feeds one id through every layer at each
// layer's own next position and writes the logits of the following token.
#pragma once

#include "runtime/state.h"

void decode_step(RuntimeState* state, TokenId token, float* logits);
