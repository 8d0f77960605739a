// The HTTP server on libmicrohttpd. The library parses HTTP; this file decides what a
// request reaches, collects a page's body within the limit and within time, runs the page
// on a worker of its own while the connection waits suspended (so that the library's
// thread goes on serving every other connection it holds, and none of them times out
// behind a long page), and writes one access-log line per request.
#include "host/http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <microhttpd.h>

#include "host/request.h"

namespace quillet::host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxLoggedUri = 512;

bool EndsWith(const std::string& s, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return s.size() >= n && SameText(s.substr(s.size() - n), suffix);
}

bool IsPage(const std::string& file) { return EndsWith(file, ".asp"); }

// A regular file or folder below root, by real path; empty when absent or outside.
std::string RealInside(const std::string& root, const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) return std::string();
    std::string result = real;
    std::free(real);
    if (result != root && result.compare(0, root.size() + 1, root + "/") != 0) return "\x01";
    return result;
}

// A body that outgrows the limit without having declared its length is read on and
// dropped up to as much again (at least this much), so that a client that sends a little
// too much hears why; past that the connection is closed.
constexpr uint64_t kMinDiscard = uint64_t(1) << 20;

// The state of one request, from its first line to its completion.
struct TExchange {
    std::string RawUri;
    std::string Method, Version;
    Clock::time_point Started = Clock::now();
    Clock::time_point HeadersDone;
    bool Begun = false;     // the access handler has seen it
    bool Deferred = false;  // answered once the request has been read (it has no body)
    bool Receiving = false; // a page's body is coming in
    bool TooLarge = false;
    bool PageQueued = false;          // handed to a worker; the connection is suspended
    std::atomic<bool> PageDone{false};  // the worker has put its response here
    const char* Note = nullptr;       // why the server closed the connection, for the log
    size_t Declared = 0;    // the body's Content-Length, within the limit
    uint64_t Received = 0;  // body bytes that came, kept or not
    int Status = 0;
    uint64_t Bytes = 0;
    TResolvedPath Target;
    TPageRequest Request;
    TPageResponse Response;
};

// Whether the request says a body follows: a non-zero Content-Length or any transfer coding.
bool HasBody(MHD_Connection* connection)
{
    if (MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr)
        return true;
    const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return length != nullptr && std::strspn(length, "0") != std::strlen(length);
}

}  // namespace

const char* ContentTypeFor(const std::string& fileName)
{
    static const struct {
        const char* Extension;
        const char* Type;
    } kTypes[] = {
        {".html", "text/html; charset=utf-8"}, {".htm", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},   {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"}, {".json", "application/json"},
        {".txt", "text/plain; charset=utf-8"}, {".xml", "application/xml"},
        {".svg", "image/svg+xml"},             {".png", "image/png"},
        {".jpg", "image/jpeg"},                {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},                 {".webp", "image/webp"},
        {".ico", "image/x-icon"},              {".bmp", "image/bmp"},
        {".tif", "image/tiff"},                {".tiff", "image/tiff"},
        {".woff2", "font/woff2"},              {".woff", "font/woff"},
        {".pdf", "application/pdf"},           {".wasm", "application/wasm"},
    };
    for (const auto& t : kTypes)
        if (EndsWith(fileName, t.Extension)) return t.Type;
    return "application/octet-stream";
}

TResolvedPath ResolveRequestPath(const std::string& root, const std::string& rawPath)
{
    TResolvedPath result;
    if (rawPath.empty() || rawPath[0] != '/') {
        result.Status = 400;
        return result;
    }
    // Decode once; every test below is on the decoded bytes, so an encoded dot or
    // slash is no way round them.
    std::string path;
    for (size_t i = 0; i < rawPath.size(); ++i) {
        if (rawPath[i] != '%') {
            path.push_back(rawPath[i]);
            continue;
        }
        if (i + 2 >= rawPath.size() || HexDigitValue(rawPath[i + 1]) < 0 || HexDigitValue(rawPath[i + 2]) < 0) {
            result.Status = 400;
            return result;
        }
        path.push_back(char(HexDigitValue(rawPath[i + 1]) * 16 + HexDigitValue(rawPath[i + 2])));
        i += 2;
    }
    std::string relative;
    size_t i = 1;
    while (i <= path.size()) {
        size_t end = path.find('/', i);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(i, end - i);
        i = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == ".." || part.find('\\') != std::string::npos || part.find('\0') != std::string::npos) {
            result.Status = part == ".." ? 403 : 400;
            return result;
        }
        // Hidden files (.git, .env...) are not part of a site.
        if (part[0] == '.') {
            result.Status = 404;
            return result;
        }
        relative += "/" + part;
    }
    std::string real = RealInside(root, root + relative);
    if (real.empty()) {
        result.Status = 404;
        return result;
    }
    if (real == "\x01") {
        result.Status = 403;
        return result;
    }
    struct stat st;
    if (stat(real.c_str(), &st) != 0) {
        result.Status = 404;
        return result;
    }
    if (S_ISDIR(st.st_mode)) {
        if (path.back() != '/') {
            result.Status = 301;
            result.Location = rawPath + "/";
            return result;
        }
        for (const char* index : {"index.asp", "index.html"}) {
            const std::string file = RealInside(root, real + "/" + index);
            if (file.empty()) continue;
            if (file == "\x01") {
                result.Status = 403;
                return result;
            }
            if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                result.File = file;
                result.ScriptName = (relative.empty() ? "" : relative) + "/" + index;
                return result;
            }
        }
        result.Status = 404;
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.Status = 404;
        return result;
    }
    result.File = real;
    result.ScriptName = relative;
    return result;
}

