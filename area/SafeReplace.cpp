// SafeReplace.cpp - temporary file, sync, rename, directory sync.
#include "SafeReplace.h"

#include "FileStreams.h"

#include <atomic>
#include <new>
#include <unistd.h>
#include <utility>

namespace morvane {

namespace {

constexpr int kMaxSymlinkDepth = 40;
constexpr int kMaxTempNameAttempts = 100;
constexpr unsigned kNewFilePermissions = 0666;  // narrowed by the umask

std::atomic<unsigned long> tempCounter{0};

// A name beside target that no file has yet.  The name carries the process
// id, so concurrent processes never pick the same one.
Status PickTempName(Env& env, const std::string& target, std::string* name) {
    for (int attempt = 0; attempt < kMaxTempNameAttempts; ++attempt) {
        *name = target + ".tmp-" + std::to_string(static_cast<long>(::getpid())) + "-" +
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

Status WriteTemp(Env& env, const std::string& temp, const std::string& target, const PathInfo& old,
                 const std::function<bool(ByteSink&)>& write) {
    std::unique_ptr<WritableFile> file;
    Status s = old.exists ? env.CreateNew(temp, old.permissions, true, &file)
                          : env.CreateNew(temp, kNewFilePermissions, false, &file);
    if (!s.ok()) return s;
    {
        FileSink sink(*file);
        if (!write(sink) || !sink.Flush()) s = WriteFailure(sink, target);
    }
    if (s.ok()) s = file->Sync();
    Status closed = file->Close();  // the descriptor goes whatever happened before
    return s.ok() ? closed : s;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
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

Status SafeReplaceFile(Env& env, const std::string& path,
                       const std::function<bool(ByteSink&)>& write) {
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
    // Everything that may allocate is done before the rename, so that after
    // it only the directory sync can fail.
    std::string dir = DirectoryOf(target);
    if (dir.empty()) dir.push_back('.');  // (assigning "" here trips a false -Wrestrict at -O3)
    std::string temp;
    s = PickTempName(env, target, &temp);
    if (!s.ok()) return s;
    // Made now, while there is memory, so that running out later can still
    // be told.
    Status outOfMemory = Status::IOError("cannot save " + target + ": out of memory");
    try {
        s = WriteTemp(env, temp, target, old, write);
        if (s.ok()) s = env.Rename(temp, target);
    } catch (const std::bad_alloc&) {
        s = std::move(outOfMemory);  // the temporary file goes like after any failed write
    }
    if (!s.ok()) {
        env.Remove(temp);
        return s;
    }
    s = env.SyncDirectory(dir);
    if (!s.ok()) {
        return Status::IOError(target + " was replaced, but the replacement may not survive a crash: " +
                               s.message());
    }
    return Status::OK();
}

}  // namespace morvane
