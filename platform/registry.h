// The system registry: the classes root kept as a text file that a person can read.
//
// The file is $QUILLET_REGISTRY when set, else $XDG_DATA_HOME/quillet/registry, else
// ~/.local/share/quillet/registry. It lists keys in the order they were made, each as a
// "[path\of\key]" line followed by its values, "@" for the default value:
//
//     [CLSID\{87B9124E-0A30-4B1E-8FA9-1E141093EE32}\InprocServer32]
//     @="/opt/quillet/libquillet.so"
//     "ThreadingModel"="Apartment"
//
// In quoted text a backslash and a quote are written "\\" and "\"", a line end "\n".
// Keys and value names are matched ignoring ASCII case, and keep the case they were
// made with. Changes are made under an advisory lock and written atomically (a temporary
// file renamed over the registry), so a crash never leaves a half-written registry.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet {

/// The registry file's path (see above); empty when neither variable nor HOME is set.
std::string RegistryPath();

/// The keys and values of a registry, in memory.
class TRegistryData {
public:
    struct TValue {
        std::string Name;  ///< empty for the default value
        std::string Data;
    };
    struct TKey {
        std::string Path;  ///< "CLSID\{...}\InprocServer32"
        std::vector<TValue> Values;
    };

    /// Reads the file's text; raises "Registry file %s is not valid at line %d".
    static TRegistryData Parse(std::string_view text, const std::string& fileName = "registry");
    std::string Format() const;

    bool KeyExists(std::string_view path) const;
    /// Makes the key and every missing ancestor.
    void CreateKey(std::string_view path);
    /// Sets a value (name empty: the default value), making the key when missing.
    void SetValue(std::string_view path, std::string_view name, std::string_view data);
    std::optional<std::string> GetValue(std::string_view path, std::string_view name = {}) const;
    bool DeleteValue(std::string_view path, std::string_view name);
    /// Removes a key that has no sub-keys; false when it is missing or still has some.
    bool DeleteKey(std::string_view path);
    /// The names of the key's direct sub-keys, in the order they were made.
    std::vector<std::string> SubKeys(std::string_view path) const;
    /// The key's values (default value first when set); empty when the key is missing.
    std::vector<TValue> Values(std::string_view path) const;
    /// Every key, in the order they were made.
    const std::vector<TKey>& Keys() const { return FKeys; }

private:
    TKey* Find(std::string_view path);
    const TKey* Find(std::string_view path) const;
    std::vector<TKey> FKeys;
};

/// The registry file under its lock.
class TRegistry {
public:
    explicit TRegistry(std::string path = RegistryPath());

    const std::string& Path() const { return FPath; }
    /// The file's contents (empty when it does not exist yet), read under a shared lock.
    TRegistryData Read() const;
    /// Reads the file under an exclusive lock, lets change edit it and, when it changed
    /// anything, writes it back atomically. The folder is made when missing. Raises
    /// "Cannot create file %s" when the registry cannot be written.
    void Update(const std::function<void(TRegistryData&)>& change);

private:
    std::string FPath;
};

/// What the page host needs to make an object of a registered class.
struct TClassRegistration {
    std::string ClassId;         ///< "{...}"
    std::string ProgId;
    std::string Description;
    std::string LibraryPath;     ///< InprocServer32's default value
    std::string ThreadingModel;
};

/// The class a program id names (its "Clsid" key) and where it is served; nullopt when
/// the program id or its class is not registered.
std::optional<TClassRegistration> FindClassByProgId(const TRegistryData& registry, std::string_view progId);
/// The classes whose InprocServer32 is the given library path.
std::vector<TClassRegistration> ClassesServedBy(const TRegistryData& registry, std::string_view libraryPath);

}  // namespace quillet
