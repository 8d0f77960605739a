// Runs a piece of work in a forked child under an address-space and a CPU-time limit and
// brings back what it said: for loads of hostile files that must end, fast, with a message.
#pragma once

#include <functional>
#include <string>

namespace quillet::test {

/// True in a build with AddressSanitizer, which reserves terabytes of address space, so
/// that an address-space limit cannot be set there.
constexpr bool kAddressSanitizer =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

struct TChildResult {
    bool Exited = false;  ///< the child returned from the work (false: a signal ended it)
    int ExitCode = -1;    ///< 0: the work returned or raised Exception; 3: bad_alloc; 4: other
    int Signal = 0;       ///< the signal that ended it (SIGXCPU: out of time)
    std::string Report;   ///< the work's text, "error: " + an Exception's message, or why not
    long MaxRssKiB = 0;   ///< the child's peak resident memory
    double CpuSeconds = 0;
};

/// Forks; the child limits its address space to addressSpaceMiB (not under AddressSanitizer)
/// and its processor time to cpuSeconds, runs work and passes its report back through a pipe.
TChildResult RunBounded(const std::function<std::string()>& work, long addressSpaceMiB, int cpuSeconds);

}  // namespace quillet::test
