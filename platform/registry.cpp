// The registry file: parsing, formatting, edits, and the locked atomic update.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/errors.h"

namespace quillet {

namespace {

constexpr char kRegistryInvalid[] = "Registry file %s is not valid at line %d";
constexpr char kHeader[] = "; Quillet registry: the classes root. Written by component registration.\n";

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

// A key path without empty parts: "a\\b\" becomes "a\b".
std::string NormalPath(std::string_view path)
{
    std::string result;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('\\', i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) {
            if (!result.empty()) result += '\\';
            result.append(path.substr(i, j - i));
        }
        i = j + 1;
    }
    return result;
}

std::string Quote(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out + "\"";
}

// Reads a quoted text at line[pos]; pos moves past its closing quote.
bool Unquote(std::string_view line, size_t& pos, std::string* text)
{
    if (pos >= line.size() || line[pos] != '"') return false;
    ++pos;
    text->clear();
    while (pos < line.size()) {
        const char c = line[pos++];
        if (c == '"') return true;
        if (c != '\\') {
            *text += c;
            continue;
        }
        if (pos >= line.size()) return false;
        const char e = line[pos++];
        if (e == 'n')
            *text += '\n';
        else if (e == 'r')
            *text += '\r';
        else
            *text += e;
    }
    return false;
}

bool ValidKeyPath(std::string_view path)
{
    if (path.empty()) return false;
    for (const char c : path)
        if (c == '\n' || c == '\r' || c == '\0' || c == '[' || c == ']') return false;
    return true;
}

}  // namespace

std::string RegistryPath()
{
    if (const char* env = std::getenv("QUILLET_REGISTRY"); env != nullptr && *env != '\0') return env;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/')
        return std::string(data) + "/quillet/registry";
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return std::string(home) + "/.local/share/quillet/registry";
    return {};
}

// --- TRegistryData ---------------------------------------------------------

TRegistryData::TKey* TRegistryData::Find(std::string_view path)
{
    const std::string normal = NormalPath(path);
    for (TKey& key : FKeys)
        if (SameText(key.Path, normal)) return &key;
    return nullptr;
}

const TRegistryData::TKey* TRegistryData::Find(std::string_view path) const
{
    return const_cast<TRegistryData*>(this)->Find(path);
}

bool TRegistryData::KeyExists(std::string_view path) const { return Find(path) != nullptr; }

void TRegistryData::CreateKey(std::string_view path)
{
    const std::string normal = NormalPath(path);
    if (!ValidKeyPath(normal)) throw Exception(Fmt("Invalid registry key \"%s\"", std::string(path).c_str()));
    size_t end = 0;
    do {
        end = normal.find('\\', end + 1);
        const std::string prefix = normal.substr(0, end);
        if (Find(prefix) == nullptr) FKeys.push_back({prefix, {}});
    } while (end != std::string::npos);
}

void TRegistryData::SetValue(std::string_view path, std::string_view name, std::string_view data)
{
    CreateKey(path);
    TKey* key = Find(path);
    for (TValue& value : key->Values)
        if (SameText(value.Name, name)) {
            value.Data = data;
            return;
        }
    if (name.empty())
        key->Values.insert(key->Values.begin(), {std::string(), std::string(data)});
    else
        key->Values.push_back({std::string(name), std::string(data)});
}

std::optional<std::string> TRegistryData::GetValue(std::string_view path, std::string_view name) const
{
    if (const TKey* key = Find(path))
        for (const TValue& value : key->Values)
            if (SameText(value.Name, name)) return value.Data;
    return std::nullopt;
}

bool TRegistryData::DeleteValue(std::string_view path, std::string_view name)
{
    TKey* key = Find(path);
    if (key == nullptr) return false;
    const auto it = std::find_if(key->Values.begin(), key->Values.end(),
                                 [&](const TValue& v) { return SameText(v.Name, name); });
    if (it == key->Values.end()) return false;
    key->Values.erase(it);
    return true;
}

bool TRegistryData::DeleteKey(std::string_view path)
{
    const TKey* key = Find(path);
    if (key == nullptr || !SubKeys(path).empty()) return false;
    FKeys.erase(FKeys.begin() + (key - FKeys.data()));
    return true;
}

std::vector<std::string> TRegistryData::SubKeys(std::string_view path) const
{
    const std::string prefix = NormalPath(path) + "\\";
    std::vector<std::string> names;
    for (const TKey& key : FKeys) {
        if (key.Path.size() <= prefix.size() || !SameText(std::string_view(key.Path).substr(0, prefix.size()), prefix))
            continue;
        const std::string rest = key.Path.substr(prefix.size());
        if (rest.find('\\') == std::string::npos) names.push_back(rest);
    }
    return names;
}

std::vector<TRegistryData::TValue> TRegistryData::Values(std::string_view path) const
{
    const TKey* key = Find(path);
    return key != nullptr ? key->Values : std::vector<TValue>{};
}

