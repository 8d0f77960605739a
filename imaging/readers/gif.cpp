// Placeholder until the reader lands.
#include "imaging/readers/gif.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TGIFGraphic, &TBitmap::Class)

void TGIFGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }

}  // namespace quillet
