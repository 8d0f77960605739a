// Placeholder until the reader lands.
#include "imaging/readers/cut.h"

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TCUTGraphic, &TBitmap::Class)

void TCUTGraphic::ReadImage(TStream&) { throw Exception("not implemented"); }
void TCUTGraphic::ReadImageFile(const std::string& FileName) { TBitmap::ReadImageFile(FileName); }

}  // namespace quillet
