// quillet register [LIBRARY] [--list]: loads the component library (libquillet.so beside
// the program unless a path is given), calls its DllRegisterServer and says what it wrote.
#include <cctype>
#include <cstdio>
#include <string>

#include "host/commands.h"
#include "platform/com/library.h"
#include "platform/errors.h"
#include "platform/registry.h"

namespace quillet::host {

namespace {

constexpr char kUsage[] = "quillet register [LIBRARY] [--list]";

void PrintKey(const TRegistryData::TKey& key)
{
    std::printf("\n[%s]\n", key.Path.c_str());
    for (const TRegistryData::TValue& value : key.Values)
        std::printf("%s=\"%s\"\n", value.Name.empty() ? "@" : ("\"" + value.Name + "\"").c_str(), value.Data.c_str());
}

bool UnderKey(const std::string& path, const std::string& key)
{
    if (path.size() < key.size()) return false;
    for (size_t i = 0; i < key.size(); ++i)
        if (std::tolower(uint8_t(path[i])) != std::tolower(uint8_t(key[i]))) return false;
    return path.size() == key.size() || path[key.size()] == '\\';
}

// The class's keys, its program id's and its type library's, as the registry holds them.
void ListEntries(const TRegistryData& registry, const TClassRegistration& c)
{
    std::vector<std::string> roots = {"CLSID\\" + c.ClassId};
    if (!c.ProgId.empty()) roots.push_back(c.ProgId);
    if (const auto typeLib = registry.GetValue("CLSID\\" + c.ClassId + "\\TypeLib")) {
        roots.push_back("TypeLib\\" + *typeLib);
        // The interfaces the type library describes.
        for (const std::string& iid : registry.SubKeys("Interface"))
            if (registry.GetValue("Interface\\" + iid + "\\TypeLib") == *typeLib) roots.push_back("Interface\\" + iid);
    }
    for (const std::string& root : roots)
        for (const TRegistryData::TKey& key : registry.Keys())
            if (UnderKey(key.Path, root)) PrintKey(key);
}

}  // namespace

std::string ComponentLibraryPath(const Args& positional)
{
    return positional.empty() ? ProgramFolder() + "/libquillet.so" : positional.front();
}

int RegisterCommand(const Args& args)
{
    if (WantsHelp(args)) {
        std::printf("usage: %s\n\n"
                    "Registers the upload component in the registry file (QUILLET_REGISTRY, else\n"
                    "$XDG_DATA_HOME/quillet/registry or ~/.local/share/quillet/registry).\n"
                    "LIBRARY defaults to libquillet.so beside this program.\n"
                    "  --list   print the registered entries of the component's class\n",
                    kUsage);
        return 0;
    }
    bool list = false;
    Args positional;
    for (const std::string& a : args) {
        if (a == "--list")
            list = true;
        else if (!a.empty() && a[0] == '-')
            return UsageError(kUsage, "unknown option " + a);
        else
            positional.push_back(a);
    }
    if (positional.size() > 1) return UsageError(kUsage, "one library at most");
    const std::string path = ComponentLibraryPath(positional);
    const TRegistry registry;
    const TComLibrary library(path);
    const HRESULT hr = library.RegisterServer();
    if (hr != S_OK) return Fail(Fmt("registering %s failed (0x%08X)", path.c_str(), unsigned(hr)));
    const TRegistryData data = registry.Read();
    const std::vector<TClassRegistration> classes = ClassesServedBy(data, FullPath(path));
    for (const TClassRegistration& c : classes) {
        std::printf("registered %s %s (%s)\n  library:  %s\n  registry: %s\n", c.ProgId.c_str(), c.ClassId.c_str(),
                    c.Description.c_str(), c.LibraryPath.c_str(), registry.Path().c_str());
        if (list) ListEntries(data, c);
    }
    if (classes.empty()) std::printf("registered %s in %s\n", path.c_str(), registry.Path().c_str());
    return 0;
}

}  // namespace quillet::host
