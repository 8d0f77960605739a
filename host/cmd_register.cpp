// Placeholder until the command lands.
#include "host/commands.h"

namespace quillet::host {

int RegisterCommand(const Args&) { return Fail("quillet register is not available yet"); }

}  // namespace quillet::host
