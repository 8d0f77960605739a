// Placeholder until the reader lands.
#include "imaging/readers/tiff.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TTIFFGraphic, &TBitmap::Class)

void TTIFFGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }
void TTIFFGraphic::WriteImage(TStream&) { throw Exception("not implemented"); }

}  // namespace quillet
