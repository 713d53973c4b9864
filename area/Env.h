// Env.h - the platform file interface through which the areas reach files.
//
// Every file access of the library goes through an Env: opening a file for
// sequential reading, creating a new file, appending, syncing, renaming,
// removing, syncing a directory, looking at a path, listing a directory and
// removing what a killed writer left behind.  The POSIX Env is the default; tests install an Env of their own that fails chosen calls, so that
// every failure path of the save can be exercised.
//
// Every call returns a Status: OK, or a failure whose message names the
// operation and the path and says why (Status.h).  Out-parameters are set
// only on success unless a call says otherwise.
//
// Paths are byte strings passed to the platform unchanged; a relative path is
// resolved against the current directory at the time of each call.
#ifndef MORVANE_AREA_ENV_H
#define MORVANE_AREA_ENV_H

#include "Status.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace morvane {

// A file open for reading from its start.
class SequentialFile {
public:
    virtual ~SequentialFile() = default;
    // Reads up to n bytes into dst and stores how many arrived in *got; 0
    // bytes with an OK status means the end of the file.
    virtual Status Read(void* dst, std::size_t n, std::size_t* got) = 0;
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
};

// What Stat reports of a path, without following a final symbolic link.
struct PathInfo {
    bool exists = false;
    bool isSymlink = false;
    bool isRegular = false;
    unsigned permissions = 0;  // the mode's permission bits (07777)
};

class Env {
public:
    virtual ~Env() = default;

    // The process's POSIX Env; never null, never destroyed.
    static Env* Posix();

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
};

// The Env the areas use; the POSIX Env unless a test installed another.
Env* AreaEnv();
// Installs env for all areas of the process (null restores the POSIX Env).
// Not thread-safe: tests call it while no area is at work.
void SetAreaEnv(Env* env);

}  // namespace morvane

#endif
