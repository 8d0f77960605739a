// Placeholder until the reader lands.
#include "imaging/readers/psd.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TPSDGraphic, &TBitmap::Class)

void TPSDGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }

}  // namespace quillet