namespace {

// Request text as it may appear in the log: printable ASCII, the rest as \xNN.
std::string Printable(const std::string& text)
{
    std::string out;
    for (unsigned char c : text.substr(0, kMaxLoggedUri)) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out.push_back(char(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    if (text.size() > kMaxLoggedUri) out += "...";
    return out;
}

void LogToStderr(const std::string& line) { std::fwrite(line.data(), 1, line.size(), stderr); }

void LibraryMessage(void*, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    std::string line = std::string("quillet: http: ") + text;
    if (line.back() != '\n') line.push_back('\n');
    LogToStderr(line);
}

}  // namespace

// The threads pages run on, apart from the library's: a job waits its turn in order.
class THttpServer::TPageWorkers {
public:
    explicit TPageWorkers(unsigned count)
    {
        for (unsigned i = 0; i < count; ++i) FThreads.emplace_back([this] { Work(); });
    }
    ~TPageWorkers() { Stop(); }
    TPageWorkers(const TPageWorkers&) = delete;
    TPageWorkers& operator=(const TPageWorkers&) = delete;

    /// False once the workers stop: the job will not run.
    bool Post(std::function<void()> job)
    {
        {
            std::lock_guard<std::mutex> lock(FMutex);
            if (FStopping) return false;
            FJobs.push_back(std::move(job));
        }
        FWake.notify_one();
        return true;
    }

    /// Runs every job queued before, then ends the threads.
    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(FMutex);
            FStopping = true;
        }
        FWake.notify_all();
        for (std::thread& thread : FThreads)
            if (thread.joinable()) thread.join();
        FThreads.clear();
    }

private:
    void Work()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(FMutex);
                FWake.wait(lock, [this] { return FStopping || !FJobs.empty(); });
                if (FJobs.empty()) return;
                job = std::move(FJobs.front());
                FJobs.pop_front();
            }
            job();
        }
    }

    std::mutex FMutex;
    std::condition_variable FWake;
    std::deque<std::function<void()>> FJobs;
    std::vector<std::thread> FThreads;
    bool FStopping = false;
};

struct THttpServer::TState {
    static void* BeginRequest(void* cls, const char* uri, MHD_Connection*)
    {
        (void)cls;
        auto* exchange = new (std::nothrow) TExchange();
        if (exchange != nullptr && uri != nullptr) exchange->RawUri = uri;
        return exchange;
    }

    static MHD_Result Queue(MHD_Connection* connection, TExchange& exchange, int status, const char* type,
                            const std::string& body,
                            const std::vector<std::pair<std::string, std::string>>& headers = {})
    {
        MHD_Response* response =
            MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
        MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
        for (const auto& [name, value] : headers) MHD_add_response_header(response, name.c_str(), value.c_str());
        exchange.Status = status;
        exchange.Bytes = body.size();
        const MHD_Result queued = MHD_queue_response(connection, unsigned(status), response);
        MHD_destroy_response(response);
        return queued;
    }

    static MHD_Result QueueStatus(MHD_Connection* connection, TExchange& exchange, int status,
                                  const std::vector<std::pair<std::string, std::string>>& headers = {})
    {
        const char* reason = MHD_get_reason_phrase_for(unsigned(status));
        return Queue(connection, exchange, status, "text/plain; charset=utf-8",
                     std::to_string(status) + " " + reason + "\n", headers);
    }

