// quillet run PAGE: runs one page as for a request, the response body on stdout.
#include <cstdio>
#include <cstdlib>

#include "host/commands.h"
#include "host/objects.h"
#include "host/script.h"
#include "platform/files.h"
#include "host/request.h"
#include "platform/stream.h"

namespace quillet::host {

namespace {

constexpr char kUsage[] =
    "quillet run PAGE [--body FILE] [--query QS] [--method M] [--content-type CT] [--timeout SECONDS]";

}  // namespace

int RunCommand(const Args& args)
{
    if (WantsHelp(args)) {
        std::printf("usage: %s\n\nRuns PAGE once, as for a request with that body, query string, method and\n"
                    "content type, and writes the response body to stdout. Exit 0 when the page ran\n"
                    "to its end; 1 when an error was not caught (its text on stderr).\n",
                    kUsage);
        return 0;
    }
    TPageRequest request;
    TPageOptions options;
    std::string page, bodyFile;
    bool methodGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* name) -> const std::string& {
            if (i + 1 >= args.size()) throw std::invalid_argument(std::string(name) + " needs a value");
            return args[++i];
        };
        try {
            if (a == "--body") {
                bodyFile = value("--body");
            } else if (a == "--query") {
                request.QueryString = value("--query");
                if (!request.QueryString.empty() && request.QueryString[0] == '?') request.QueryString.erase(0, 1);
            } else if (a == "--method") {
                request.Method = value("--method");
                methodGiven = true;
            } else if (a == "--content-type") {
                request.ContentType = value("--content-type");
            } else if (a == "--timeout") {
                options.TimeoutSeconds = std::stoi(value("--timeout"));
            } else if (!a.empty() && a[0] == '-') {
                return UsageError(kUsage, "unknown option " + a);
            } else if (page.empty()) {
                page = a;
            } else {
                return UsageError(kUsage, "more than one page");
            }
        } catch (const std::exception& e) {
            return UsageError(kUsage, e.what());
        }
    }
    if (page.empty()) return UsageError(kUsage, "no page given");
    if (!bodyFile.empty()) {
        TMemoryStream body;
        body.LoadFromFile(bodyFile);
        request.Body.assign(body.Memory(), body.Memory() + body.Size());
        if (!methodGiven) request.Method = "POST";
    }
    // The page's folder is the site root; the page is at its top.
    char* real = realpath(page.c_str(), nullptr);
    if (real == nullptr) return Fail("Cannot open the page " + page);
    const std::string pagePath = real;
    std::free(real);
    const size_t slash = pagePath.rfind('/');
    request.PagePath = pagePath;
    request.Root = pagePath.substr(0, slash);
    request.ScriptName = pagePath.substr(slash);

    TRegistryObjectProvider provider;
    TPageResponse response;
    const std::optional<TScriptFailure> failure = RunPage(request, response, provider, options);
    if (failure) return Fail(failure->Text());
    std::fwrite(response.Body.data(), 1, response.Body.size(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace quillet::host
