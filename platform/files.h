// The file system as the system uses it: the temporary folder, folders, files, and files
// written under a temporary name and renamed into place when complete.
#pragma once

#include <memory>
#include <string>

#include "platform/stream.h"

namespace quillet {

/// $TMPDIR when set and a folder, else /tmp; always ends with '/'.
std::string TempFolder();
/// A server-side path with every '\' taken as '/'.
std::string ServerPath(std::string path);

bool DirectoryExists(const std::string& path);
/// Creates one folder; false when it cannot be created (also for an empty name).
bool CreateDir(const std::string& path);
/// True for an existing file that is not a folder.
bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);
/// The name with its extension (from the last '.' after the last separator) replaced.
std::string ChangeFileExt(const std::string& fileName, const std::string& extension);

/// Creates the folder and each missing ancestor in turn, from the root outward, with every
/// '\' taken as '/'. The empty prefix before a leading '/' is the root: it exists. False
/// as soon as one folder cannot be created (those made before it stay); an empty path
/// cannot be created.
bool ForceDirectories(const std::string& path);

/// The name an uploaded file takes inside the private folder of its load: the client's
/// name with everything up to its last '/' removed, so that it names a file in that folder
/// and nowhere else; "upload" when that leaves an empty name, "." or "..".
std::string UploadFileName(const std::string& clientName);

/// A new folder with a unique name inside parent, readable only by this user.
std::string CreatePrivateFolder(const std::string& parent);
/// As CreatePrivateFolder, for the files of one load: named quillet-load-PID-XXXXXX after
/// this process, so that a later start can tell the folders of a process that is gone.
std::string CreateLoadFolder(const std::string& parent);
/// Removes, with everything in them, this user's load folders in parent whose process no
/// longer runs (one killed in the middle of a load); returns how many it removed.
size_t RemoveStaleLoadFolders(const std::string& parent);
/// Removes a folder and everything in it; quiet about what is already gone.
void RemoveTree(const std::string& path);

/// The folder of one load (CreateLoadFolder) for the life of the object: it is removed with
/// everything in it however the scope is left; one left by a killed process is removed by
/// RemoveStaleLoadFolders.
class TLoadFolder {
public:
    explicit TLoadFolder(const std::string& parent) : FPath(CreateLoadFolder(parent)) {}
    ~TLoadFolder() { RemoveTree(FPath); }
    TLoadFolder(const TLoadFolder&) = delete;
    TLoadFolder& operator=(const TLoadFolder&) = delete;
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

/// A file written under a temporary name beside its target and renamed over the target by
/// Commit(), so that no reader ever sees it half written. Without Commit() the temporary
/// file is removed.
class TAtomicFile {
public:
    /// Raises "Cannot create file %s" (with the target's name).
    explicit TAtomicFile(const std::string& target);
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    TStream& Stream() { return *FStream; }
    /// Flushes the data to disk and renames it into place; raises "Cannot create file %s".
    void Commit();

private:
    std::string FTarget;
    std::string FTemporary;
    std::unique_ptr<TFileStream> FStream;
    bool FCommitted = false;
};

}  // namespace quillet
