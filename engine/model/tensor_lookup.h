// Finding tensors by name at every use, with the "model.language_model."
// retry and the missing-tensor report; plus the checked views a forward pass
// takes of a tensor for one use.
#pragma once

#include <cstdint>

#include "model/model.h"

// Never returns null: a missing tensor ends the process with its own report.
TensorEntry* get(const ModelConfig* config, const char* pattern, int32_t layer);

// get, then checks the tensor can serve as a matrix of rows x K inputs:
// q8 needs K a multiple of 32, and the data must hold every row.
const TensorEntry* get_matrix(const ModelConfig* config, const char* pattern, int32_t layer,
                              int64_t rows, int64_t K);

// get, then checks the tensor has f32 data of at least n floats.
const float* get_vector(const ModelConfig* config, const char* pattern, int32_t layer,
                        int64_t n);
