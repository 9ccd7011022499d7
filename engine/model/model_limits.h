// The limits a weights file's configuration must respect for the engine to
// run it safely; checked once at open, before any state is sized from them.
#pragma once

#include "model/model.h"

// Ends the process through fatal with "model limit: ..." naming the first
// limit the configuration breaks. Limits of a layer kind apply only when some
// layer of the model is of that kind.
void check_model_limits(const ModelConfig* config);
