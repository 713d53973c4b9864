// Env.h - the platform file interface through which the areas reach files.
//
// Every file access of the library goes through an Env: opening a file for
// sequential reading, creating a new file, appending, syncing, renaming,
// removing, syncing a directory and looking at a path.  The POSIX Env is the
// default; tests install an Env of their own that fails chosen calls, so that
// every failure path of the save can be exercised.
//
// Paths are byte strings passed to the platform unchanged; a relative path is
// resolved against the current directory at the time of each call.
#ifndef MORVANE_AREA_ENV_H
#define MORVANE_AREA_ENV_H

#include <cstddef>
#include <memory>
#include <string>

namespace morvane {

// A file open for reading from its start.
class SequentialFile {
public:
    virtual ~SequentialFile() = default;
    // Reads up to n bytes into dst and stores how many arrived in *got; 0
    // bytes with result true means the end of the file.  False on an error.
    virtual bool Read(void* dst, std::size_t n, std::size_t* got) = 0;
};

// A file open for writing at its end.
class WritableFile {
public:
    virtual ~WritableFile() = default;
    // Writes all n bytes or reports failure (a short write is a failure).
    virtual bool Append(const void* data, std::size_t n) = 0;
    // Makes the written bytes durable.
    virtual bool Sync() = 0;
    // Closes the file; its result counts, since a close can report a late
    // write error.  The destructor closes a file still open.
    virtual bool Close() = 0;
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

    virtual std::unique_ptr<SequentialFile> OpenForReading(const std::string& path) = 0;
    // Creates a file that must not exist yet.  With exactPermissions the file
    // gets exactly the given permission bits, else they pass through the
    // process's umask.  Null on failure.
    virtual std::unique_ptr<WritableFile> CreateNew(const std::string& path, unsigned permissions,
                                                    bool exactPermissions) = 0;
    // Replaces to by from in one step.
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
    virtual bool Remove(const std::string& path) = 0;
    // Makes the directory's entries (a rename into it) durable.
    virtual bool SyncDirectory(const std::string& dir) = 0;
    // False only on an error other than a missing path; a missing path gives
    // true with info->exists false.
    virtual bool Stat(const std::string& path, PathInfo* info) = 0;
    // The target stored in a symbolic link.
    virtual bool ReadLink(const std::string& path, std::string* target) = 0;
};

// The Env the areas use; the POSIX Env unless a test installed another.
Env* AreaEnv();
// Installs env for all areas of the process (null restores the POSIX Env).
// Not thread-safe: tests call it while no area is at work.
void SetAreaEnv(Env* env);

}  // namespace morvane

#endif
