// The commands of the quillet program. Each returns the process exit code: 0 success,
// 1 a failed operation (its message already printed as "quillet: <message>"), 2 a usage
// error.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
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
/// One command-line argument: a positional one (Name empty, its text in Value), or an
/// option "--name", "--name=value", or "--name value" for an option that takes a value.
struct TArgument {
    std::string Name;
    std::string Value;
    bool HasEquals = false;  ///< the value came after '='
};
/// Reads the argument at i, and the one after it as the value of an option named in
/// valued that has no '='; i is left at the last one read. Returns what is wrong ("--size
/// needs a value"), or empty text.
std::string ReadArgument(const Args& args, size_t& i, std::initializer_list<std::string_view> valued, TArgument& out);
/// True when args holds -h or --help.
bool WantsHelp(const Args& args);

}  // namespace quillet::host
