// quillet: the command-line face of the upload component.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "host/commands.h"
#include "imaging/ImageFormats.h"

namespace quillet::host {

namespace {

struct Command {
    const char* Name;
    int (*Run)(const Args&);
    const char* Summary;
};

const Command kCommands[] = {
    {"convert", ConvertCommand, "convert IN OUT [--resize WxH] [--filter F] [--radius R]  convert a picture"},
    {"info", InfoCommand, "info IN                 print a picture's class, size, bits and palette as JSON"},
    {"thumb", ThumbCommand, "thumb IN OUT --size WxH  make a JPEG thumbnail (or IN... --out-dir DIR)"},
    {"register", RegisterCommand, "register [LIBRARY] [--list]  register the component in the registry"},
    {"unregister", UnregisterCommand, "unregister [LIBRARY]     remove the component's registry entries"},
    {"run", RunCommand, "run PAGE [--body FILE] [--query QS] [--method M] [--content-type CT]  run one page"},
    {"serve", ServeCommand, "serve [--root DIR] [--bind ADDR] [--port N] ...  serve pages over HTTP"},
};

void PrintHelp(std::FILE* out)
{
    std::fprintf(out,
                 "usage: quillet COMMAND [ARGS]\n\n"
                 "Quillet loads uploaded pictures, scales them into JPEG thumbnails and serves the\n"
                 "upload component to pages.\n\ncommands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %s\n", c.Summary);
    std::fprintf(out, "\n'quillet COMMAND --help' explains a command.\n");
}

}  // namespace

int Fail(const std::string& message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "quillet: %s\n", message.c_str());
    return 1;
}

int UsageError(const std::string& usage, const std::string& problem)
{
    if (!problem.empty()) std::fprintf(stderr, "quillet: %s\n", problem.c_str());
    std::fprintf(stderr, "usage: %s\n", usage.c_str());
    return 2;
}

std::string ReadArgument(const Args& args, size_t& i, std::initializer_list<std::string_view> valued, TArgument& out)
{
    const std::string& arg = args[i];
    out = TArgument();
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
        out.Value = arg;
        return {};
    }
    out.Name = arg;
    const size_t equals = arg.find('=');
    if (equals != std::string::npos) {
        out.Name = arg.substr(0, equals);
        out.Value = arg.substr(equals + 1);
        out.HasEquals = true;
    } else if (std::find(valued.begin(), valued.end(), out.Name) != valued.end()) {
        if (i + 1 >= args.size()) return out.Name + " needs a value";
        out.Value = args[++i];
    }
    return {};
}

bool WantsHelp(const Args& args)
{
    for (const std::string& a : args)
        if (a == "-h" || a == "--help") return true;
    return false;
}

}  // namespace quillet::host

int main(int argc, char** argv)
{
    using namespace quillet::host;
    quillet::RegisterImageFormats();  // every reader reachable by extension
    if (argc < 2) {
        PrintHelp(stderr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "-h" || name == "--help" || name == "help") {
        PrintHelp(stdout);
        return 0;
    }
    const Args args(argv + 2, argv + argc);
    for (const Command& c : kCommands)
        if (name == c.Name) {
            try {
                return c.Run(args);
            } catch (const std::exception& e) {
                return Fail(e.what());
            }
        }
    std::fprintf(stderr, "quillet: unknown command '%s'\n", name.c_str());
    PrintHelp(stderr);
    return 2;
}
