// The registry file: its text form, key and value edits, where it lives, and updates from
// many processes at once.
#include "platform/registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "platform/errors.h"
#include "tests/support/files.h"

namespace quillet {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(RegistryData, TextRoundTripsKeysValuesAndEscapes)
{
    TRegistryData data;
    data.SetValue("CLSID\\{A}\\InprocServer32", "", "/opt/my lib/\"q\"\\x.so");
    data.SetValue("CLSID\\{A}\\InprocServer32", "ThreadingModel", "Apartment");
    data.SetValue("Multi", "Lines", "one\ntwo\r");
    data.CreateKey("Empty\\Key");
    const std::string text = data.Format();
    EXPECT_THAT(text, ::testing::HasSubstr("[CLSID\\{A}\\InprocServer32]\n@=\"/opt/my lib/\\\"q\\\"\\\\x.so\"\n"
                                           "\"ThreadingModel\"=\"Apartment\"\n"));
    const TRegistryData back = TRegistryData::Parse(text);
    EXPECT_EQ(back.Format(), text);
    EXPECT_EQ(back.GetValue("clsid\\{a}\\inprocserver32"), "/opt/my lib/\"q\"\\x.so");
    EXPECT_EQ(back.GetValue("Multi", "lines"), "one\ntwo\r");
    EXPECT_TRUE(back.KeyExists("Empty\\Key"));
    EXPECT_TRUE(back.KeyExists("CLSID"));  // ancestors are made
    EXPECT_EQ(back.GetValue("Empty\\Key"), std::nullopt);
}

TEST(RegistryData, KeysKeepTheirOrderAndCaseAndGoChildrenFirst)
{
    TRegistryData data;
    data.SetValue("B\\Child", "", "1");
    data.SetValue("a", "", "2");
    data.SetValue("b\\child", "", "3");  // the same key, whatever the case
    data.SetValue("B", "Name", "n");
    data.SetValue("B", "", "default first");
    std::vector<std::string> keys;
    for (const auto& k : data.Keys()) keys.push_back(k.Path);
    EXPECT_EQ(keys, (std::vector<std::string>{"B", "B\\Child", "a"}));
    EXPECT_EQ(data.GetValue("B\\Child"), "3");
    ASSERT_EQ(data.Values("B").size(), 2u);
    EXPECT_EQ(data.Values("B")[0].Data, "default first");
    EXPECT_EQ(data.SubKeys("b"), std::vector<std::string>{"Child"});

    EXPECT_FALSE(data.DeleteKey("B"));  // it still has a sub-key
    EXPECT_TRUE(data.DeleteKey("B\\Child"));
    EXPECT_TRUE(data.DeleteKey("B"));
    EXPECT_FALSE(data.DeleteKey("B"));
    EXPECT_TRUE(data.DeleteValue("a", ""));
    EXPECT_FALSE(data.DeleteValue("a", ""));
    EXPECT_TRUE(data.KeyExists("A"));
    EXPECT_THAT([&] { data.CreateKey("bad]key"); }, ThrowsMessage<Exception>(StrEq("Invalid registry key \"bad]key\"")));
}

TEST(RegistryData, MalformedTextNamesItsLine)
{
    const struct {
        const char* text;
        int line;
    } kCases[] = {
        {"@=\"value before any key\"\n", 1},
        {"[a]\n@=\"unterminated\n", 2},
        {"[a]\nname=\"unquoted name\"\n", 2},
        {"; comment\n\n[a\n", 3},
        {"[a]\n@=\"x\" trailing\n", 2},
        {"[]\n", 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.text);
        EXPECT_THAT([&] { TRegistryData::Parse(c.text, "reg"); },
                    ThrowsMessage<Exception>(StrEq(Fmt("Registry file reg is not valid at line %d", c.line))));
    }
    // Comments, blank lines, blanks around '=' and CR LF line ends are fine.
    const TRegistryData data = TRegistryData::Parse("# hand edited\r\n\r\n  [k]  \r\n\"n\" = \"v\"\r\n");
    EXPECT_EQ(data.GetValue("k", "n"), "v");
}

class TScopedEnv {
public:
    TScopedEnv(const char* name, const char* value) : FName(name)
    {
        if (const char* old = std::getenv(name)) FOld = old;
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~TScopedEnv()
    {
        if (FOld)
            ::setenv(FName, FOld->c_str(), 1);
        else
            ::unsetenv(FName);
    }

private:
    const char* FName;
    std::optional<std::string> FOld;
};

TEST(Registry, PathComesFromTheEnvironment)
{
    {
        TScopedEnv a("QUILLET_REGISTRY", "/x/reg"), b("XDG_DATA_HOME", "/data"), c("HOME", "/home/u");
        EXPECT_EQ(RegistryPath(), "/x/reg");
    }
    {
        TScopedEnv a("QUILLET_REGISTRY", nullptr), b("XDG_DATA_HOME", "/data"), c("HOME", "/home/u");
        EXPECT_EQ(RegistryPath(), "/data/quillet/registry");
    }
    {
        TScopedEnv a("QUILLET_REGISTRY", ""), b("XDG_DATA_HOME", "relative"), c("HOME", "/home/u");
        EXPECT_EQ(RegistryPath(), "/home/u/.local/share/quillet/registry");
    }
}

TEST(Registry, UpdatesMakeTheFolderAndWriteOnlyChanges)
{
    test::TempDir dir;
    const std::string path = dir / "deep/er/registry";
    TRegistry registry(path);
    EXPECT_TRUE(registry.Read().Keys().empty());
    registry.Update([](TRegistryData&) {});
    EXPECT_FALSE(std::filesystem::exists(path));  // nothing to keep, no file
    registry.Update([](TRegistryData& d) { d.SetValue("K", "", "v"); });
    EXPECT_EQ(registry.Read().GetValue("K"), "v");
    const auto written = std::filesystem::last_write_time(path);
    registry.Update([](TRegistryData& d) { d.SetValue("K", "", "v"); });
    EXPECT_EQ(std::filesystem::last_write_time(path), written);
    // A change that fails leaves the file as it was, and no temporary file behind.
    EXPECT_THROW(registry.Update([](TRegistryData& d) {
        d.SetValue("K", "", "changed");
        throw Exception("no");
    }), Exception);
    EXPECT_EQ(registry.Read().GetValue("K"), "v");
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "deep/er")) files += entry.is_regular_file();
    EXPECT_EQ(files, 2u);  // the registry and its lock file
}

