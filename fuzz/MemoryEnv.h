// MemoryEnv.h - an Env whose files live in memory, so that a fuzzer can run
// the whole open and save of an area without touching the disk.  A path's
// directory is the part before its last '/', "." for a bare name.  Each file
// made gets a serial number of its own, which a rename takes along: its
// version is that number and its size.  Nobody else writes, so LockForReplace
// needs to hold nothing.
#ifndef MORVANE_FUZZ_MEMORYENV_H
#define MORVANE_FUZZ_MEMORYENV_H

#include "Env.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace morvane::fuzz {

using FileBytes = std::vector<unsigned char>;

class MemoryEnv final : public Env {
public:
    std::map<std::string, FileBytes> files;
    std::set<std::string> held;  // paths whose Writer is still alive

    Status OpenForReading(const std::string& path, std::unique_ptr<SequentialFile>* file) override {
        auto it = files.find(path);
        if (it == files.end()) return Status::NotFound("cannot open " + path + ": no such file");
        *file = std::make_unique<Reader>(it->second, VersionOf(path));
        return Status::OK();
    }
    Status CreateNew(const std::string& path, unsigned, bool,
                     std::unique_ptr<WritableFile>* file) override {
        if (files.count(path) != 0) return Status::IOError("cannot create " + path + ": exists");
        serials_[path] = ++lastSerial_;
        *file = std::make_unique<Writer>(files[path], held, path, lastSerial_);
        return Status::OK();
    }
    Status Rename(const std::string& from, const std::string& to) override {
        auto it = files.find(from);
        if (it == files.end()) return Status::NotFound("cannot rename " + from + ": no such file");
        FileBytes moved = std::move(it->second);
        files.erase(it);
        files[to] = std::move(moved);
        serials_[to] = serials_[from];
        serials_.erase(from);
        return Status::OK();
    }
    Status Remove(const std::string& path) override {
        if (files.erase(path) != 1) return Status::NotFound("cannot remove " + path + ": no such file");
        serials_.erase(path);
        return Status::OK();
    }
    Status SyncDirectory(const std::string&) override { return Status::OK(); }
    Status Stat(const std::string& path, PathInfo* info) override {
        *info = PathInfo{};
        if (files.count(path) == 0) return Status::OK();
        info->exists = true;
        info->isRegular = true;
        info->permissions = 0644;
        info->version = VersionOf(path);
        return Status::OK();
    }
    Status LockForReplace(const std::string& path, std::unique_ptr<FileLock>* lock, bool* exists,
                          FileVersion* version) override {
        lock->reset();
        *exists = files.count(path) != 0;
        if (*exists) *version = VersionOf(path);
        return Status::OK();
    }
    Status RenameNoReplace(const std::string& from, const std::string& to, bool* renamed) override {
        *renamed = files.count(to) == 0;
        return *renamed ? Rename(from, to) : Status::OK();
    }
    Status ReadLink(const std::string& path, std::string*) override {
        return Status::InvalidArgument("cannot read the link " + path + ": not a link");
    }
    Status GetChildren(const std::string& dir, std::vector<std::string>* names) override {
        names->clear();
        for (const auto& [path, bytes] : files) {
            const std::size_t slash = path.find_last_of('/');
            const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash);
            if (parent == dir) names->push_back(path.substr(slash == std::string::npos ? 0 : slash + 1));
        }
        return Status::OK();
    }
    Status RemoveIfAbandoned(const std::string& path, bool* removed) override {
        *removed = held.count(path) == 0 && files.erase(path) == 1;
        if (*removed) serials_.erase(path);
        return Status::OK();
    }

private:
    // Files put in `files` by hand count as serial 0.
    FileVersion VersionOf(const std::string& path) const {
        FileVersion version;
        const auto serial = serials_.find(path);
        version.inode = serial == serials_.end() ? 0 : serial->second;
        version.size = files.at(path).size();
        return version;
    }

    class Reader final : public SequentialFile {
    public:
        Reader(const FileBytes& bytes, const FileVersion& version) : bytes_(bytes), version_(version) {}
        Status Read(void* dst, std::size_t n, std::size_t* got) override {
            *got = std::min(n, bytes_.size() - position_);
            if (*got != 0) std::memcpy(dst, bytes_.data() + position_, *got);
            position_ += *got;
            return Status::OK();
        }
        Status Version(FileVersion* version) override {
            *version = version_;
            return Status::OK();
        }

    private:
        const FileBytes& bytes_;
        FileVersion version_;
        std::size_t position_ = 0;
    };

    // Writes into the bytes of a file; they must not be used after Close,
    // since a rename moves them.
    class Writer final : public WritableFile {
    public:
        Writer(FileBytes& bytes, std::set<std::string>& held, std::string path, std::uint64_t serial)
            : bytes_(bytes), held_(held), path_(std::move(path)) {
            held_.insert(path_);
            version_.inode = serial;
        }
        ~Writer() override { held_.erase(path_); }
        Status Append(const void* data, std::size_t n) override {
            const auto* p = static_cast<const unsigned char*>(data);
            bytes_.insert(bytes_.end(), p, p + n);
            version_.size += n;
            return Status::OK();
        }
        Status Sync() override { return Status::OK(); }
        Status Close() override { return Status::OK(); }
        Status Version(FileVersion* version) override {
            *version = version_;
            return Status::OK();
        }

    private:
        FileBytes& bytes_;
        std::set<std::string>& held_;
        std::string path_;
        FileVersion version_;  // kept here: a rename moves the bytes away
    };

    std::map<std::string, std::uint64_t> serials_;
    std::uint64_t lastSerial_ = 0;
};

}  // namespace morvane::fuzz

#endif
