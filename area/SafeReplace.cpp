// SafeReplace.cpp - temporary file, sync, rename, directory sync.
#include "SafeReplace.h"

#include "FileStreams.h"

#include <atomic>
#include <new>
#include <unistd.h>

namespace morvane {

namespace {

constexpr int kMaxSymlinkDepth = 40;
constexpr int kMaxTempNameAttempts = 100;
constexpr unsigned kNewFilePermissions = 0666;  // narrowed by the umask

std::atomic<unsigned long> tempCounter{0};

// A name beside target that no file has yet.  The name carries the process
// id, so concurrent processes never pick the same one.
bool PickTempName(Env& env, const std::string& target, std::string* name) {
    for (int attempt = 0; attempt < kMaxTempNameAttempts; ++attempt) {
        *name = target + ".tmp-" + std::to_string(static_cast<long>(::getpid())) + "-" +
                std::to_string(tempCounter.fetch_add(1));
        PathInfo info;
        if (!env.Stat(*name, &info)) return false;
        if (!info.exists) return true;
    }
    return false;
}

bool WriteTemp(Env& env, const std::string& temp, const PathInfo& old,
               const std::function<bool(ByteSink&)>& write) {
    auto file = old.exists ? env.CreateNew(temp, old.permissions, true)
                           : env.CreateNew(temp, kNewFilePermissions, false);
    if (file == nullptr) return false;
    bool ok;
    {
        FileSink sink(*file);
        ok = write(sink) && sink.Flush() && file->Sync();
    }
    const bool closed = file->Close();
    return ok && closed;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool ResolveSymlinks(Env& env, const std::string& path, std::string* resolved) {
    std::string current = path;
    for (int depth = 0; depth <= kMaxSymlinkDepth; ++depth) {
        PathInfo info;
        if (!env.Stat(current, &info)) return false;
        if (!info.isSymlink) {
            *resolved = current;
            return true;
        }
        std::string target;
        if (!env.ReadLink(current, &target) || target.empty()) return false;
        if (target[0] == '/') {
            current = target;
        } else {
            const std::string dir = DirectoryOf(current);
            current = dir.empty() ? target : (dir == "/" ? "/" + target : dir + "/" + target);
        }
    }
    return false;  // a loop of links
}

bool SafeReplaceFile(Env& env, const std::string& path,
                     const std::function<bool(ByteSink&)>& write) {
    std::string target;
    if (path.empty() || !ResolveSymlinks(env, path, &target)) return false;
    PathInfo old;
    if (!env.Stat(target, &old)) return false;
    if (old.exists && !old.isRegular) return false;  // never replace a directory or device
    // Everything that may allocate is done before the rename, so that after
    // it only the directory sync can fail.
    std::string dir = DirectoryOf(target);
    if (dir.empty()) dir.push_back('.');  // (assigning "" here trips a false -Wrestrict at -O3)
    std::string temp;
    if (!PickTempName(env, target, &temp)) return false;
    bool written = false;
    try {
        written = WriteTemp(env, temp, old, write);
    } catch (const std::bad_alloc&) {
        written = false;  // the temporary file goes like after any failed write
    }
    if (!written || !env.Rename(temp, target)) {
        env.Remove(temp);
        return false;
    }
    return env.SyncDirectory(dir);
}

}  // namespace morvane
