// The file area never saves over another writer's version: what may happen
// to the file between an area's open and its close, and which of those the
// close must refuse; a save that waited for another save's lock; faults in
// the calls that check the version.
#include "AreaObserver.h"
#include "AreaTestKit.h"
#include "Env.h"
#include "FaultEnv.h"
#include "Morvane.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#ifdef _WIN32
#include <unistd.h>  // unlink
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#endif

namespace morvane::test {
namespace {

std::string ConflictReason(const std::string& path) {
    return "another writer changed " + path + " since the area was opened; the groups were not saved";
}

unsigned long PointsOfGroupOne(CFile_Morvane& area) {
    unsigned long points = 0;
    EXPECT_EQ(area.OpenGCPGroup(1), 1);
    EXPECT_EQ(area.GetGCPNum(points), 1);
    EXPECT_EQ(area.CloseGCPGroup(), 1);
    return points;
}

// Opens path and appends one point to group 1, so that the close must save.
void OpenAndAddPoint(CFile_Morvane& area, const std::string& path) {
    ASSERT_EQ(area.OpenGCPArea(0, 0, path.c_str()), 1) << area.GetLastError();
    ASSERT_EQ(area.OpenGCPGroup(1), 1);
    unsigned long points = 0;
    ASSERT_EQ(area.GetGCPNum(points), 1);
    _CtrlPntStrcT p = TestPoint(77);
    area.AddOneGCP(points + 1, &p);
    ASSERT_EQ(area.CloseGCPGroup(), 1);
}

// Lets the area close without saving.
void DropGroups(CFile_Morvane& area) {
    ASSERT_EQ(area.OpenGCPGroup(1), 1);
    ASSERT_EQ(area.SetChangeFlag(false), 1);
    ASSERT_EQ(area.CloseGCPGroup(), 1);
    ASSERT_EQ(area.CloseGCPArea(), 1);
}

// Renames from over to as another program's save would; std::filesystem
// replaces an existing file on every platform (Windows' rename() does not).
bool RenameOver(const std::string& from, const std::string& to) {
    std::error_code error;
    fs::rename(from, to, error);
    return !error;
}

// Sets the file's modification time an hour back, so that a write in place
// changes it whatever the clock's granularity.
void AgeFile(const std::string& path) {
#ifdef _WIN32
    std::error_code error;
    fs::last_write_time(path, fs::last_write_time(path) - std::chrono::hours(1), error);
    ASSERT_FALSE(error) << error.message();
#else
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    const struct timespec times[2] = {{st.st_atim.tv_sec - 3600, 0}, {st.st_mtim.tv_sec - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
#endif
}

enum class Meanwhile {
    kNothing,
    kSavedByAnotherArea,
    kRewrittenInPlace,    // same length, as an editor that writes in place
    kReplacedByRename,    // as another program's safe save
    kRemoved,
    kRemovedAndMadeAgain,
};

struct MeanwhileCase {
    const char* label;
    Meanwhile meanwhile;
    bool saves;  // else refused as a conflict
};

void PrintTo(const MeanwhileCase& c, std::ostream* out) { *out << c.label; }

class WhatAnotherWriterDid : public ::testing::TestWithParam<MeanwhileCase> {
protected:
    TempDir dir_;
    std::string path_ = dir_.File("area.gcp");
};

TEST_P(WhatAnotherWriterDid, DecidesWhetherTheCloseMaySave) {
    const MeanwhileCase& c = GetParam();
    const Bytes original = SampleFile({3});
    const Bytes theirs = SampleFile({5});
    WriteFileBytes(path_, original);
    AgeFile(path_);
    CFile_Morvane area;
    OpenAndAddPoint(area, path_);
    switch (c.meanwhile) {
        case Meanwhile::kNothing: break;
        case Meanwhile::kSavedByAnotherArea: {
            CFile_Morvane other;
            OpenAndAddPoint(other, path_);
            ASSERT_EQ(other.CloseGCPArea(), 1) << other.GetLastError();
            break;
        }
        case Meanwhile::kRewrittenInPlace: {
            Bytes edited = original;
            // Checked first: without it g++ 12 at -O3 warns falsely
            // (-Warray-bounds) about back() of an empty sample.
            ASSERT_FALSE(edited.empty());
            edited.back() ^= 1;
            WriteFileBytes(path_, edited);
            break;
        }
        case Meanwhile::kReplacedByRename:
            WriteFileBytes(dir_.File("new"), theirs);
            ASSERT_TRUE(RenameOver(dir_.File("new"), path_));
            break;
        case Meanwhile::kRemoved: ASSERT_EQ(::unlink(path_.c_str()), 0); break;
        case Meanwhile::kRemovedAndMadeAgain:
            ASSERT_EQ(::unlink(path_.c_str()), 0);
            WriteFileBytes(path_, theirs);
            break;
    }
    const Bytes before = ReadFileBytes(path_);
    const unsigned long held = PointsOfGroupOne(area);

    if (c.saves) {
        ASSERT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
        CFile_Morvane again;
        ASSERT_EQ(again.OpenGCPArea(0, 0, path_.c_str()), 1);
        EXPECT_EQ(PointsOfGroupOne(again), held);
        EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"area.gcp"});
        return;
    }
    EXPECT_EQ(area.CloseGCPArea(), 0);
    EXPECT_EQ(area.GetLastError(), ConflictReason(path_));
    EXPECT_EQ(ReadFileBytes(path_), before) << "the refused save wrote";
    EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"area.gcp"}) << "a temporary file was left";
    // The groups stay, as after any failed save; closing again is refused
    // again, since the file is still the other writer's.
    EXPECT_TRUE(HoldsGroups(area));
    EXPECT_EQ(PointsOfGroupOne(area), held);
    EXPECT_EQ(area.CloseGCPArea(), 0);
    EXPECT_EQ(area.GetLastError(), ConflictReason(path_));
    // The way on: drop the groups, open again, repeat the edit.
    DropGroups(area);
    EXPECT_EQ(ReadFileBytes(path_), before);
    OpenAndAddPoint(area, path_);
    ASSERT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
}

