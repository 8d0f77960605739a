#include "tests/support/bounded_child.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/errors.h"

namespace quillet::test {

namespace {

void WriteAll(int fd, const std::string& text)
{
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= size_t(n);
    }
}

[[noreturn]] void ChildMain(int fd, const std::function<std::string()>& work, long addressSpaceMiB, int cpuSeconds)
{
    if (!kAddressSanitizer) {
        const rlimit space{rlim_t(addressSpaceMiB) << 20, rlim_t(addressSpaceMiB) << 20};
        ::setrlimit(RLIMIT_AS, &space);
    }
    const rlimit cpu{rlim_t(cpuSeconds), rlim_t(cpuSeconds) + 1};
    ::setrlimit(RLIMIT_CPU, &cpu);

    std::string report;
    int code = 0;
    try {
        report = work();
    } catch (const Exception& e) {
        report = "error: " + e.Message();
    } catch (const std::bad_alloc&) {
        report = "bad_alloc";
        code = 3;
    } catch (const std::exception& e) {
        report = std::string("other exception: ") + e.what();
        code = 4;
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    char figures[96];
    std::snprintf(figures, sizeof figures, "%ld %ld.%06ld\n", long(usage.ru_maxrss), long(usage.ru_utime.tv_sec),
                  long(usage.ru_utime.tv_usec));
    WriteAll(fd, figures + report);
    ::close(fd);
    ::_exit(code);  // no destructors, no exit handlers of the parent's test framework
}

}  // namespace

TChildResult RunBounded(const std::function<std::string()>& work, long addressSpaceMiB, int cpuSeconds)
{
    TChildResult result;
    int fds[2];
    if (::pipe(fds) != 0) {
        result.Report = "pipe failed";
        return result;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        result.Report = "fork failed";
        return result;
    }
    if (pid == 0) {
        ::close(fds[0]);
        ChildMain(fds[1], work, addressSpaceMiB, cpuSeconds);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, size_t(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.Exited = WIFEXITED(status);
    result.ExitCode = result.Exited ? WEXITSTATUS(status) : -1;
    result.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    const size_t line = text.find('\n');
    if (line == std::string::npos) {
        result.Report = "no report";
        return result;
    }
    std::sscanf(text.c_str(), "%ld %lf", &result.MaxRssKiB, &result.CpuSeconds);
    result.Report = text.substr(line + 1);
    return result;
}

}  // namespace quillet::test
