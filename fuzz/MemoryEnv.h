// MemoryEnv.h - an Env whose files live in memory, so that a fuzzer can run
// the whole open and save of an area without touching the disk.
#ifndef MORVANE_FUZZ_MEMORYENV_H
#define MORVANE_FUZZ_MEMORYENV_H

#include "Env.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace morvane::fuzz {

using FileBytes = std::vector<unsigned char>;

class MemoryEnv final : public Env {
public:
    std::map<std::string, FileBytes> files;

    std::unique_ptr<SequentialFile> OpenForReading(const std::string& path) override {
        auto it = files.find(path);
        if (it == files.end()) return nullptr;
        return std::make_unique<Reader>(it->second);
    }
    std::unique_ptr<WritableFile> CreateNew(const std::string& path, unsigned, bool) override {
        if (files.count(path) != 0) return nullptr;
        return std::make_unique<Writer>(files[path]);
    }
    bool Rename(const std::string& from, const std::string& to) override {
        auto it = files.find(from);
        if (it == files.end()) return false;
        FileBytes moved = std::move(it->second);
        files.erase(it);
        files[to] = std::move(moved);
        return true;
    }
    bool Remove(const std::string& path) override { return files.erase(path) == 1; }
    bool SyncDirectory(const std::string&) override { return true; }
    bool Stat(const std::string& path, PathInfo* info) override {
        *info = PathInfo{};
        if (files.count(path) == 0) return true;
        info->exists = true;
        info->isRegular = true;
        info->permissions = 0644;
        return true;
    }
    bool ReadLink(const std::string&, std::string*) override { return false; }

private:
    class Reader final : public SequentialFile {
    public:
        explicit Reader(const FileBytes& bytes) : bytes_(bytes) {}
        bool Read(void* dst, std::size_t n, std::size_t* got) override {
            *got = std::min(n, bytes_.size() - position_);
            if (*got != 0) std::memcpy(dst, bytes_.data() + position_, *got);
            position_ += *got;
            return true;
        }

    private:
        const FileBytes& bytes_;
        std::size_t position_ = 0;
    };

    class Writer final : public WritableFile {
    public:
        explicit Writer(FileBytes& bytes) : bytes_(bytes) {}
        bool Append(const void* data, std::size_t n) override {
            const auto* p = static_cast<const unsigned char*>(data);
            bytes_.insert(bytes_.end(), p, p + n);
            return true;
        }
        bool Sync() override { return true; }
        bool Close() override { return true; }

    private:
        FileBytes& bytes_;
    };
};

}  // namespace morvane::fuzz

#endif
