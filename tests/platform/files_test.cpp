#include "platform/files.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/support/files.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;

// The id of a process that has ended and been reaped: no process has it now (the kernel
// hands ids out in turn, so it stays free for the moment a test needs).
pid_t EndedProcess()
{
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

std::set<std::string> Names(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
}

TEST(LoadFolders, OnlyThoseOfEndedProcessesAreSwept)
{
    test::TempDir temp;
    const std::string live = CreateLoadFolder(temp.Path());
    EXPECT_THAT(fs::path(live).filename().string(),
                ::testing::MatchesRegex("quillet-load-" + std::to_string(::getpid()) + "-......"));
    test::WriteFile(live + "/photo.gif", {1, 2, 3});

    const std::string dead = "quillet-load-" + std::to_string(EndedProcess()) + "-";
    ASSERT_EQ(::mkdir((temp / (dead + "a1B2c3")).c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((temp / (dead + "a1B2c3/sub")).c_str(), 0700), 0);
    test::WriteFile(temp / (dead + "a1B2c3/sub/big.tif"), {1});
    // Not load folders, or not a folder at all: they stay whatever their number says.
    const char* const kKept[] = {"quillet-AbCdEf", "quillet-load-x-abcdef", "quillet-load--abcdef",
                                 "quillet-load-1234567890-abcdef", "quillet-load-99-abc"};
    for (const char* name : kKept) ASSERT_EQ(::mkdir((temp / name).c_str(), 0700), 0) << name;
    test::WriteFile(temp / (dead + "file00"), {1});
    ASSERT_EQ(::symlink(live.c_str(), (temp / (dead + "link00")).c_str()), 0);

    EXPECT_EQ(RemoveStaleLoadFolders(temp.Path()), 1u);
    std::set<std::string> expected(std::begin(kKept), std::end(kKept));
    expected.insert({fs::path(live).filename().string(), dead + "file00", dead + "link00"});
    EXPECT_EQ(Names(temp.Path()), expected);
    EXPECT_TRUE(FileExists(live + "/photo.gif"));
    EXPECT_EQ(RemoveStaleLoadFolders(temp.Path()), 0u);
    EXPECT_EQ(RemoveStaleLoadFolders(temp / "missing"), 0u);
}

}  // namespace
}  // namespace quillet
