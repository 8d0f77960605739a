#include "host/http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "host/objects.h"
#include "tests/support/files.h"

namespace quillet::host {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

void Write(const std::string& path, const std::string& text)
{
    test::WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// A site with a page, a static file, a sub-folder, a hidden file and links in and out.
struct TSite {
    TSite()
    {
        Write(root / "index.asp", "<%= Request.ServerVariables('REQUEST_METHOD') %>:<%= Request.TotalBytes %>");
        Write(root / "a.txt", "text");
        Write(root / "pic.PNG", "png");
        ::mkdir((root / "sub").c_str(), 0700);
        Write(root / "sub/index.html", "sub index");
        ::mkdir((root / "empty").c_str(), 0700);
        Write(root / ".secret", "no");
        Write(outside / "secret.txt", "outside");
        ::symlink((outside / "secret.txt").c_str(), (root / "out.txt").c_str());
        ::symlink(outside.Path().c_str(), (root / "outdir").c_str());
        ::symlink((root / "a.txt").c_str(), (root / "in.txt").c_str());
        char* real = realpath(root.Path().c_str(), nullptr);
        Root = real;
        std::free(real);
    }
    test::TempDir root, outside;
    std::string Root;
};

TEST(RequestPath, ReachesFilesInsideTheRootAndRefusesEverythingElse)
{
    TSite site;
    const struct {
        const char* path;
        int status;
        const char* file;  // relative to the root, for 200
        const char* scriptName;
    } kCases[] = {
        {"/", 200, "/index.asp", "/index.asp"},
        {"/a.txt", 200, "/a.txt", "/a.txt"},
        {"/%61.txt", 200, "/a.txt", "/a.txt"},
        {"//a.txt", 200, "/a.txt", "/a.txt"},
        {"/./a.txt", 200, "/a.txt", "/a.txt"},
        {"/in.txt", 200, "/a.txt", "/in.txt"},
        {"/sub/", 200, "/sub/index.html", "/sub/index.html"},
        {"/sub", 301, "", ""},
        {"/empty/", 404, "", ""},
        {"/missing.txt", 404, "", ""},
        {"/.secret", 404, "", ""},
        {"/%2esecret", 404, "", ""},
        {"/../a.txt", 403, "", ""},
        {"/sub/../a.txt", 403, "", ""},
        {"/%2e%2e/a.txt", 403, "", ""},
        {"/%2E%2E%2Fa.txt", 403, "", ""},
        {"/sub%2f..%2f..%2fa.txt", 403, "", ""},
        {"/..%5ca.txt", 400, "", ""},
        {"/a.txt%00.png", 400, "", ""},
        {"/a%2", 400, "", ""},
        {"/a%zz", 400, "", ""},
        {"a.txt", 400, "", ""},
        {"", 400, "", ""},
        {"/out.txt", 403, "", ""},
        {"/outdir/secret.txt", 403, "", ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.path);
        const TResolvedPath r = ResolveRequestPath(site.Root, c.path);
        EXPECT_EQ(r.Status, c.status);
        if (c.status == 200) {
            EXPECT_EQ(r.File, site.Root + c.file);
            EXPECT_EQ(r.ScriptName, c.scriptName);
        }
    }
    EXPECT_EQ(ResolveRequestPath(site.Root, "/sub").Location, "/sub/");
}

TEST(RequestPath, ContentTypesFollowTheExtensionInAnyCase)
{
    const struct {
        const char* name;
        const char* type;
    } kCases[] = {
        {"a.html", "text/html; charset=utf-8"}, {"a.css", "text/css; charset=utf-8"},
        {"a.js", "text/javascript; charset=utf-8"}, {"a.JPG", "image/jpeg"}, {"a.jpeg", "image/jpeg"},
        {"a.png", "image/png"}, {"a.gif", "image/gif"}, {"a.svg", "image/svg+xml"}, {"a.txt", "text/plain; charset=utf-8"},
        {"a.tar.gz", "application/octet-stream"}, {"noext", "application/octet-stream"},
    };
    for (const auto& c : kCases) EXPECT_STREQ(ContentTypeFor(c.name), c.type) << c.name;
}

// ---- the server itself, spoken to over loopback sockets ----

int Connect(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void SendAll(int fd, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += size_t(n);
    }
}

// Everything until the server closes, or until the wait runs out.
std::string ReadAll(int fd, int waitMs = 10000)
{
    std::string out;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0) break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        out.append(buffer, size_t(n));
    }
    return out;
}