    static MHD_Result ServeFile(MHD_Connection* connection, TExchange& exchange)
    {
        const int fd = open(exchange.Target.File.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0) close(fd);
            return QueueStatus(connection, exchange, 404);
        }
        MHD_Response* response = MHD_create_response_from_fd64(uint64_t(st.st_size), fd);
        if (response == nullptr) {
            close(fd);
            return MHD_NO;
        }
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, ContentTypeFor(exchange.Target.File));
        MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
        exchange.Status = 200;
        exchange.Bytes = uint64_t(st.st_size);
        const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
        MHD_destroy_response(response);
        return queued;
    }

    static void FillRequest(THttpServer& server, MHD_Connection* connection, TExchange& exchange)
    {
        TPageRequest& request = exchange.Request;
        request.Method = exchange.Method;
        request.Protocol = exchange.Version;
        const size_t query = exchange.RawUri.find('?');
        if (query != std::string::npos) request.QueryString = exchange.RawUri.substr(query + 1);
        request.ScriptName = exchange.Target.ScriptName;
        request.PagePath = exchange.Target.File;
        request.Root = server.FOptions.Root;
        request.ServerPort = std::to_string(server.FPort);
        if (const char* type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE))
            request.ContentType = type;
        if (const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST)) {
            std::string name = host;
            const size_t colon = name.rfind(':');
            if (colon != std::string::npos && name.find(']', colon) == std::string::npos) name.resize(colon);
            request.ServerName = name;
        }
        MHD_get_connection_values(
            connection, MHD_HEADER_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
                static_cast<TPageRequest*>(cls)->Headers.emplace_back(key ? key : "", value ? value : "");
                return MHD_YES;
            },
            &request);
        request.RemoteAddr = ClientAddress(connection);
    }

    static std::string ClientAddress(MHD_Connection* connection)
    {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (info == nullptr || info->client_addr == nullptr) return "-";
        char text[INET6_ADDRSTRLEN] = "-";
        const sockaddr* address = info->client_addr;
        if (address->sa_family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
        else if (address->sa_family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
        return text;
    }

    static void StatusResponse(TPageResponse& response, int status)
    {
        response = TPageResponse();
        response.Status = status;
        response.ContentType = "text/plain; charset=utf-8";
        response.Body = std::to_string(status) + " " + MHD_get_reason_phrase_for(unsigned(status)) + "\n";
    }

    // On a worker: the page's response into the exchange, then the connection goes on.
    static void RunPage(THttpServer& server, MHD_Connection* connection, TExchange& exchange) noexcept
    {
        try {
            if (server.FCancelPages.load()) {
                StatusResponse(exchange.Response, 503);
            } else {
                std::unique_ptr<IObjectProvider> world = server.FOptions.NewObjectWorld();
                host::RunPage(exchange.Request, exchange.Response, *world, server.FOptions.Page);
            }
        } catch (...) {
            StatusResponse(exchange.Response, 500);
        }
        exchange.Request.Body.clear();
        exchange.Request.Body.shrink_to_fit();
        exchange.PageDone.store(true, std::memory_order_release);
        MHD_resume_connection(connection);
    }

    // Suspends the connection and hands its page to a worker; the library calls the
    // access handler again when the worker resumes it. A page that comes in while the
    // server stops (on a connection kept open) is answered 503.
    static MHD_Result StartPage(THttpServer& server, MHD_Connection* connection, TExchange& exchange)
    {
        exchange.PageQueued = true;
        MHD_suspend_connection(connection);
        int status = 503;
        try {
            if (server.FWorkers->Post([&server, connection, &exchange] { RunPage(server, connection, exchange); }))
                return MHD_YES;
        } catch (const std::exception&) {
            status = 500;
        }
        StatusResponse(exchange.Response, status);
        exchange.PageDone.store(true, std::memory_order_release);
        MHD_resume_connection(connection);
        return MHD_YES;
    }

    // An answer given on the first call closes the connection (the library cannot know
    // what would follow); a request without a body waits for the next call and keeps its
    // connection open for the client's next request.
    static MHD_Result Answer(MHD_Connection* connection, TExchange& exchange)
    {
        const TResolvedPath& target = exchange.Target;
        if (target.Status == 301) {
            std::string location = target.Location;
            const size_t query = exchange.RawUri.find('?');
            if (query != std::string::npos) location += exchange.RawUri.substr(query);
            return QueueStatus(connection, exchange, 301, {{"Location", location}});
        }
        if (target.Status != 200) return QueueStatus(connection, exchange, target.Status);
        if (exchange.Method != "GET" && exchange.Method != "HEAD")
            return QueueStatus(connection, exchange, 405, {{"Allow", "GET, HEAD"}});
        return ServeFile(connection, exchange);
    }

    // A body still coming after the first TimeoutSeconds must have come at MinBodyRate.
    static bool TooSlow(const THttpServer& server, const TExchange& exchange)
    {
        const double seconds = std::chrono::duration<double>(Clock::now() - exchange.HeadersDone).count();
        return seconds > double(server.FOptions.TimeoutSeconds) &&
               double(exchange.Received) < double(server.FOptions.MinBodyRate) * seconds;
    }

    static MHD_Result Access(void* cls, MHD_Connection* connection, const char*, const char* method,
                             const char* version, const char* uploadData, size_t* uploadSize, void** context)
    {
        THttpServer& server = *static_cast<THttpServer*>(cls);
        auto* exchange = static_cast<TExchange*>(*context);
        if (exchange == nullptr) return MHD_NO;
        try {
            if (!exchange->Begun) {
                exchange->Begun = true;
                exchange->HeadersDone = Clock::now();
                exchange->Method = method ? method : "";
                exchange->Version = version ? version : "";
                server.FInFlight.fetch_add(1);
                const std::string rawPath = exchange->RawUri.substr(0, exchange->RawUri.find('?'));
                exchange->Target = ResolveRequestPath(server.FOptions.Root, rawPath);
                if (exchange->Target.Status != 200 || !IsPage(exchange->Target.File)) {
                    if (HasBody(connection)) return Answer(connection, *exchange);
                    exchange->Deferred = true;
                    return MHD_YES;
                }
                // A page: refuse a declared body above the limit before any of it is read.
                if (const char* length =
                        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
                    char* end = nullptr;
                    errno = 0;
                    const unsigned long long n = std::strtoull(length, &end, 10);
                    if (end == length || *end != '\0' || errno == ERANGE || length[0] == '-')
                        return QueueStatus(connection, *exchange, 400);
                    if (n > server.FOptions.MaxBody) return QueueStatus(connection, *exchange, 413);
                    exchange->Declared = size_t(n);
                }
                FillRequest(server, connection, *exchange);
                exchange->Receiving = true;
                return MHD_YES;
            }
            if (exchange->Deferred) {
                // A body the headers did not announce is not read.
                if (*uploadSize > 0) return MHD_NO;
                exchange->Deferred = false;
                return Answer(connection, *exchange);
            }
            if (exchange->PageQueued) {
                if (!exchange->PageDone.load(std::memory_order_acquire)) return MHD_YES;
                exchange->PageQueued = false;
                const TPageResponse& response = exchange->Response;
                return Queue(connection, *exchange, response.Status, response.ContentType.c_str(), response.Body,
                             response.Headers);
            }
            if (!exchange->Receiving) return MHD_YES;
            if (*uploadSize > 0) {
                const size_t n = *uploadSize;
                *uploadSize = 0;
                exchange->Received += n;
                if (TooSlow(server, *exchange)) {
                    exchange->Note = "too-slow";
                    return MHD_NO;
                }
                if (exchange->TooLarge) {
                    if (exchange->Received - server.FOptions.MaxBody > std::max(server.FOptions.MaxBody, kMinDiscard)) {
                        exchange->Note = "too-large";
                        return MHD_NO;
                    }
                    return MHD_YES;
                }
                if (n > server.FOptions.MaxBody - exchange->Request.Body.size()) {
                    // A body without a declared length that outgrows the limit: what is
                    // left is dropped, and the 413 goes out once it has ended.
                    exchange->TooLarge = true;
                    exchange->Request.Body.clear();
                    exchange->Request.Body.shrink_to_fit();
                    return MHD_YES;
                }
                // Room for the declared body once its first bytes are here, not before.
                if (exchange->Request.Body.empty()) exchange->Request.Body.reserve(std::max(exchange->Declared, n));
                exchange->Request.Body.insert(exchange->Request.Body.end(), uploadData, uploadData + n);
                return MHD_YES;
            }
            exchange->Receiving = false;
            if (exchange->TooLarge) return QueueStatus(connection, *exchange, 413);
            return StartPage(server, connection, *exchange);
        } catch (const std::exception&) {
            // Out of memory for a body or a response: the request cannot be answered.
            return QueueStatus(connection, *exchange, 500);
        }
    }

    static void WriteLog(THttpServer& server, MHD_Connection* connection, const TExchange& exchange, int code)
    {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - exchange.Started);
        char when[64];
        const std::time_t now = std::time(nullptr);
        std::tm tm;
        gmtime_r(&now, &tm);
        std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S +0000", &tm);
        std::string line = ClientAddress(connection) + " - - [" + when + "] \"" + Printable(exchange.Method) +
                           " " + Printable(exchange.RawUri) + " " + Printable(exchange.Version) + "\" " +
                           (exchange.Status ? std::to_string(exchange.Status) : "-") + " " +
                           std::to_string(exchange.Bytes) + " " + std::to_string(elapsed.count()) + "ms";
        switch (code) {
        case MHD_REQUEST_TERMINATED_COMPLETED_OK: break;
        case MHD_REQUEST_TERMINATED_TIMEOUT_REACHED: line += " timeout"; break;
        case MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN: line += " shutdown"; break;
        case MHD_REQUEST_TERMINATED_CLIENT_ABORT: line += " client-closed"; break;
        default: line += exchange.Note != nullptr ? std::string(" ") + exchange.Note : std::string(" closed"); break;
        }
        server.FOptions.Log(line + "\n");
    }

    static void EndRequest(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode code)
    {
        THttpServer& server = *static_cast<THttpServer*>(cls);
        auto* exchange = static_cast<TExchange*>(*context);
        *context = nullptr;
        if (exchange == nullptr) return;
        if (exchange->Begun || !exchange->RawUri.empty()) WriteLog(server, connection, *exchange, code);
        if (exchange->Begun) server.FInFlight.fetch_sub(1);
        delete exchange;
    }
};


