// Env.h - the platform file interface through which the areas reach files.
//
// Every file access of the library goes through an Env: opening a file for
// sequential reading, creating a new file, appending, syncing, renaming,
// removing, syncing a directory, looking at a path, listing a directory,
// removing what a killed writer left behind, telling which version of a file
// is there, and locking a file while a save checks and replaces it.  The
// platform's Env (PosixEnv.cpp, WindowsEnv.cpp) is the default; tests install an Env of their own that fails chosen calls, so that
// every failure path of the save can be exercised.
//
// Every call returns a Status: OK, or a failure whose message names the
// operation and the path and says why (Status.h).  Out-parameters are set
// only on success unless a call says otherwise.
//
// Paths are byte strings passed to the platform unchanged (on Windows they
// are UTF-8, converted to the system's UTF-16); a relative path is resolved
// against the current directory at the time of each call.
#ifndef MORVANE_IO_ENV_H
#define MORVANE_IO_ENV_H

#include "Status.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace morvane {

// What tells one version of a file from another without reading it.  Every
// save of ours renames a new file in, so the file's identity (device and
// inode) changes with each save; an edit in place by another program changes
// its size or its times.  The POSIX Env gives the times in nanoseconds.  Two
// versions compare equal only when all five agree.
struct FileVersion {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;  // last modification of the content
    std::int64_t changedNs = 0;   // last change of the content or the inode
    bool operator==(const FileVersion&) const = default;
};

// A file open for reading from its start.
class SequentialFile {
public:
    virtual ~SequentialFile() = default;
    // Reads up to n bytes into dst and stores how many arrived in *got; 0
    // bytes with an OK status means the end of the file.
    virtual Status Read(void* dst, std::size_t n, std::size_t* got) = 0;
    // The version of the open file, which its path may no longer name.
    virtual Status Version(FileVersion* version) = 0;
};

// A file open for writing at its end.
//
// A file made by Env::CreateNew is held by its writer from its creation
// until this object is destroyed, closed or not: RemoveIfAbandoned leaves it
// alone for that long, in this process and in every other.  A writer that
// dies, even by SIGKILL, lets go of it at once.
class WritableFile {
public:
    virtual ~WritableFile() = default;
    // Writes all n bytes or reports failure (a short write is a failure).
    virtual Status Append(const void* data, std::size_t n) = 0;
    // Makes the written bytes durable.
    virtual Status Sync() = 0;
    // Closes the file for writing; its result counts, since a close can
    // report a late write error.  The destructor closes a file still open.
    virtual Status Close() = 0;
    // The version of the file as it is now, also after Close and after it
    // was renamed (a rename changes the change time), for as long as this
    // object lives.
    virtual Status Version(FileVersion* version) = 0;
};

// The lock of a save on the file it replaces (Env::LockForReplace), held
// until this object is destroyed.
class FileLock {
public:
    virtual ~FileLock() = default;
};

// What Stat reports of a path, without following a final symbolic link.
struct PathInfo {
    bool exists = false;
    bool isSymlink = false;
    bool isRegular = false;
    unsigned permissions = 0;  // the mode's permission bits (07777)
    FileVersion version;       // of what the path names (a link itself)
};

class Env {
public:
    virtual ~Env() = default;

    // The platform's Env (the POSIX one, or the Windows one in a Windows
    // build); never null, never destroyed.
    static Env* Default();
#ifndef _WIN32
    // The process's POSIX Env, the same object as Default().
    static Env* Posix();
#endif

    // Opens a regular file for reading from its start.  A missing file gives
    // NotFound.
    virtual Status OpenForReading(const std::string& path,
                                  std::unique_ptr<SequentialFile>* file) = 0;
    // Creates a file that must not exist yet, held by the new WritableFile
    // (see there).  With exactPermissions the file gets exactly the given
    // permission bits, else they pass through the process's umask.
    virtual Status CreateNew(const std::string& path, unsigned permissions, bool exactPermissions,
                             std::unique_ptr<WritableFile>* file) = 0;
    // Replaces to by from in one step.
    virtual Status Rename(const std::string& from, const std::string& to) = 0;
    virtual Status Remove(const std::string& path) = 0;
    // Makes the directory's entries (a rename into it) durable.
    virtual Status SyncDirectory(const std::string& dir) = 0;
    // Fails only on an error other than a missing path; a missing path gives
    // OK with info->exists false.
    virtual Status Stat(const std::string& path, PathInfo* info) = 0;
    // The target stored in a symbolic link.
    virtual Status ReadLink(const std::string& path, std::string* target) = 0;
    // The names of the entries of a directory, without "." and "..", in no
    // particular order.
    virtual Status GetChildren(const std::string& dir, std::vector<std::string>* names) = 0;
    // Removes the regular file at path when no WritableFile of any process
    // holds it any longer (its writer finished or died).  *removed tells
    // whether it went; a file still held, a missing path and a path that is
    // not a regular file give OK with *removed false.  Where the platform
    // cannot tell (no file locks), nothing is removed.
    virtual Status RemoveIfAbandoned(const std::string& path, bool* removed) = 0;

    // Takes the lock that every save of ours holds on the file it replaces,
    // from its check of the file's version to its rename; waits while
    // another save, of any process, holds it.  Then tells what the path
    // names now: *exists, and the file's *version.  The lock is on the file
    // itself, and a save renames a new file over the path, so a file renamed
    // in while this call waited is noticed and locked instead.  A path that
    // names no file gives *exists false and no lock (there is nothing to
    // lock; RenameNoReplace makes the rename safe then); a path that names
    // something other than a regular file gives *exists true with that
    // thing's version, unlocked.  Where the file system has no locks, *lock
    // holds nothing and the version is still told.  A dying process's lock
    // goes with it.
    virtual Status LockForReplace(const std::string& path, std::unique_ptr<FileLock>* lock,
                                  bool* exists, FileVersion* version) = 0;
    // Renames from to `to` in one step unless something exists at `to`:
    // then nothing changes, *renamed is false and the status OK.
    virtual Status RenameNoReplace(const std::string& from, const std::string& to,
                                   bool* renamed) = 0;
};

// The Env the areas use; Env::Default() unless a test installed another.
Env* AreaEnv();
// Installs env for all areas of the process (null restores Env::Default()).
// Not thread-safe: tests call it while no area is at work.
void SetAreaEnv(Env* env);

}  // namespace morvane

#endif
