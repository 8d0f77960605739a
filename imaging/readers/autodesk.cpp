// Placeholder until the reader lands.
#include "imaging/readers/autodesk.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TAutodeskGraphic, &TBitmap::Class)

void TAutodeskGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }

}  // namespace quillet
