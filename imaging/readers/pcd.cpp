// Placeholder until the reader lands.
#include "imaging/readers/pcd.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TPCDGraphic, &TBitmap::Class)

void TPCDGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }
void TPCDGraphic::WriteImage(TStream&) { throw Exception("not implemented"); }

}  // namespace quillet
