// Placeholder until the command lands.
#include "host/commands.h"

namespace quillet::host {

int InfoCommand(const Args&) { return Fail("quillet info is not available yet"); }

}  // namespace quillet::host
