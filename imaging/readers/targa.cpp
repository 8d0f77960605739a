// Placeholder until the reader lands.
#include "imaging/readers/targa.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TTargaGraphic, &TBitmap::Class)

void TTargaGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }
void TTargaGraphic::WriteImage(TStream&) { throw Exception("not implemented"); }

}  // namespace quillet
