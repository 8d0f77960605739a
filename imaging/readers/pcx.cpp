// Placeholder until the reader lands.
#include "imaging/readers/pcx.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TPCXGraphic, &TBitmap::Class)

void TPCXGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }
void TPCXGraphic::WriteImage(TStream&) { throw Exception("not implemented"); }

}  // namespace quillet
