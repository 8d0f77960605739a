// The HTTP server: pages run per request on a pool of threads of their own, other files are
// served as they are, and nothing outside the site's folder is reachable.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/automation.h"
#include "host/script.h"

struct MHD_Daemon;

namespace quillet::host {

struct TServerOptions {
    std::string Root;                         ///< the site's folder
    std::string Bind = "127.0.0.1";           ///< an IPv4 or IPv6 address
    uint16_t Port = 8080;                     ///< 0 takes any free port
    uint64_t MaxBody = uint64_t(32) << 20;    ///< a larger body gets 413
    unsigned Threads = 4;                     ///< the pool that runs pages (and as many for the network)
    unsigned TimeoutSeconds = 30;             ///< an idle connection is closed then
    /// A page's body must come at least this fast on average once it has had
    /// TimeoutSeconds: a client that trickles it is cut off.
    uint64_t MinBodyRate = 1024;              ///< bytes per second
    unsigned MaxConnections = 512;
    TPageOptions Page;
    /// Makes the object world of one request (a fresh one each time).
    std::function<std::unique_ptr<IObjectProvider>()> NewObjectWorld;
    /// Where the access log goes, one line per request; stderr when unset.
    std::function<void(const std::string&)> Log;
};

/// Where a request path leads: a status other than 200 is the answer itself.
struct TResolvedPath {
    int Status = 200;
    std::string File;        ///< the file to serve or run (no symbolic links left)
    std::string ScriptName;  ///< its path in the site, '/'-separated, decoded
    std::string Location;    ///< for 301: where the folder with its '/' is
};

/// Resolves the raw path of a request (before any '?', still %-encoded) inside the site
/// folder root (absolute, symbolic links resolved). A "..", a "\\" or a zero byte in the
/// path, or a name starting with '.', is refused whatever its encoding; so is a symbolic
/// link that leads out of the root. A folder serves its index.asp or index.html.
TResolvedPath ResolveRequestPath(const std::string& root, const std::string& rawPath);

/// The content type for a file name, by its extension.
const char* ContentTypeFor(const std::string& fileName);

class THttpServer {
public:
    explicit THttpServer(TServerOptions options);
    ~THttpServer();
    THttpServer(const THttpServer&) = delete;
    THttpServer& operator=(const THttpServer&) = delete;

    /// Starts listening; raises Exception when the address cannot be had.
    void Start();
    /// The port it listens on.
    uint16_t Port() const { return FPort; }
    /// Stops taking connections, lets the requests in flight finish (for at most grace
    /// seconds; a page still waiting for a worker then gets 503, one that runs is waited
    /// for), then closes everything.
    void Stop(unsigned graceSeconds = 30);

    struct TState;
    class TPageWorkers;

private:
    TServerOptions FOptions;
    MHD_Daemon* FDaemon = nullptr;
    uint16_t FPort = 0;
    std::atomic<int> FInFlight{0};
    std::unique_ptr<TPageWorkers> FWorkers;
    std::atomic<bool> FCancelPages{false};  // pages not yet begun are answered 503
    friend struct TState;
};

}  // namespace quillet::host
