// FaultEnv.h - an Env for tests that passes every call to the POSIX Env,
// counts the calls, and fails the one chosen call.
//
// A fault names an operation and which of its calls fails (0 = the next
// one); the failure is one-shot.  A failed Append either writes nothing or,
// as a short write on a full disk does, writes the first half of its bytes.
#ifndef MORVANE_TESTS_AREA_FAULTENV_H
#define MORVANE_TESTS_AREA_FAULTENV_H

#include "Env.h"

#include <array>
#include <cstddef>
#include <memory>
#include <string>

namespace morvane::test {

enum class Op { kOpen, kRead, kCreate, kAppend, kSync, kClose, kRename, kRemove, kSyncDir, kStat,
                kReadLink, kCount };

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

    std::unique_ptr<SequentialFile> OpenForReading(const std::string& path) override;
    std::unique_ptr<WritableFile> CreateNew(const std::string& path, unsigned permissions,
                                            bool exactPermissions) override;
    bool Rename(const std::string& from, const std::string& to) override {
        return !Trip(Op::kRename) && base_->Rename(from, to);
    }
    bool Remove(const std::string& path) override {
        return !Trip(Op::kRemove) && base_->Remove(path);
    }
    bool SyncDirectory(const std::string& dir) override {
        return !Trip(Op::kSyncDir) && base_->SyncDirectory(dir);
    }
    bool Stat(const std::string& path, PathInfo* info) override {
        return !Trip(Op::kStat) && base_->Stat(path, info);
    }
    bool ReadLink(const std::string& path, std::string* target) override {
        return !Trip(Op::kReadLink) && base_->ReadLink(path, target);
    }

private:
    Env* base_ = Env::Posix();
    std::array<int, static_cast<std::size_t>(Op::kCount)> calls_{};
    Op failOp_ = Op::kCount;
    int failAfter_ = 0;
    AppendFailure appendFailure_ = AppendFailure::kNothingWritten;
};

class FaultSequentialFile final : public SequentialFile {
public:
    FaultSequentialFile(FaultEnv& env, std::unique_ptr<SequentialFile> base)
        : env_(env), base_(std::move(base)) {}
    bool Read(void* dst, std::size_t n, std::size_t* got) override {
        return !env_.Trip(Op::kRead) && base_->Read(dst, n, got);
    }

private:
    FaultEnv& env_;
    std::unique_ptr<SequentialFile> base_;
};

class FaultWritableFile final : public WritableFile {
public:
    FaultWritableFile(FaultEnv& env, std::unique_ptr<WritableFile> base)
        : env_(env), base_(std::move(base)) {}
    bool Append(const void* data, std::size_t n) override {
        if (env_.Trip(Op::kAppend)) {
            if (env_.appendFailure() == AppendFailure::kHalfWritten) base_->Append(data, n / 2);
            return false;
        }
        return base_->Append(data, n);
    }
    bool Sync() override { return !env_.Trip(Op::kSync) && base_->Sync(); }
    bool Close() override {
        const bool closed = base_->Close();  // the descriptor is released either way
        return !env_.Trip(Op::kClose) && closed;
    }

private:
    FaultEnv& env_;
    std::unique_ptr<WritableFile> base_;
};

inline std::unique_ptr<SequentialFile> FaultEnv::OpenForReading(const std::string& path) {
    if (Trip(Op::kOpen)) return nullptr;
    auto file = base_->OpenForReading(path);
    if (file == nullptr) return nullptr;
    return std::make_unique<FaultSequentialFile>(*this, std::move(file));
}

inline std::unique_ptr<WritableFile> FaultEnv::CreateNew(const std::string& path,
                                                         unsigned permissions,
                                                         bool exactPermissions) {
    if (Trip(Op::kCreate)) return nullptr;
    auto file = base_->CreateNew(path, permissions, exactPermissions);
    if (file == nullptr) return nullptr;
    return std::make_unique<FaultWritableFile>(*this, std::move(file));
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
