// The commands of the quillet program. Each returns the process exit code: 0 success,
// 1 a failed operation (its message already printed as "quillet: <message>"), 2 a usage
// error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet::host {

using Args = std::vector<std::string>;

int ConvertCommand(const Args& args);     // quillet convert IN OUT [--resize WxH ...]
int InfoCommand(const Args& args);        // quillet info IN
int ThumbCommand(const Args& args);       // quillet thumb IN OUT --size WxH | IN... --out-dir DIR
int RegisterCommand(const Args& args);    // quillet register [LIBRARY] [--list]
int UnregisterCommand(const Args& args);  // quillet unregister [LIBRARY]
int RunCommand(const Args& args);         // quillet run PAGE [...]
int ServeCommand(const Args& args);       // quillet serve [...]

/// Prints "quillet: <message>" as the last line on stderr and returns 1.
int Fail(const std::string& message);
/// Prints the usage line to stderr and returns 2.
int UsageError(const std::string& usage, const std::string& problem);
/// A size WxH (or WXH) of two decimal integers from 1 to 2^31 - 1.
bool ParseSize(const std::string& text, int32_t& width, int32_t& height);
/// True when args holds -h or --help.
bool WantsHelp(const Args& args);

}  // namespace quillet::host
