// Placeholder until the command lands.
#include "host/commands.h"

namespace quillet::host {

int ThumbCommand(const Args&) { return Fail("quillet thumb is not available yet"); }

}  // namespace quillet::host