TRegistryData TRegistryData::Parse(std::string_view text, const std::string& fileName)
{
    TRegistryData data;
    TKey* current = nullptr;
    int lineNumber = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        const auto invalid = [&] { return Exception(Fmt(kRegistryInvalid, fileName.c_str(), lineNumber)); };
        if (line.front() == '[') {
            if (line.back() != ']') throw invalid();
            const std::string path = NormalPath(line.substr(1, line.size() - 2));
            if (!ValidKeyPath(path)) throw invalid();
            data.CreateKey(path);
            current = data.Find(path);
            continue;
        }
        if (current == nullptr) throw invalid();
        std::string name, value;
        size_t at = 0;
        if (line.front() == '@') {
            at = 1;
        } else if (!Unquote(line, at, &name)) {
            throw invalid();
        }
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at >= line.size() || line[at] != '=') throw invalid();
        ++at;
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (!Unquote(line, at, &value) || at != line.size()) throw invalid();
        const std::string path = current->Path;
        data.SetValue(path, name, value);
        current = data.Find(path);
    }
    return data;
}

std::string TRegistryData::Format() const
{
    std::string text = kHeader;
    for (const TKey& key : FKeys) {
        text += "\n[" + key.Path + "]\n";
        for (const TValue& value : key.Values)
            text += (value.Name.empty() ? std::string("@") : Quote(value.Name)) + "=" + Quote(value.Data) + "\n";
    }
    return text;
}

// --- TRegistry -------------------------------------------------------------

namespace {

// An advisory lock on a file beside the registry. The registry itself is replaced by
// rename, so its own inode cannot carry the lock.
class TRegistryLock {
public:
    TRegistryLock(const std::string& registry, bool exclusive, bool create)
    {
        const std::string lockName = registry + ".lock";
        FHandle = ::open(lockName.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
        if (FHandle < 0 && !create) FHandle = ::open(lockName.c_str(), O_RDONLY | O_CLOEXEC);
        if (FHandle < 0) {
            if (create) throw Exception(Fmt(kCannotCreateFile, registry.c_str()));
            return;  // nothing has written the registry yet: nothing to wait for
        }
        while (::flock(FHandle, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
        }
    }
    ~TRegistryLock()
    {
        if (FHandle >= 0) ::close(FHandle);  // closing releases the lock
    }
    TRegistryLock(const TRegistryLock&) = delete;
    TRegistryLock& operator=(const TRegistryLock&) = delete;

private:
    int FHandle = -1;
};

bool ReadWholeFile(const std::string& path, std::string* text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    text->clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text->append(buffer, size_t(n));
    }
    ::close(fd);
    return true;
}

void MakeFolders(const std::string& file)
{
    for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1)) {
        const std::string folder = file.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
            throw Exception(Fmt(kCannotCreateFile, file.c_str()));
    }
}

void WriteAtomically(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) throw Exception(Fmt(kCannotCreateFile, path.c_str()));
    temporary = name.data();
    bool ok = ::fchmod(fd, 0644) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        throw Exception(Fmt(kCannotCreateFile, path.c_str()));
    }
}

}  // namespace

TRegistry::TRegistry(std::string path) : FPath(std::move(path))
{
    if (FPath.empty()) throw Exception("No registry file: set QUILLET_REGISTRY or HOME");
}

TRegistryData TRegistry::Read() const
{
    TRegistryLock lock(FPath, false, false);
    std::string text;
    if (!ReadWholeFile(FPath, &text)) return {};
    return TRegistryData::Parse(text, FPath);
}

void TRegistry::Update(const std::function<void(TRegistryData&)>& change)
{
    MakeFolders(FPath);
    TRegistryLock lock(FPath, true, true);
    std::string text;
    const bool existed = ReadWholeFile(FPath, &text);
    TRegistryData data = existed ? TRegistryData::Parse(text, FPath) : TRegistryData{};
    const std::string before = data.Format();
    change(data);
    const std::string after = data.Format();
    if (after != before || !existed) {
        if (!existed && data.Keys().empty()) return;  // nothing to keep: no file made
        WriteAtomically(FPath, after);
    }
}

// --- Lookups for the page host -------------------------------------------------

namespace {

TClassRegistration DescribeClass(const TRegistryData& registry, const std::string& classId)
{
    const std::string key = "CLSID\\" + classId;
    TClassRegistration c;
    c.ClassId = classId;
    c.Description = registry.GetValue(key).value_or("");
    c.ProgId = registry.GetValue(key + "\\ProgID").value_or("");
    c.LibraryPath = registry.GetValue(key + "\\InprocServer32").value_or("");
    c.ThreadingModel = registry.GetValue(key + "\\InprocServer32", "ThreadingModel").value_or("");
    return c;
}

}  // namespace

std::optional<TClassRegistration> FindClassByProgId(const TRegistryData& registry, std::string_view progId)
{
    if (progId.empty() || progId.find('\\') != std::string_view::npos) return std::nullopt;
    const std::optional<std::string> classId = registry.GetValue(std::string(progId) + "\\Clsid");
    if (!classId || classId->empty() || !registry.KeyExists("CLSID\\" + *classId)) return std::nullopt;
    TClassRegistration c = DescribeClass(registry, *classId);
    if (c.LibraryPath.empty()) return std::nullopt;
    if (c.ProgId.empty()) c.ProgId = progId;
    return c;
}

std::vector<TClassRegistration> ClassesServedBy(const TRegistryData& registry, std::string_view libraryPath)
{
    std::vector<TClassRegistration> classes;
    for (const std::string& classId : registry.SubKeys("CLSID")) {
        const std::optional<std::string> path = registry.GetValue("CLSID\\" + classId + "\\InprocServer32");
        if (path && *path == libraryPath) classes.push_back(DescribeClass(registry, classId));
    }
    return classes;
}

}  // namespace quillet
