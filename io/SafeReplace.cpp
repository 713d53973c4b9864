// SafeReplace.cpp - temporary file, sync, rename, directory sync, and the
// removal of temporary files that killed saves left behind.
//
// A save killed between creating its temporary file and the rename leaves
// that file behind, as large as the data written so far.  Nothing else will
// ever remove it, and a file that is saved often by processes that get
// killed (a tool stopped with kill -9, a machine's OOM killer) would gather
// such files without end.  So each save first removes the temporary files
// of earlier saves of the same target whose writers are gone; it does so
// before writing, so that the space they took is free for its own file.
//
// Which files are abandoned is the Env's call: the POSIX Env knows a live
// writer by the lock it holds on its file (PosixEnv.cpp), so a save running
// in another process at this very moment keeps its file.  The sweep looks
// only at names of the exact form this code makes, "<target>.tmp-<digits>-
// <digits>", so no file of anyone else is ever opened.  A failed sweep only
// leaves the files for a later save, and the save goes on.
#include "SafeReplace.h"

#include "FileStreams.h"

#include <atomic>
#include <new>
#include <unistd.h>
#include <utility>
#include <vector>

namespace morvane {

namespace {

constexpr int kMaxSymlinkDepth = 40;
// What separates a path's folders: Windows takes both slashes.
#ifdef _WIN32
constexpr char kSeparators[] = "/\\";
#else
constexpr char kSeparators[] = "/";
#endif
constexpr char kTempInfix[] = ".tmp-";
constexpr int kMaxTempNameAttempts = 100;
constexpr unsigned kNewFilePermissions = 0666;  // narrowed by the umask

std::atomic<unsigned long> tempCounter{0};

// A name beside target that no file has yet.  The name carries the process
// id, so concurrent processes never pick the same one.
Status PickTempName(Env& env, const std::string& target, std::string* name) {
    for (int attempt = 0; attempt < kMaxTempNameAttempts; ++attempt) {
        *name = target + kTempInfix + std::to_string(static_cast<long>(::getpid())) + "-" +
                std::to_string(tempCounter.fetch_add(1));
        PathInfo info;
        Status s = env.Stat(*name, &info);
        if (!s.ok()) return s;
        if (!info.exists) return Status::OK();
    }
    return Status::IOError("cannot save " + target + ": no free temporary name beside it");
}

// Why write() failed: the file's own reason when it refused a write, else
// the content could not be produced.
Status WriteFailure(const FileSink& sink, const std::string& target) {
    if (!sink.status().ok()) return sink.status();
    return Status::IOError("cannot save " + target + ": its content could not be encoded");
}

// Creates, writes, syncs and closes the temporary file.  The file object
// goes to *held, since it keeps the file from being taken for abandoned
// until the rename is done.
Status WriteTemp(Env& env, const std::string& temp, const std::string& target, const PathInfo& old,
                 const std::function<bool(ByteSink&)>& write, std::unique_ptr<WritableFile>* held) {
    Status s = old.exists ? env.CreateNew(temp, old.permissions, true, held)
                          : env.CreateNew(temp, kNewFilePermissions, false, held);
    if (!s.ok()) return s;
    WritableFile* file = held->get();
    {
        FileSink sink(*file);
        if (!write(sink) || !sink.Flush()) s = WriteFailure(sink, target);
    }
    if (s.ok()) s = file->Sync();
    Status closed = file->Close();  // the descriptor goes whatever happened before
    return s.ok() ? closed : s;
}

bool AllDigits(const std::string& text, std::size_t from, std::size_t to) {
    if (from >= to) return false;
    for (std::size_t i = from; i < to; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

// True for "<base>.tmp-<digits>-<digits>", the names PickTempName makes.
bool IsTempNameOf(const std::string& name, const std::string& base) {
    const std::string prefix = base + kTempInfix;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
    const std::size_t dash = name.find('-', prefix.size());
    return dash != std::string::npos && AllDigits(name, prefix.size(), dash) &&
           AllDigits(name, dash + 1, name.size());
}

// Removes the temporary files of earlier saves of target whose writers are
// gone (see the top of this file).  dir: target's directory, "." for none.
void RemoveAbandonedTemps(Env& env, const std::string& target, const std::string& dir) {
    try {
        std::vector<std::string> names;
        if (!env.GetChildren(dir, &names).ok()) return;
        const std::size_t slash = target.find_last_of(kSeparators);
        const std::string head = slash == std::string::npos ? "" : target.substr(0, slash + 1);
        const std::string base = target.substr(head.size());
        for (const std::string& name : names) {
            if (!IsTempNameOf(name, base)) continue;
            bool removed = false;
            env.RemoveIfAbandoned(head + name, &removed);  // a failure leaves it for later
        }
    } catch (const std::bad_alloc&) {
        // The sweep only frees space; the save goes on without it.
    }
}

Status ChangedSinceRead(const std::string& target) {
    return Status::Conflict("cannot save " + target + ": another writer changed it since it was read");
}

// Under the target's lock: renames temp over target if target is still the
// version loaded, or if no file is there (then without replacing one that
// appears meanwhile).  *lock keeps the lock until the caller is done.
Status ReplaceUnlessChanged(Env& env, const std::string& temp, const std::string& target,
                            const FileVersion& loaded, std::unique_ptr<FileLock>* lock) {
    bool exists = false;
    FileVersion current;
    Status s = env.LockForReplace(target, lock, &exists, &current);
    if (!s.ok()) return s;
    if (exists && current != loaded) return ChangedSinceRead(target);
    if (exists) return env.Rename(temp, target);
    bool renamed = false;
    s = env.RenameNoReplace(temp, target, &renamed);
    if (s.ok() && !renamed) return ChangedSinceRead(target);
    return s;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of(kSeparators);
    if (slash == std::string::npos) return "";
    if (slash == 0) return path.substr(0, 1);
#ifdef _WIN32
    if (slash == 2 && path[1] == ':') return path.substr(0, 3);  // "C:\": the drive's root
#endif
    return path.substr(0, slash);
}

Status ResolveSymlinks(Env& env, const std::string& path, std::string* resolved) {
    std::string current = path;
    for (int depth = 0; depth <= kMaxSymlinkDepth; ++depth) {
        PathInfo info;
        Status s = env.Stat(current, &info);
        if (!s.ok()) return s;
        if (!info.isSymlink) {
            *resolved = current;
            return Status::OK();
        }
        std::string target;
        s = env.ReadLink(current, &target);
        if (!s.ok()) return s;
        if (target.empty()) return Status::InvalidArgument("the link " + current + " is empty");
        if (target[0] == '/') {
            current = target;
        } else {
            const std::string dir = DirectoryOf(current);
            current = dir.empty() ? target : (dir == "/" ? "/" + target : dir + "/" + target);
        }
    }
    return Status::InvalidArgument("cannot resolve " + path + ": more than " +
                                   std::to_string(kMaxSymlinkDepth) +
                                   " symbolic links in a row (a loop?)");
}

Status SafeReplaceFile(Env& env, const std::string& path, const FileVersion& loaded,
                       const std::function<bool(ByteSink&)>& write, FileVersion* written) {
    if (path.empty()) return Status::InvalidArgument("cannot save: no path given");
    std::string target;
    Status s = ResolveSymlinks(env, path, &target);
    if (!s.ok()) return s;
    PathInfo old;
    s = env.Stat(target, &old);
    if (!s.ok()) return s;
    if (old.exists && !old.isRegular) {  // never replace a directory or device
        return Status::InvalidArgument("cannot save " + target + ": it is not a regular file");
    }
    // Already changed: no need to write a file that cannot be renamed in.
    // The check that counts is the one under the lock, before the rename.
    if (old.exists && old.version != loaded) return ChangedSinceRead(target);
    // Everything that may allocate is done before the rename, so that after
    // it only the directory sync can fail.
    std::string dir = DirectoryOf(target);
    if (dir.empty()) dir.push_back('.');  // (assigning "" here trips a false -Wrestrict at -O3)
    RemoveAbandonedTemps(env, target, dir);
    std::string temp;
    s = PickTempName(env, target, &temp);
    if (!s.ok()) return s;
    // Made now, while there is memory, so that running out later can still
    // be told.
    Status outOfMemory = Status::IOError("cannot save " + target + ": out of memory");
    std::unique_ptr<WritableFile> held;  // the temporary file is ours until the rename
    std::unique_ptr<FileLock> lock;      // the target's, from the check to the rename
    try {
        s = WriteTemp(env, temp, target, old, write, &held);
        if (s.ok()) s = ReplaceUnlessChanged(env, temp, target, loaded, &lock);
    } catch (const std::bad_alloc&) {
        s = std::move(outOfMemory);  // the temporary file goes like after any failed write
    }
    if (!s.ok()) {
        if (held != nullptr) env.Remove(temp);  // never a file of another save of that name
        return s;
    }
    // Read while the new file is still held: no save can have replaced it.
    // Unknown, the version is all zero, and a later save over it conflicts.
    try {
        if (!held->Version(written).ok()) *written = FileVersion();
    } catch (const std::bad_alloc&) {
        *written = FileVersion();  // the file is in place: the save stands
    }
    lock.reset();
    held.reset();
    s = env.SyncDirectory(dir);
    if (!s.ok()) {
        return Status::IOError(target + " was replaced, but the replacement may not survive a crash: " +
                               s.message());
    }
    return Status::OK();
}

}  // namespace morvane
