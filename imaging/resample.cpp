// Placeholder until the resampler lands.
#include "imaging/resample.h"

#include "platform/errors.h"

namespace quillet {

const TKernelFunction KernelTable[7] = {};
const float KernelRadius[7] = {0.5f, 1.0f, 1.0f, 1.5f, 2.0f, 3.0f, 2.0f};

void ResampleBitmap(int32_t, int32_t, TFilterKind, float, TBitmap&, TBitmap&) { throw Exception("not implemented"); }

}  // namespace quillet
