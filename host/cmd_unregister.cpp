// quillet unregister [LIBRARY]: loads the component library (libquillet.so beside the
// program unless a path is given), calls its DllUnregisterServer and says what went.
#include <cstdio>
#include <string>

#include "host/commands.h"
#include "platform/com/library.h"
#include "platform/errors.h"
#include "platform/registry.h"

namespace quillet::host {

std::string ComponentLibraryPath(const Args& positional);

namespace {

constexpr char kUsage[] = "quillet unregister [LIBRARY]";

}  // namespace

int UnregisterCommand(const Args& args)
{
    if (WantsHelp(args)) {
        std::printf("usage: %s\n\n"
                    "Removes the upload component's entries from the registry file.\n"
                    "LIBRARY defaults to libquillet.so beside this program.\n",
                    kUsage);
        return 0;
    }
    Args positional;
    for (const std::string& a : args) {
        if (!a.empty() && a[0] == '-') return UsageError(kUsage, "unknown option " + a);
        positional.push_back(a);
    }
    if (positional.size() > 1) return UsageError(kUsage, "one library at most");
    const std::string path = ComponentLibraryPath(positional);
    const TRegistry registry;
    const TComLibrary library(path);
    const TRegistryData before = registry.Read();
    const HRESULT hr = library.UnregisterServer();
    if (hr != S_OK) return Fail(Fmt("unregistering %s failed (0x%08X)", path.c_str(), unsigned(hr)));
    // What went: the classes registered before and not after.
    const TRegistryData after = registry.Read();
    int removed = 0;
    for (const std::string& classId : before.SubKeys("CLSID")) {
        if (after.KeyExists("CLSID\\" + classId)) continue;
        const std::string progId = before.GetValue("CLSID\\" + classId + "\\ProgID").value_or("(no program id)");
        std::printf("unregistered %s %s from %s\n", progId.c_str(), classId.c_str(), registry.Path().c_str());
        ++removed;
    }
    if (removed == 0) std::printf("nothing of %s was registered in %s\n", path.c_str(), registry.Path().c_str());
    return 0;
}

}  // namespace quillet::host
