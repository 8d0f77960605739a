#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/errors.h"

namespace quillet {

std::string TempFolder()
{
    const char* env = std::getenv("TMPDIR");
    std::string folder = (env != nullptr && *env != '\0' && DirectoryExists(env)) ? env : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder;
}

std::string ServerPath(std::string path)
{
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

bool DirectoryExists(const std::string& path)
{
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateDir(const std::string& path) { return !path.empty() && ::mkdir(path.c_str(), 0777) == 0; }

bool FileExists(const std::string& path)
{
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::string ChangeFileExt(const std::string& fileName, const std::string& extension)
{
    const size_t separator = fileName.find_last_of("/\\:");
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator))
        return fileName + extension;
    return fileName.substr(0, dot) + extension;
}

bool ForceDirectories(const std::string& path)
{
    const std::string folder = ServerPath(path);
    const size_t length = folder.size();
    size_t i = 0;
    do {
        i = std::min(folder.find('/', i), length);
        const std::string prefix = folder.substr(0, i);
        ++i;
        if (prefix.empty() && length > 0 && folder[0] == '/') continue;  // the root
        // A folder that another process made between the test and the creation is there
        // all the same.
        if (!DirectoryExists(prefix) && !CreateDir(prefix) && !DirectoryExists(prefix)) return false;
    } while (i < length);
    return true;
}

std::string UploadFileName(const std::string& clientName)
{
    const size_t slash = clientName.rfind('/');
    std::string name = slash == std::string::npos ? clientName : clientName.substr(slash + 1);
    // Such a name has no extension after its last '/' either, so the stand-in needs none:
    // the picture then refuses it for its empty extension, as it would the name itself.
    if (name.empty() || name == "." || name == "..") name = "upload";
    return name;
}

namespace {

constexpr char kLoadFolderPrefix[] = "quillet-load-";

std::string CreateUniqueFolder(const std::string& parent, const std::string& prefix)
{
    std::string pattern = parent;
    if (pattern.empty() || pattern.back() != '/') pattern += '/';
    pattern += prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw Exception(Fmt(kCannotCreateFile, pattern.c_str()));
    return std::string(buffer.data());
}

// The process a load folder's name gives (quillet-load-PID-XXXXXX), or 0 for any other name.
pid_t LoadFolderProcess(const std::string& name)
{
    const size_t prefix = sizeof kLoadFolderPrefix - 1;
    if (name.compare(0, prefix, kLoadFolderPrefix) != 0) return 0;
    const size_t dash = name.find('-', prefix);
    if (dash == std::string::npos || dash == prefix || dash > prefix + 9 || name.size() != dash + 7) return 0;
    pid_t pid = 0;
    for (size_t i = prefix; i < dash; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        pid = pid * 10 + (name[i] - '0');
    }
    return pid;
}

}  // namespace

std::string CreatePrivateFolder(const std::string& parent) { return CreateUniqueFolder(parent, "quillet-"); }

std::string CreateLoadFolder(const std::string& parent)
{
    return CreateUniqueFolder(parent, kLoadFolderPrefix + std::to_string(::getpid()) + "-");
}

size_t RemoveStaleLoadFolders(const std::string& parent)
{
    std::vector<std::string> stale;
    if (DIR* dir = ::opendir(parent.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            const pid_t pid = LoadFolderProcess(name);
            if (pid <= 0) continue;
            // Only a folder of this user's, and only when no process has that id: one that
            // has it (even another program that took the number over) may be loading.
            const std::string path = parent + (parent.empty() || parent.back() != '/' ? "/" : "") + name;
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) continue;
            if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
            stale.push_back(path);
        }
        ::closedir(dir);
    }
    for (const std::string& path : stale) RemoveTree(path);
    return stale.size();
}

void RemoveTree(const std::string& path)
{
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string child = path + "/" + name;
            struct stat info {};
            if (::lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
                RemoveTree(child);
            else
                ::unlink(child.c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(path.c_str());
}

namespace {

// Room for the dot and the six unique characters within a name of 255 bytes.
constexpr size_t kMaxBaseLength = 240;

// The data reaches the disk before the rename makes it the target, so that not even a
// crash of the whole system leaves an empty or torn file under the target's name.
bool SyncFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

}  // namespace

TAtomicFile::TAtomicFile(const std::string& target) : FTarget(target)
{
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    // The temporary name must fit wherever the target's name fits: a long name is cut.
    const std::string base = (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, kMaxBaseLength);
    std::string pattern = folder + "." + base + ".XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = ::mkstemp(buffer.data());
    if (fd < 0) throw Exception(Fmt(kCannotCreateFile, target.c_str()));
    ::close(fd);
    FTemporary = buffer.data();
    try {
        FStream = std::make_unique<TFileStream>(FTemporary, TFileStream::fmCreate);
    } catch (...) {
        ::unlink(FTemporary.c_str());
        throw Exception(Fmt(kCannotCreateFile, target.c_str()));
    }
}

TAtomicFile::~TAtomicFile()
{
    FStream.reset();
    if (!FCommitted) ::unlink(FTemporary.c_str());
}

void TAtomicFile::Commit()
{
    // mkstemp makes the file private; a saved picture is readable by all (the web server
    // serves it). The rename is what makes the file appear whole: a process killed before
    // it leaves only the temporary name behind.
    FStream.reset();
    const bool ok = SyncFile(FTemporary) && ::chmod(FTemporary.c_str(), 0644) == 0 &&
                    ::rename(FTemporary.c_str(), FTarget.c_str()) == 0;
    if (!ok) throw Exception(Fmt(kCannotCreateFile, FTarget.c_str()));
    FCommitted = true;
}

}  // namespace quillet