const MeanwhileCase kMeanwhileCases[] = {
    {"Nothing", Meanwhile::kNothing, true},
    {"SavedByAnotherArea", Meanwhile::kSavedByAnotherArea, false},
    {"RewrittenInPlace", Meanwhile::kRewrittenInPlace, false},
    {"ReplacedByRename", Meanwhile::kReplacedByRename, false},
    // Nobody's version is overwritten: the save makes the file anew.
    {"Removed", Meanwhile::kRemoved, true},
    {"RemovedAndMadeAgain", Meanwhile::kRemovedAndMadeAgain, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, WhatAnotherWriterDid, ::testing::ValuesIn(kMeanwhileCases),
                         [](const auto& info) { return std::string(info.param.label); });

// Passes every call to the POSIX Env and tells when a save asks for the
// target's lock.
class LockWatchingEnv final : public Env {
public:
    std::atomic<bool> lockAsked{false};

    Status OpenForReading(const std::string& p, std::unique_ptr<SequentialFile>* f) override {
        return base_->OpenForReading(p, f);
    }
    Status CreateNew(const std::string& p, unsigned m, bool e, std::unique_ptr<WritableFile>* f) override {
        return base_->CreateNew(p, m, e, f);
    }
    Status Rename(const std::string& f, const std::string& t) override { return base_->Rename(f, t); }
    Status Remove(const std::string& p) override { return base_->Remove(p); }
    Status SyncDirectory(const std::string& d) override { return base_->SyncDirectory(d); }
    Status Stat(const std::string& p, PathInfo* i) override { return base_->Stat(p, i); }
    Status ReadLink(const std::string& p, std::string* t) override { return base_->ReadLink(p, t); }
    Status GetChildren(const std::string& d, std::vector<std::string>* n) override {
        return base_->GetChildren(d, n);
    }
    Status RemoveIfAbandoned(const std::string& p, bool* r) override { return base_->RemoveIfAbandoned(p, r); }
    Status LockForReplace(const std::string& p, std::unique_ptr<FileLock>* l, bool* e, FileVersion* v) override {
        lockAsked = true;
        return base_->LockForReplace(p, l, e, v);
    }
    Status RenameNoReplace(const std::string& f, const std::string& t, bool* r) override {
        return base_->RenameNoReplace(f, t, r);
    }

private:
    Env* base_ = Env::Default();
};

// The lock is on the file, and a save renames a new file in while it holds
// the old one's: a save that waited for that lock must see that the path
// names another file now, and refuse.
TEST(SaveLockTest, SaveThatWaitedForTheLockSeesTheFileRenamedInMeanwhile) {
    TempDir dir;
    const std::string path = dir.File("area.gcp");
    WriteFileBytes(path, SampleFile({3}));
    CFile_Morvane area;
    OpenAndAddPoint(area, path);

    // This test holds the lock, as another save between its check and its
    // rename would.
    std::unique_ptr<FileLock> held;
    bool exists = false;
    FileVersion version;
    ASSERT_TRUE(Env::Default()->LockForReplace(path, &held, &exists, &version).ok());
    ASSERT_TRUE(exists);

    LockWatchingEnv env;
    SetAreaEnv(&env);
    std::atomic<short> closed{-1};
    std::thread saver([&] { closed = area.CloseGCPArea(); });
    while (!env.lockAsked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Time for the saver to open the old file and wait on its lock.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(closed, -1) << "the save did not wait for the lock";
    const Bytes theirs = SampleFile({5});
    WriteFileBytes(dir.File("theirs"), theirs);
    ASSERT_TRUE(RenameOver(dir.File("theirs"), path));
    held.reset();
    saver.join();
    SetAreaEnv(nullptr);

    EXPECT_EQ(closed, 0);
    EXPECT_EQ(area.GetLastError(), ConflictReason(path));
    EXPECT_EQ(ReadFileBytes(path), theirs);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"area.gcp"});
}

