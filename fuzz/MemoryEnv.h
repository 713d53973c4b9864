// MemoryEnv.h - an Env whose files live in memory, so that a fuzzer can run
// the whole open and save of an area without touching the disk.  A path's
// directory is the part before its last '/', "." for a bare name.
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
        *file = std::make_unique<Reader>(it->second);
        return Status::OK();
    }
    Status CreateNew(const std::string& path, unsigned, bool,
                     std::unique_ptr<WritableFile>* file) override {
        if (files.count(path) != 0) return Status::IOError("cannot create " + path + ": exists");
        *file = std::make_unique<Writer>(files[path], held, path);
        return Status::OK();
    }
    Status Rename(const std::string& from, const std::string& to) override {
        auto it = files.find(from);
        if (it == files.end()) return Status::NotFound("cannot rename " + from + ": no such file");
        FileBytes moved = std::move(it->second);
        files.erase(it);
        files[to] = std::move(moved);
        return Status::OK();
    }
    Status Remove(const std::string& path) override {
        if (files.erase(path) != 1) return Status::NotFound("cannot remove " + path + ": no such file");
        return Status::OK();
    }
    Status SyncDirectory(const std::string&) override { return Status::OK(); }
    Status Stat(const std::string& path, PathInfo* info) override {
        *info = PathInfo{};
        if (files.count(path) == 0) return Status::OK();
        info->exists = true;
        info->isRegular = true;
        info->permissions = 0644;
        return Status::OK();
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
        return Status::OK();
    }

private:
    class Reader final : public SequentialFile {
    public:
        explicit Reader(const FileBytes& bytes) : bytes_(bytes) {}
        Status Read(void* dst, std::size_t n, std::size_t* got) override {
            *got = std::min(n, bytes_.size() - position_);
            if (*got != 0) std::memcpy(dst, bytes_.data() + position_, *got);
            position_ += *got;
            return Status::OK();
        }

    private:
        const FileBytes& bytes_;
        std::size_t position_ = 0;
    };

    // Writes into the bytes of a file; they must not be used after Close,
    // since a rename moves them.
    class Writer final : public WritableFile {
    public:
        Writer(FileBytes& bytes, std::set<std::string>& held, std::string path)
            : bytes_(bytes), held_(held), path_(std::move(path)) {
            held_.insert(path_);
        }
        ~Writer() override { held_.erase(path_); }
        Status Append(const void* data, std::size_t n) override {
            const auto* p = static_cast<const unsigned char*>(data);
            bytes_.insert(bytes_.end(), p, p + n);
            return Status::OK();
        }
        Status Sync() override { return Status::OK(); }
        Status Close() override { return Status::OK(); }

    private:
        FileBytes& bytes_;
        std::set<std::string>& held_;
        std::string path_;
    };
};

}  // namespace morvane::fuzz

#endif