std::string Exchange(uint16_t port, const std::string& request)
{
    const int fd = Connect(port);
    if (fd < 0) return "no connection";
    SendAll(fd, request);
    std::string answer = ReadAll(fd);
    ::close(fd);
    return answer;
}

class TLogSink {
public:
    void Add(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FLines.push_back(line);
    }
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> lock(FMutex);
        return FLines;
    }

private:
    std::mutex FMutex;
    std::vector<std::string> FLines;
};

// Runs pages with an object world that has no objects.
struct TTestServer {
    explicit TTestServer(const std::string& root, uint64_t maxBody = 1000, unsigned timeout = 30, unsigned threads = 4)
    {
        TServerOptions options;
        options.Root = root;
        options.Port = 0;
        options.MaxBody = maxBody;
        options.TimeoutSeconds = timeout;
        options.Threads = threads;
        options.NewObjectWorld = [] { return std::make_unique<TRegistryObjectProvider>(); };
        options.Log = [this](const std::string& line) { Log.Add(line); };
        Server = std::make_unique<THttpServer>(options);
        Server->Start();
    }
    TLogSink Log;
    std::unique_ptr<THttpServer> Server;
    uint16_t Port() const { return Server->Port(); }
};

TEST(HttpServer, ServesPagesAndFilesWithTheirTypes)
{
    TSite site;
    TTestServer server(site.Root);
    std::string answer = Exchange(server.Port(), "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_THAT(answer, StartsWith("HTTP/1.1 200"));
    EXPECT_THAT(answer, HasSubstr("Content-Type: text/html; charset=utf-8"));
    EXPECT_THAT(answer, HasSubstr("\r\n\r\nGET:0"));

    answer = Exchange(server.Port(), "POST /index.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello");
    EXPECT_THAT(answer, HasSubstr("\r\n\r\nPOST:5"));

    answer = Exchange(server.Port(), "GET /pic.PNG HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_THAT(answer, HasSubstr("Content-Type: image/png"));
    EXPECT_THAT(answer, HasSubstr("\r\n\r\npng"));

    answer = Exchange(server.Port(), "POST /a.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_THAT(answer, StartsWith("HTTP/1.1 405"));

    answer = Exchange(server.Port(), "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_THAT(answer, StartsWith("HTTP/1.1 403"));
    answer = Exchange(server.Port(), "GET /sub HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_THAT(answer, StartsWith("HTTP/1.1 301"));
    EXPECT_THAT(answer, HasSubstr("Location: /sub/"));
}

TEST(HttpServer, RefusesABodyAboveTheLimitBeforeReadingIt)
{
    TSite site;
    TTestServer server(site.Root, 1000);
    // Only the headers are sent: the answer must come without the body.
    const int fd = Connect(server.Port());
    SendAll(fd, "POST /index.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000000\r\nExpect: 100-continue\r\n\r\n");
    const std::string answer = ReadAll(fd, 5000);
    ::close(fd);
    EXPECT_THAT(answer, StartsWith("HTTP/1.1 413"));
    EXPECT_THAT(answer, ::testing::Not(HasSubstr("100 Continue")));

    // At the limit the page runs.
    EXPECT_THAT(Exchange(server.Port(), "POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 1000\r\n\r\n" +
                                            std::string(1000, 'x')),
                HasSubstr("POST:1000"));
    // A chunked body that outgrows the limit is not collected either, but still answered;
    // one that goes on far beyond it is cut off.
    const std::string chunk = std::string("400\r\n") + std::string(1024, 'y') + "\r\n";
    const std::string head = "POST / HTTP/1.1\r\nHost: x\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string chunked = Exchange(server.Port(), head + chunk + chunk + "0\r\n\r\n");
    EXPECT_THAT(chunked, StartsWith("HTTP/1.1 413"));
    std::string endless = head;
    for (int i = 0; i < 3 * 1024; ++i) endless += chunk;
    EXPECT_THAT(Exchange(server.Port(), endless + "0\r\n\r\n"), ::testing::Not(HasSubstr("HTTP/1.1")));
    EXPECT_THAT(Exchange(server.Port(), "GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"),
                StartsWith("HTTP/1.1 200"));
}

TEST(HttpServer, ClosesConnectionsOfClientsThatStopSending)
{
    TSite site;
    TTestServer server(site.Root, 1000, 1);
    const auto started = std::chrono::steady_clock::now();
    const int fd = Connect(server.Port());
    SendAll(fd, "POST /index.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nonly part");
    const std::string answer = ReadAll(fd, 8000);
    ::close(fd);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_THAT(answer, ::testing::Not(HasSubstr("POST:")));
    EXPECT_LT(waited, std::chrono::seconds(6));
}

TEST(HttpServer, CutsOffABodyThatTricklesIn)
{
    TSite site;
    TTestServer server(site.Root, 1000, 1);
    const auto started = std::chrono::steady_clock::now();
    const int fd = Connect(server.Port());
    SendAll(fd, "POST /index.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 200\r\n\r\n");
    // A byte each 100 ms: never idle for the timeout, but far below the rate a body needs.
    bool cut = false;
    for (int i = 0; i < 60 && !cut; ++i) {
        cut = ::send(fd, "x", 1, MSG_NOSIGNAL) != 1;
        pollfd p{fd, POLLIN, 0};
        cut = cut || ::poll(&p, 1, 100) > 0;
    }
    ::close(fd);
    EXPECT_TRUE(cut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
    server.Server->Stop(5);
    ASSERT_EQ(server.Log.Lines().size(), 1u);
    EXPECT_THAT(server.Log.Lines()[0], HasSubstr(" too-slow"));
}

TEST(HttpServer, KeepsTheConnectionOfARequestWithoutBodyOpen)
{
    TSite site;
    TTestServer server(site.Root);
    const std::string answer = Exchange(server.Port(), "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\nGET /missing HTTP/1.1\r\nHost: x\r\n\r\n"
                                                       "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_THAT(answer, StartsWith("HTTP/1.1 200"));
    EXPECT_THAT(answer, HasSubstr("\r\n\r\ntextHTTP/1.1 404"));
    EXPECT_THAT(answer, HasSubstr("\r\n\r\nGET:0"));
}

// A page that runs long, with one network thread and one page worker: the other
// connections are still served, and a request that waits its turn longer than the idle
// timeout is answered all the same.
TEST(HttpServer, ALongPageHoldsUpNoOtherConnection)
{
    TSite site;
    Write(site.root / "slow.asp", "<% var until = Date.now() + 2500; while (Date.now() < until) {} %>done");
    TTestServer server(site.Root, 1000, 1, 1);
    const int slow = Connect(server.Port());
    SendAll(slow, "GET /slow.asp HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int waiting = Connect(server.Port());
    SendAll(waiting, "GET /?n=2 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");

    const auto started = std::chrono::steady_clock::now();
    EXPECT_THAT(Exchange(server.Port(), "GET /a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"),
                HasSubstr("\r\n\r\ntext"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
    EXPECT_THAT(ReadAll(slow), HasSubstr("\r\n\r\ndone"));
    EXPECT_THAT(ReadAll(waiting), HasSubstr("\r\n\r\nGET:0"));
    ::close(slow);
    ::close(waiting);
}

TEST(HttpServer, WritesOneAccessLogLinePerRequest)
{
    TSite site;
    TTestServer server(site.Root);
    Exchange(server.Port(), "GET /a.txt?q=1 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    Exchange(server.Port(), "GET /nope%0A HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    server.Server->Stop(5);
    const std::vector<std::string> lines = server.Log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_THAT(lines[0], ::testing::MatchesRegex(
                              R"(127\.0\.0\.1 - - \[[^]]+\] "GET /a\.txt\?q=1 HTTP/1\.1" 200 4 [0-9]+ms
)"));
    EXPECT_THAT(lines[1], HasSubstr("\"GET /nope%0A HTTP/1.1\" 404"));
}

TEST(HttpServer, RunsConcurrentPagesEachOnOneThreadAndFinishesThemOnStop)
{
    TSite site;
    // Each page waits a little, so that the requests overlap.
    Write(site.root / "slow.asp",
          "<% var until = Date.now() + 300; while (Date.now() < until) {} %>done <%= Request.QueryString('n') %>");
    TTestServer server(site.Root, 1000, 30, 4);
    std::vector<std::string> answers(8);
    std::vector<std::thread> clients;
    const auto started = std::chrono::steady_clock::now();
    for (size_t i = 0; i < answers.size(); ++i)
        clients.emplace_back([&, i] {
            answers[i] = Exchange(server.Port(), "GET /slow.asp?n=" + std::to_string(i) +
                                                     " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        });
    // Stop while they run: the requests in flight still get their answers.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Server->Stop(10);
    for (std::thread& t : clients) t.join();
    int answered = 0;
    for (size_t i = 0; i < answers.size(); ++i)
        if (answers[i].find("done " + std::to_string(i)) != std::string::npos) ++answered;
    // The requests that had reached the server by the stop were answered; the others
    // found the door closed. With four threads, at least the first four ran together.
    EXPECT_GE(answered, 4);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(Connect(server.Port()), -1);
}

}  // namespace
}  // namespace quillet::host
