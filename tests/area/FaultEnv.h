// FaultEnv.h - an Env for tests that passes every call to the platform's Env,
// counts the calls, and fails the one chosen call.
//
// A fault names an operation and which of its calls fails (0 = the next
// one); the failure is one-shot and reports an IOError that names the
// operation, the path and "injected fault".  A failed Append either writes
// nothing or, as a short write on a full disk does, writes the first half of
// its bytes.
#ifndef MORVANE_TESTS_AREA_FAULTENV_H
#define MORVANE_TESTS_AREA_FAULTENV_H

#include "Env.h"

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace morvane::test {

// kVersion: the Version call of an open file, read or written.
enum class Op { kOpen, kRead, kCreate, kAppend, kSync, kClose, kRename, kRemove, kSyncDir, kStat,
                kReadLink, kList, kRemoveAbandoned, kVersion, kLock, kRenameNoReplace, kCount };

enum class AppendFailure { kNothingWritten, kHalfWritten };

class FaultEnv final : public Env {
public:
    FaultEnv() = default;

    // Fails call number `skip` (counted from 0, from now on) of op.
    void FailOnce(Op op, int skip = 0, AppendFailure how = AppendFailure::kNothingWritten) {
        failOp_ = op;
        failAfter_ = skip;
        appendFailure_ = how;
    }
    void ClearFault() { failOp_ = Op::kCount; }
    int Calls(Op op) const { return calls_[static_cast<std::size_t>(op)]; }
    void ResetCounts() { calls_.fill(0); }

    // True when this call of op is the one chosen to fail.
    bool Trip(Op op) {
        ++calls_[static_cast<std::size_t>(op)];
        if (op != failOp_) return false;
        if (failAfter_-- > 0) return false;
        failOp_ = Op::kCount;
        return true;
    }
    AppendFailure appendFailure() const { return appendFailure_; }

    // The status of a failure injected into op on path.
    static Status Injected(const char* op, const std::string& path) {
        return Status::IOError(std::string(op) + " " + path + ": injected fault");
    }

    Status OpenForReading(const std::string& path, std::unique_ptr<SequentialFile>* file) override;
    Status CreateNew(const std::string& path, unsigned permissions, bool exactPermissions,
                     std::unique_ptr<WritableFile>* file) override;
    Status Rename(const std::string& from, const std::string& to) override {
        if (Trip(Op::kRename)) return Injected("rename", from);
        return base_->Rename(from, to);
    }
    Status Remove(const std::string& path) override {
        if (Trip(Op::kRemove)) return Injected("remove", path);
        return base_->Remove(path);
    }
    Status SyncDirectory(const std::string& dir) override {
        if (Trip(Op::kSyncDir)) return Injected("sync directory", dir);
        return base_->SyncDirectory(dir);
    }
    Status Stat(const std::string& path, PathInfo* info) override {
        if (Trip(Op::kStat)) return Injected("stat", path);
        return base_->Stat(path, info);
    }
    Status ReadLink(const std::string& path, std::string* target) override {
        if (Trip(Op::kReadLink)) return Injected("readlink", path);
        return base_->ReadLink(path, target);
    }
    Status GetChildren(const std::string& dir, std::vector<std::string>* names) override {
        if (Trip(Op::kList)) return Injected("list", dir);
        return base_->GetChildren(dir, names);
    }
    Status RemoveIfAbandoned(const std::string& path, bool* removed) override {
        *removed = false;
        if (Trip(Op::kRemoveAbandoned)) return Injected("remove if abandoned", path);
        return base_->RemoveIfAbandoned(path, removed);
    }
    Status LockForReplace(const std::string& path, std::unique_ptr<FileLock>* lock, bool* exists,
                          FileVersion* version) override {
        if (Trip(Op::kLock)) return Injected("lock", path);
        return base_->LockForReplace(path, lock, exists, version);
    }
    Status RenameNoReplace(const std::string& from, const std::string& to, bool* renamed) override {
        *renamed = false;
        if (Trip(Op::kRenameNoReplace)) return Injected("rename without replacing", from);
        return base_->RenameNoReplace(from, to, renamed);
    }

private:
    Env* base_ = Env::Default();
    std::array<int, static_cast<std::size_t>(Op::kCount)> calls_{};
    Op failOp_ = Op::kCount;
    int failAfter_ = 0;
    AppendFailure appendFailure_ = AppendFailure::kNothingWritten;
};

class FaultSequentialFile final : public SequentialFile {
public:
    FaultSequentialFile(FaultEnv& env, std::unique_ptr<SequentialFile> base, std::string path)
        : env_(env), base_(std::move(base)), path_(std::move(path)) {}
    Status Read(void* dst, std::size_t n, std::size_t* got) override {
        if (env_.Trip(Op::kRead)) return FaultEnv::Injected("read", path_);
        return base_->Read(dst, n, got);
    }
    Status Version(FileVersion* version) override {
        if (env_.Trip(Op::kVersion)) return FaultEnv::Injected("examine", path_);
        return base_->Version(version);
    }

private:
    FaultEnv& env_;
    std::unique_ptr<SequentialFile> base_;
    std::string path_;
};

class FaultWritableFile final : public WritableFile {
public:
    FaultWritableFile(FaultEnv& env, std::unique_ptr<WritableFile> base, std::string path)
        : env_(env), base_(std::move(base)), path_(std::move(path)) {}
    Status Append(const void* data, std::size_t n) override {
        if (env_.Trip(Op::kAppend)) {
            if (env_.appendFailure() == AppendFailure::kHalfWritten) base_->Append(data, n / 2);
            return FaultEnv::Injected("write", path_);
        }
        return base_->Append(data, n);
    }
    Status Sync() override {
        if (env_.Trip(Op::kSync)) return FaultEnv::Injected("sync", path_);
        return base_->Sync();
    }
    Status Close() override {
        Status closed = base_->Close();  // the descriptor is released either way
        if (env_.Trip(Op::kClose)) return FaultEnv::Injected("close", path_);
        return closed;
    }
    Status Version(FileVersion* version) override {
        if (env_.Trip(Op::kVersion)) return FaultEnv::Injected("examine", path_);
        return base_->Version(version);
    }

private:
    FaultEnv& env_;
    std::unique_ptr<WritableFile> base_;
    std::string path_;
};

inline Status FaultEnv::OpenForReading(const std::string& path,
                                       std::unique_ptr<SequentialFile>* file) {
    if (Trip(Op::kOpen)) return Injected("open", path);
    std::unique_ptr<SequentialFile> base;
    Status s = base_->OpenForReading(path, &base);
    if (!s.ok()) return s;
    *file = std::make_unique<FaultSequentialFile>(*this, std::move(base), path);
    return s;
}

inline Status FaultEnv::CreateNew(const std::string& path, unsigned permissions,
                                  bool exactPermissions, std::unique_ptr<WritableFile>* file) {
    if (Trip(Op::kCreate)) return Injected("create", path);
    std::unique_ptr<WritableFile> base;
    Status s = base_->CreateNew(path, permissions, exactPermissions, &base);
    if (!s.ok()) return s;
    *file = std::make_unique<FaultWritableFile>(*this, std::move(base), path);
    return s;
}

// Installs a FaultEnv for the areas for the lifetime of the guard.
class ScopedFaultEnv {
public:
    ScopedFaultEnv() { SetAreaEnv(&env_); }
    ~ScopedFaultEnv() { SetAreaEnv(nullptr); }
    FaultEnv* operator->() { return &env_; }
    FaultEnv& env() { return env_; }

private:
    FaultEnv env_;
};

}  // namespace morvane::test

#endif
