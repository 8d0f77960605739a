// A body made by a real client: curl posts a form (-F) to a listener in the test, the body
// is saved to a file, and the component answers from it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "com_client.h"
#include "component/request_body.h"
#include "platform/stream.h"
#include "tests/support/files.h"

namespace quillet::test {
namespace {

constexpr char kCurl[] = "/usr/bin/curl";

// Reads from a socket until the connection ends or enough bytes are there; false on a
// timeout.
bool ReadSome(int fd, std::string& into)
{
    pollfd p = {fd, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    into.append(buffer, size_t(n));
    return true;
}

// Accepts one HTTP request on the listener and returns its body.
std::string ReceiveBody(int listener)
{
    pollfd p = {listener, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) return {};
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) return {};
    std::string data;
    size_t headerEnd = std::string::npos;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos)
        if (!ReadSome(fd, data)) break;
    std::string body;
    if (headerEnd != std::string::npos) {
        const size_t at = data.find("Content-Length: ");
        const size_t length = at != std::string::npos ? std::strtoul(data.c_str() + at + 16, nullptr, 10) : 0;
        body = data.substr(headerEnd + 4);
        while (body.size() < length)
            if (!ReadSome(fd, body)) break;
    }
    const char kReply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    [[maybe_unused]] const ssize_t sent = ::write(fd, kReply, sizeof kReply - 1);
    ::close(fd);
    return body;
}

TEST(CurlBody, ARealFormPostAnswersRequestFileNameAndExtName)
{
    if (::access(kCurl, X_OK) != 0) GTEST_SKIP() << "curl is not installed";
    TempDir dir;
    // Content with line ends, quotes and a zero byte, like a picture's bytes.
    const std::string picture = std::string("GIF89a\r\n\"--\0\r\n\r\nend", 20);
    WriteFile(dir / "cat.gif", BytesOf(picture));

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/upload";

    const pid_t curl = ::fork();
    if (curl == 0) {
        const std::string photo = "photo=@" + dir / "cat.gif" + ";filename=C:\\pics\\cat.gif;type=image/gif";
        ::execl(kCurl, kCurl, "-s", "-o", "/dev/null", "-H", "Expect:", "-F", "title=Hi", "-F", photo.c_str(),
                url.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(curl, 0);
    const std::string received = ReceiveBody(listener);
    ::close(listener);
    int status = 0;
    ::waitpid(curl, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "curl failed";
    ASSERT_FALSE(received.empty());

    // The post as a file, then served by the test host as the page's body.
    WriteFile(dir / "post.bin", BytesOf(received));
    const std::vector<uint8_t> body = ReadFile(dir / "post.bin");
    ASSERT_EQ(std::string(body.begin(), body.begin() + 2), "--");

    TTestPage page(body);
    TQuilletObject quillet;
    quillet.Start(page);
    EXPECT_EQ(quillet.Text("Request", "title"), "Hi");
    EXPECT_EQ(quillet.Text("FileName", "photo"), "cat.gif");
    EXPECT_EQ(quillet.Text("ExtName", "photo"), ".gif");
    EXPECT_EQ(quillet.Text("Request", "photo"), "C:\\pics\\cat.gif");
    EXPECT_EQ(quillet.Text("Request", "none"), "");

    // The uploaded bytes come out whole, with the one zero byte after them.
    TRequestBody scanned;
    scanned.Assign(TVariant::Bytes(body), int32_t(body.size()));
    TMemoryStream content;
    ASSERT_TRUE(scanned.FieldContent("photo", content));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(content.Memory()), size_t(content.Size())),
              picture + std::string(1, '\0'));
}

}  // namespace
}  // namespace quillet::test
