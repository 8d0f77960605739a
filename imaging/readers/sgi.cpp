// Placeholder until the reader lands.
#include "imaging/readers/sgi.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TSGIGraphic, &TBitmap::Class)

void TSGIGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }

}  // namespace quillet