TEST(Registry, ConcurrentUpdatesFromManyProcessesAreAllKept)
{
    test::TempDir dir;
    const std::string path = dir / "registry";
    constexpr int kProcesses = 8, kEach = 10;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = ::fork();
        if (child == 0) {
            try {
                for (int i = 0; i < kEach; ++i)
                    TRegistry(path).Update([&](TRegistryData& d) { d.SetValue(Fmt("P%d\\K%d", p, i), "", "x"); });
            } catch (...) {
                ::_exit(1);
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const TRegistryData data = TRegistry(path).Read();
    for (int p = 0; p < kProcesses; ++p)
        for (int i = 0; i < kEach; ++i) EXPECT_EQ(data.GetValue(Fmt("P%d\\K%d", p, i)), "x") << p << " " << i;
}

TEST(Registry, FindsAClassByItsProgramId)
{
    TRegistryData data;
    data.SetValue("My.Thing\\Clsid", "", "{C}");
    data.SetValue("CLSID\\{C}", "", "Thing");
    data.SetValue("CLSID\\{C}\\InprocServer32", "", "/lib/thing.so");
    data.SetValue("CLSID\\{C}\\InprocServer32", "ThreadingModel", "Apartment");
    data.SetValue("Lost.Thing\\Clsid", "", "{GONE}");
    const auto found = FindClassByProgId(data, "MY.THING");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->ClassId, "{C}");
    EXPECT_EQ(found->LibraryPath, "/lib/thing.so");
    EXPECT_EQ(found->Description, "Thing");
    EXPECT_FALSE(FindClassByProgId(data, "Lost.Thing"));
    EXPECT_FALSE(FindClassByProgId(data, "Nobody"));
    EXPECT_FALSE(FindClassByProgId(data, "CLSID\\{C}"));
    ASSERT_EQ(ClassesServedBy(data, "/lib/thing.so").size(), 1u);
    EXPECT_TRUE(ClassesServedBy(data, "/lib/other.so").empty());
}

}  // namespace
}  // namespace quillet
