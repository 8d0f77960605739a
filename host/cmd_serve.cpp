// quillet serve: the HTTP server for the site's pages and files, until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/commands.h"
#include "host/http.h"
#include "host/objects.h"
#include "platform/bitmap.h"
#include "platform/files.h"

namespace quillet::host {

namespace {

constexpr char kUsage[] =
    "quillet serve [--root DIR] [--bind ADDR] [--port N] [--max-body BYTES] [--threads N] [--max-pixels N] "
    "[--timeout SECONDS] [--page-timeout SECONDS]";

uint64_t Number(const std::string& option, const std::string& text, uint64_t low, uint64_t high)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno == ERANGE || value < low || value > high)
        throw std::invalid_argument(option + " needs a number from " + std::to_string(low) + " to " +
                                    std::to_string(high));
    return value;
}

}  // namespace

int ServeCommand(const Args& args)
{
    if (WantsHelp(args)) {
        std::printf("usage: %s\n\n"
                    "Serves the site over HTTP/1.1: .asp pages run per request, other files are sent\n"
                    "as they are. Defaults: --root the site in the source tree, --bind 127.0.0.1,\n"
                    "--port 8080 (0: any free port), --max-body 33554432, --threads 4,\n"
                    "--max-pixels 100000000, --timeout 30 (idle connection), --page-timeout 90.\n"
                    "SIGINT or SIGTERM lets the requests in flight finish, then exits 0. At start, the\n"
                    "load folders that a killed server left in the temporary folder are removed.\n",
                    kUsage);
        return 0;
    }
    TServerOptions options;
    options.Root = QUILLET_SITE_DIR;
    std::string maxPixels;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        try {
            if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
            const std::string& v = args[++i];
            if (a == "--root") options.Root = v;
            else if (a == "--bind") options.Bind = v;
            else if (a == "--port") options.Port = uint16_t(Number(a, v, 0, 65535));
            else if (a == "--max-body") options.MaxBody = Number(a, v, 0, uint64_t(1) << 40);
            else if (a == "--threads") options.Threads = unsigned(Number(a, v, 1, 256));
            else if (a == "--max-pixels") maxPixels = std::to_string(Number(a, v, 1, uint64_t(1) << 40));
            else if (a == "--timeout") options.TimeoutSeconds = unsigned(Number(a, v, 1, 86400));
            else if (a == "--page-timeout") options.Page.TimeoutSeconds = int(Number(a, v, 1, 86400));
            else return UsageError(kUsage, "unknown option " + a);
        } catch (const std::invalid_argument& e) {
            return UsageError(kUsage, e.what());
        }
    }
    if (!maxPixels.empty()) {
        // Before any library is loaded: the component reads it when it starts.
        setenv(kPixelLimitVariable, maxPixels.c_str(), 1);
        TBitmap::SetPixelLimit(std::stoll(maxPixels));
    }
    options.NewObjectWorld = [] { return std::make_unique<TRegistryObjectProvider>(); };

    // The signals are taken by this thread alone: the server's threads, started after
    // this, inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The load folders of a server that was killed in the middle of loads hold copies of
    // uploads that nothing will remove otherwise.
    if (const size_t removed = RemoveStaleLoadFolders(TempFolder()))
        std::fprintf(stderr, "quillet: removed %zu load folder%s left by a server that was stopped mid-load\n",
                     removed, removed == 1 ? "" : "s");
    THttpServer server(options);
    server.Start();
    const std::string where = options.Bind.find(':') != std::string::npos ? "[" + options.Bind + "]" : options.Bind;
    std::fprintf(stderr, "quillet: serving %s on http://%s:%u/\n", options.Root.c_str(), where.c_str(),
                 unsigned(server.Port()));
    int signal = 0;
    sigwait(&signals, &signal);
    std::fprintf(stderr, "quillet: %s received, finishing the requests in flight\n",
                 signal == SIGINT ? "SIGINT" : "SIGTERM");
    server.Stop(30);
    std::fprintf(stderr, "quillet: stopped\n");
    return 0;
}

}  // namespace quillet::host
