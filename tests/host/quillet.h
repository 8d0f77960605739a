// Runs the quillet program built beside the tests.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace quillet::test {

inline RunResult Quillet(std::vector<std::string> args)
{
    args.insert(args.begin(), QUILLET_BINARY_DIR "/quillet");
    return Run(args);
}

}  // namespace quillet::test
