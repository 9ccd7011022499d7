/* The engine's C interface: open a weights file, start a generation from a
 * prompt of token ids, draw tokens one by one, reset the decoding state.
 * Every call must come from one thread at a time, process-wide. */
#ifndef OLVU_H
#define OLVU_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Engine Engine;
typedef struct Stream Stream;
typedef Stream* StreamHandle;
typedef int64_t TokenId;

/* Never returns null: a load failure ends the process with exit status 1. */
Engine* olvu_open(const char* path, int32_t threads);

/* Null when count is outside 1..4095. */
StreamHandle olvu_start(Engine* engine, const TokenId* ids, int32_t count,
                        int32_t top_k, uint64_t seed, TokenId stop_token,
                        float temperature, float top_p, float repetition_penalty);

/* The appended id, or -1 when the stop token is drawn or the sequence is full. */
TokenId olvu_next(StreamHandle handle);

void olvu_reset(Engine* engine);

#ifdef __cplusplus
}
#endif

#endif
