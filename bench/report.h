// The one machine-readable line that every benchmark prints per ratio, and that bench/run
// gathers into its closing table:
//   RATIO <measurement> <peer> <ratio> <goal>
// with a tab between the fields, so that a measurement or a peer may have spaces. The ratio is the peer's
// figure over Quillet's (above 1: Quillet does better) unless the measurement says
// otherwise; the goal is ">=X", "<=X" or "-" when there is none.
#pragma once

#include <cstdio>
#include <string>

namespace quillet::bench {

inline std::string Field(std::string text)
{
    for (char& c : text)
        if (c == '\t' || c == '\n') c = ' ';
    return text.empty() ? "-" : text;
}

/// Prints the RATIO line; goal is ">=2.00", "<=2.50" or "-".
inline void PrintRatio(const std::string& measurement, const std::string& peer, double ratio, const std::string& goal = "-")
{
    std::printf("RATIO\t%s\t%s\t%.2f\t%s\n", Field(measurement).c_str(), Field(peer).c_str(), ratio, goal.c_str());
}

/// A goal of at least (">=") or at most ("<=") the value, as PrintRatio takes it.
inline std::string AtLeast(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, ">=%.2f", value);
    return text;
}

inline std::string AtMost(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "<=%.2f", value);
    return text;
}

}  // namespace quillet::bench
