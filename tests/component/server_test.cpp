// The library's exports: the class factory, the unload answer, and registration into the
// registry file (and the quillet register / unregister commands that call them).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "com_client.h"
#include "platform/registry.h"
#include "tests/support/files.h"

namespace quillet::test {
namespace {

using ::testing::HasSubstr;

// QUILLET_REGISTRY pointed at a registry of the test's own while the object lives.
class TScopedRegistry {
public:
    explicit TScopedRegistry(std::string path) : FPath(std::move(path))
    {
        if (const char* old = std::getenv("QUILLET_REGISTRY")) FOld = old;
        ::setenv("QUILLET_REGISTRY", FPath.c_str(), 1);
    }
    ~TScopedRegistry()
    {
        if (FOld)
            ::setenv("QUILLET_REGISTRY", FOld->c_str(), 1);
        else
            ::unsetenv("QUILLET_REGISTRY");
    }
    TRegistryData Read() const { return TRegistry(FPath).Read(); }
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
    std::optional<std::string> FOld;
};

const std::string kClassKey = "CLSID\\" + GuidToString(CLASS_Quillet);
const std::string kTypeLibKey = "TypeLib\\" + GuidToString(LIBID_Lumexa);

std::string LibraryFile() { return std::filesystem::canonical(QUILLET_BINARY_DIR "/libquillet.so").string(); }

TEST(Server, GetClassObjectHandsOutTheFactoryOfQuilletOnly)
{
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(QuilletLibrary().GetClassObject(IID_IQuillet, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(QuilletLibrary().GetClassObject(CLASS_Quillet, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    TComPtr<IClassFactory> factory;
    ASSERT_EQ(QuilletLibrary().GetClassObject(CLASS_Quillet, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
    TComPtr<IUnknown> first, second, aggregated;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, first.ReceiveVoid()), S_OK);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IQuillet, second.ReceiveVoid()), S_OK);
    EXPECT_NE(first.Get(), nullptr);
    EXPECT_NE(QueryAs<IUnknown>(second.Get(), IID_IUnknown).Get(), first.Get());  // a new object each time
    EXPECT_EQ(factory->CreateInstance(first.Get(), IID_IUnknown, aggregated.ReceiveVoid()), CLASS_E_NOAGGREGATION);
    EXPECT_FALSE(aggregated);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, aggregated.ReceiveVoid()), E_NOINTERFACE);
    EXPECT_FALSE(aggregated);
}

TEST(Server, CanUnloadOnlyWithoutLiveObjectsAndLocks)
{
    TComLibrary& library = QuilletLibrary();
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
    TComPtr<IClassFactory> factory;
    ASSERT_EQ(library.GetClassObject(CLASS_Quillet, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);  // holding the factory alone does not count

    {
        TQuilletObject object;
        EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
        TComPtr<ITypeInfo> info;
        ASSERT_EQ(object->GetTypeInfo(0, 0, info.Receive()), S_OK);
        object.Reset();
        EXPECT_EQ(library.CanUnloadNow(), S_FALSE);  // the type information is the library's too
    }
    EXPECT_EQ(library.CanUnloadNow(), S_OK);

    EXPECT_EQ(factory->LockServer(1), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(0), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_OK);
    EXPECT_EQ(factory->LockServer(0), S_OK);  // one unlock too many changes nothing
    EXPECT_EQ(factory->LockServer(1), S_OK);
    EXPECT_EQ(library.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(0), S_OK);
}

TEST(Server, RegistrationWritesTheTypeLibraryThenTheClassKeys)
{
    TempDir dir;
    TScopedRegistry registry(dir / "registry");
    ASSERT_EQ(QuilletLibrary().RegisterServer(), S_OK);
    const TRegistryData data = registry.Read();
    const std::string path = LibraryFile();

    // Keys in the order they were made: the type library's first, then the class's.
    std::vector<std::string> keys;
    for (const auto& key : data.Keys()) keys.push_back(key.Path);
    const std::vector<std::string> kClassKeys = {
        "CLSID", kClassKey, kClassKey + "\\InprocServer32", "Lumexa.Quillet", "Lumexa.Quillet\\Clsid",
        kClassKey + "\\ProgID", kClassKey + "\\Version", kClassKey + "\\TypeLib",
    };
    ASSERT_GE(keys.size(), kClassKeys.size());
    EXPECT_EQ(std::vector<std::string>(keys.end() - long(kClassKeys.size()), keys.end()), kClassKeys);
    EXPECT_EQ(keys.front(), "TypeLib");

    const struct {
        std::string key;
        std::string name;
        std::string data;
    } kValues[] = {
        {kClassKey, "", "Quillet Object"},
        {kClassKey + "\\InprocServer32", "", path},
        {kClassKey + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {"Lumexa.Quillet", "", "Quillet Object"},
        {"Lumexa.Quillet\\Clsid", "", GuidToString(CLASS_Quillet)},
        {kClassKey + "\\ProgID", "", "Lumexa.Quillet"},
        {kClassKey + "\\Version", "", "1.0"},
        {kClassKey + "\\TypeLib", "", GuidToString(LIBID_Lumexa)},
        {kTypeLibKey + "\\1.0", "", "Lumexa Image ReSize"},
        {kTypeLibKey + "\\1.0\\409\\linux", "", path},
        {"Interface\\" + GuidToString(IID_IQuillet), "", "IQuillet"},
    };
    for (const auto& v : kValues) EXPECT_EQ(data.GetValue(v.key, v.name), v.data) << v.key << " " << v.name;

    // What the page host asks: the program id's class and library.
    const auto found = FindClassByProgId(data, "lumexa.quillet");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->ClassId, GuidToString(CLASS_Quillet));
    EXPECT_EQ(found->LibraryPath, path);
    EXPECT_EQ(found->ThreadingModel, "Apartment");

    // Registering again changes nothing.
    const std::string before = data.Format();
    ASSERT_EQ(QuilletLibrary().RegisterServer(), S_OK);
    EXPECT_EQ(registry.Read().Format(), before);
}

TEST(Server, UnregistrationRemovesWhatRegistrationWroteChildrenFirst)
{
    TempDir dir;
    TScopedRegistry registry(dir / "registry");
    // Keys of others, and one below the class's ProgID key: that key and the class key,
    // which still hold something, stay; everything else of the class goes.
    TRegistry(registry.Path()).Update([](TRegistryData& data) {
        data.SetValue("Other.Program\\Clsid", {}, "{00000000-0000-0000-0000-000000000001}");
        data.SetValue(kClassKey + "\\ProgID\\Extra", {}, "kept");
    });
    ASSERT_EQ(QuilletLibrary().RegisterServer(), S_OK);
    ASSERT_EQ(QuilletLibrary().UnregisterServer(), S_OK);
    TRegistryData data = registry.Read();
    std::vector<std::string> keys;
    for (const auto& key : data.Keys()) keys.push_back(key.Path);
    EXPECT_EQ(keys, (std::vector<std::string>{"Other.Program", "Other.Program\\Clsid", "CLSID", kClassKey,
                                              kClassKey + "\\ProgID", kClassKey + "\\ProgID\\Extra"}));

    // Without the stranger, nothing of the component is left.
    TRegistry(registry.Path()).Update([](TRegistryData& d) { d.DeleteKey(kClassKey + "\\ProgID\\Extra"); });
    ASSERT_EQ(QuilletLibrary().RegisterServer(), S_OK);
    ASSERT_EQ(QuilletLibrary().UnregisterServer(), S_OK);
    keys.clear();
    data = registry.Read();
    for (const auto& key : data.Keys()) keys.push_back(key.Path);
    EXPECT_EQ(keys, (std::vector<std::string>{"Other.Program", "Other.Program\\Clsid"}));
    EXPECT_EQ(QuilletLibrary().UnregisterServer(), S_OK);  // nothing there: still fine
}

TEST(Server, RegistrationFailsWhenTheRegistryCannotBeWritten)
{
    TempDir dir;
    WriteFile(dir / "file", {'x'});
    TScopedRegistry registry(dir / "file/registry");  // a folder that is a file
    EXPECT_EQ(QuilletLibrary().RegisterServer(), E_FAIL);
    WriteFile(dir / "bad", BytesOf("not a registry\n"));
    TScopedRegistry bad(dir / "bad");
    EXPECT_EQ(QuilletLibrary().RegisterServer(), E_FAIL);
    EXPECT_EQ(QuilletLibrary().UnregisterServer(), E_FAIL);
}

TEST(Server, ALibraryPathWithASpaceIsWrittenAsItIs)
{
    TempDir dir;
    std::filesystem::create_directory(dir / "with space");
    const std::string copy = dir / "with space/libquillet.so";
    std::filesystem::copy_file(QUILLET_BINARY_DIR "/libquillet.so", copy);
    TScopedRegistry registry(dir / "registry");
    {
        TComLibrary library(copy);
        ASSERT_EQ(library.RegisterServer(), S_OK);
    }
    EXPECT_EQ(registry.Read().GetValue(kClassKey + "\\InprocServer32"), std::filesystem::canonical(copy).string());
    EXPECT_THAT(*registry.Read().GetValue(kClassKey + "\\InprocServer32"), HasSubstr("/with space/libquillet.so"));
}

// Runs the quillet program; its exit code and what it printed.
std::pair<int, std::string> RunQuillet(const std::string& arguments)
{
    const std::string command = QUILLET_BINARY_DIR "/quillet " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(Server, RegisterAndUnregisterCommandsSayWhatTheyDid)
{
    TempDir dir;
    TScopedRegistry registry(dir / "registry");
    const std::string clsid = GuidToString(CLASS_Quillet);

    auto [code, output] = RunQuillet("register --list");
    EXPECT_EQ(code, 0) << output;
    EXPECT_THAT(output, HasSubstr("registered Lumexa.Quillet " + clsid));
    EXPECT_THAT(output, HasSubstr("library:  " + LibraryFile()));
    EXPECT_THAT(output, HasSubstr("registry: " + registry.Path()));
    EXPECT_THAT(output, HasSubstr("[" + kClassKey + "\\InprocServer32]\n@=\"" + LibraryFile() + "\"\n\"ThreadingModel\"=\"Apartment\""));
    EXPECT_THAT(output, HasSubstr("[Lumexa.Quillet\\Clsid]\n@=\"" + clsid + "\""));
    EXPECT_THAT(output, HasSubstr("[Interface\\" + GuidToString(IID_IQuillet) + "]"));

    std::tie(code, output) = RunQuillet("unregister " + LibraryFile());
    EXPECT_EQ(code, 0) << output;
    EXPECT_THAT(output, HasSubstr("unregistered Lumexa.Quillet " + clsid));
    EXPECT_FALSE(registry.Read().KeyExists(kClassKey));

    std::tie(code, output) = RunQuillet("register " + dir.Path() + "/missing.so");
    EXPECT_EQ(code, 1);
    EXPECT_THAT(output, HasSubstr("quillet: Cannot load " + dir.Path() + "/missing.so"));
    std::tie(code, output) = RunQuillet("register --bogus");
    EXPECT_EQ(code, 2);
    std::tie(code, output) = RunQuillet("register --help");
    EXPECT_EQ(code, 0);
    EXPECT_THAT(output, HasSubstr("usage: quillet register [LIBRARY] [--list]"));
}

}  // namespace
}  // namespace quillet::test
