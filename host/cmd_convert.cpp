// Placeholder until the command lands.
#include "host/commands.h"

namespace quillet::host {

int ConvertCommand(const Args&) { return Fail("quillet convert is not available yet"); }

}  // namespace quillet::host
