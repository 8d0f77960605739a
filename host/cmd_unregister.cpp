// Placeholder until the command lands.
#include "host/commands.h"

namespace quillet::host {

int UnregisterCommand(const Args&) { return Fail("quillet unregister is not available yet"); }

}  // namespace quillet::host