// The same at the Env: the lock a waiter ends up with is on the file the
// path names now, and the version it tells is that file's.
TEST(SaveLockTest, LockTakenAfterARenameIsOnTheNewFile) {
    TempDir dir;
    const std::string path = dir.File("area.gcp");
    WriteFileBytes(path, SampleFile({3}));
    Env& env = *Env::Default();
    std::unique_ptr<FileLock> first;
    bool exists = false;
    FileVersion version;
    ASSERT_TRUE(env.LockForReplace(path, &first, &exists, &version).ok());

    std::unique_ptr<FileLock> second;
    bool secondExists = false;
    FileVersion secondVersion;
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        EXPECT_TRUE(env.LockForReplace(path, &second, &secondExists, &secondVersion).ok());
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done) << "the lock was not held";
    WriteFileBytes(dir.File("new"), SampleFile({4}));
    ASSERT_TRUE(RenameOver(dir.File("new"), path));
    first.reset();
    waiter.join();

    PathInfo now;
    ASSERT_TRUE(env.Stat(path, &now).ok());
    EXPECT_TRUE(secondExists);
    EXPECT_EQ(secondVersion, now.version) << "the version told is not the file's at the path";
#ifdef _WIN32
    // The Windows Env's lock is not on the file (Windows cannot rename over
    // an open file): a third save's lock waits for it instead.
    std::atomic<bool> thirdDone{false};
    std::thread third([&] {
        std::unique_ptr<FileLock> lock;
        bool e = false;
        FileVersion v;
        EXPECT_TRUE(env.LockForReplace(path, &lock, &e, &v).ok());
        thirdDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(thirdDone) << "the new file is not locked";
    second.reset();
    third.join();
    EXPECT_TRUE(thirdDone);
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the new file is not locked";
    second.reset();
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
#endif
}

// Faults in the calls that tell and check the version: the open or the save
// fails with the reason, the file stays, and once the fault is gone the
// retried save goes through.
TEST(SaveLockTest, FaultsInTheVersionCallsFailCleanly) {
    TempDir dir;
    const std::string path = dir.File("area.gcp");
    const Bytes original = SampleFile({3});
    WriteFileBytes(path, original);
    {
        ScopedFaultEnv env;
        env->FailOnce(Op::kVersion);
        CFile_Morvane area;
        EXPECT_EQ(area.OpenGCPArea(0, 0, path.c_str()), 0);
        EXPECT_EQ(area.GetLastError(), "examine " + path + ": injected fault");
        EXPECT_EQ(area.CloseGCPArea(), 1);  // a failed open is never written back
    }
    EXPECT_EQ(ReadFileBytes(path), original);

    for (Op op : {Op::kLock, Op::kRenameNoReplace}) {
        SCOPED_TRACE(static_cast<int>(op));
        WriteFileBytes(path, original);
        CFile_Morvane area;
        OpenAndAddPoint(area, path);
        // A file removed since the open is made anew, without replacing one.
        if (op == Op::kRenameNoReplace) {
            ASSERT_EQ(::unlink(path.c_str()), 0);
        }
        const Bytes before = ReadFileBytes(path);
        ScopedFaultEnv env;
        env->FailOnce(op);
        EXPECT_EQ(area.CloseGCPArea(), 0);
        EXPECT_NE(std::string(area.GetLastError()).find("injected fault"), std::string::npos)
            << area.GetLastError();
        EXPECT_EQ(ReadFileBytes(path), before);
        EXPECT_EQ(dir.Entries().size(), op == Op::kLock ? 1u : 0u) << "a temporary file was left";
        EXPECT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
        EXPECT_EQ(env->Calls(op), 2);
        CFile_Morvane again;
        ASSERT_EQ(again.OpenGCPArea(0, 0, path.c_str()), 1);
        EXPECT_EQ(PointsOfGroupOne(again), 4u);
    }

    // The version of the file just written cannot be told: the file is in
    // place, so the save stands.
    WriteFileBytes(path, original);
    CFile_Morvane area;
    OpenAndAddPoint(area, path);
    ScopedFaultEnv env;
    env->FailOnce(Op::kVersion);
    EXPECT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
    EXPECT_EQ(env->Calls(Op::kVersion), 1);
    CFile_Morvane again;
    ASSERT_EQ(again.OpenGCPArea(0, 0, path.c_str()), 1);
    EXPECT_EQ(PointsOfGroupOne(again), 4u);
}

}  // namespace
}  // namespace morvane::test
