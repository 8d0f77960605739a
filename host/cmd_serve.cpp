// Placeholder until the command lands.
#include "host/commands.h"

namespace quillet::host {

int ServeCommand(const Args&) { return Fail("quillet serve is not available yet"); }

}  // namespace quillet::host