THttpServer::THttpServer(TServerOptions options) : FOptions(std::move(options))
{
    if (!FOptions.Log) FOptions.Log = LogToStderr;
}

THttpServer::~THttpServer() { Stop(0); }

void THttpServer::Start()
{
    char* real = realpath(FOptions.Root.c_str(), nullptr);
    if (real == nullptr) throw Exception("The site folder " + FOptions.Root + " does not exist");
    FOptions.Root = real;
    std::free(real);
    if (!FOptions.NewObjectWorld) throw Exception("No object world for the server");

    sockaddr_storage address{};
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (inet_pton(AF_INET, FOptions.Bind.c_str(), &reinterpret_cast<sockaddr_in*>(&address)->sin_addr) == 1) {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_port = htons(FOptions.Port);
    } else if (inet_pton(AF_INET6, FOptions.Bind.c_str(), &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr) == 1) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(FOptions.Port);
        flags |= MHD_USE_IPv6;
    } else {
        throw Exception("Not an IP address: " + FOptions.Bind);
    }
    const unsigned threads = std::max(1u, FOptions.Threads);
    FCancelPages = false;
    FWorkers = std::make_unique<TPageWorkers>(threads);
    // One network thread needs no pool (the library complains of a pool of one).
    MHD_OptionItem pool[] = {{threads > 1 ? MHD_OPTION_THREAD_POOL_SIZE : MHD_OPTION_END, intptr_t(threads), nullptr},
                             {MHD_OPTION_END, 0, nullptr}};
    FDaemon = MHD_start_daemon(
        flags, FOptions.Port, nullptr, nullptr, &TState::Access, this,
        MHD_OPTION_EXTERNAL_LOGGER, &LibraryMessage, nullptr,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
        MHD_OPTION_ARRAY, pool,
        MHD_OPTION_CONNECTION_TIMEOUT, FOptions.TimeoutSeconds,
        MHD_OPTION_CONNECTION_LIMIT, FOptions.MaxConnections,
        MHD_OPTION_URI_LOG_CALLBACK, &TState::BeginRequest, this,
        MHD_OPTION_NOTIFY_COMPLETED, &TState::EndRequest, this,
        MHD_OPTION_END);
    if (FDaemon == nullptr) {
        FWorkers.reset();
        throw Exception("Cannot listen on " + FOptions.Bind + " port " + std::to_string(FOptions.Port));
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(FDaemon, MHD_DAEMON_INFO_BIND_PORT);
    FPort = info != nullptr ? info->port : FOptions.Port;
}

void THttpServer::Stop(unsigned graceSeconds)
{
    if (FDaemon == nullptr) return;
    const MHD_socket listener = MHD_quiesce_daemon(FDaemon);
    if (listener != MHD_INVALID_SOCKET) close(listener);
    const auto deadline = Clock::now() + std::chrono::seconds(graceSeconds);
    while (FInFlight.load() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // No connection may stay suspended when the library stops: the pages still queued are
    // answered 503 and the running ones finish, each resuming its connection.
    FCancelPages = true;
    FWorkers->Stop();
    MHD_stop_daemon(FDaemon);
    FDaemon = nullptr;
    FWorkers.reset();
}

}  // namespace quillet::host
