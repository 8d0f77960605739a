// Placeholder until the reader lands.
#include "imaging/readers/ppm.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TPPMGraphic, &TBitmap::Class)

void TPPMGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }

}  // namespace quillet
