// Placeholder until the reader lands.
#include "imaging/readers/rla.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TRLAGraphic, &TBitmap::Class)

void TRLAGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }

}  // namespace quillet
