// Placeholder until the command lands.
#include "host/commands.h"

namespace quillet::host {

int RunCommand(const Args&) { return Fail("quillet run is not available yet"); }

}  // namespace quillet::host
