// Tests of the save: a failure in any step leaves the old file and no
// temporary file, keeps the groups for a retry; links and permissions.
#include "AreaObserver.h"
#include "AreaTestKit.h"
#include "FaultEnv.h"
#include "Morvane.h"
#include "SafeReplace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace morvane::test {
namespace {

#ifndef _WIN32
unsigned Permissions(const std::string& path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return static_cast<unsigned>(st.st_mode & 07777);
}

bool IsSymlink(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
#endif

// Opens path and deletes the last point of group 1, so that a close must save.
void OpenAndEdit(CFile_Morvane& area, const std::string& path) {
    ASSERT_EQ(area.OpenGCPArea(50, 50, path.c_str()), 1);
    ASSERT_EQ(area.OpenGCPGroup(1), 1);
    unsigned long points = 0;
    ASSERT_EQ(area.GetGCPNum(points), 1);
    ASSERT_EQ(area.DeleteOneGCP(points), 1);
}

unsigned long PointsOfGroupOne(const std::string& path) {
    CFile_Morvane area;
    EXPECT_EQ(area.OpenGCPArea(1, 1, path.c_str()), 1);
    EXPECT_EQ(area.OpenGCPGroup(1), 1);
    unsigned long points = 0;
    EXPECT_EQ(area.GetGCPNum(points), 1);
    return points;
}

struct Failure {
    const char* name;
    Op op;
    AppendFailure how;
    const char* reason;  // GetLastError's start; "%" is the file's path
};

bool StartsWith(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

TEST(SaveTest, FailureInAnyStepKeepsTheOldFileAndTheGroups) {
    const Failure failures[] = {
        {"resolving the path", Op::kStat, AppendFailure::kNothingWritten, "stat %: injected fault"},
        {"creating the temporary file", Op::kCreate, AppendFailure::kNothingWritten, "create %.tmp-"},
        {"a failed write", Op::kAppend, AppendFailure::kNothingWritten, "write %.tmp-"},
        {"a short write (no space)", Op::kAppend, AppendFailure::kHalfWritten, "write %.tmp-"},
        {"syncing the file", Op::kSync, AppendFailure::kNothingWritten, "sync %.tmp-"},
        {"closing the file", Op::kClose, AppendFailure::kNothingWritten, "close %.tmp-"},
        {"renaming over the target", Op::kRename, AppendFailure::kNothingWritten, "rename %.tmp-"},
    };
    for (const Failure& failure : failures) {
        SCOPED_TRACE(failure.name);
        TempDir dir;
        const std::string path = dir.File("area.gcp");
        const Bytes original = SampleFile({3, 2});
        WriteFileBytes(path, original);
        ScopedFaultEnv env;
        CFile_Morvane area;
        OpenAndEdit(area, path);
        env->FailOnce(failure.op, 0, failure.how);

        EXPECT_EQ(area.CloseGCPArea(), 0);
        std::string reason = failure.reason;
        reason.replace(reason.find('%'), 1, path);
        EXPECT_TRUE(StartsWith(area.GetLastError(), reason)) << area.GetLastError();
        EXPECT_EQ(ReadFileBytes(path), original);
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"area.gcp"});
        // Nothing was lost: the edited groups are still there.
        EXPECT_TRUE(HoldsGroups(area));
        unsigned long points = 0;
        ASSERT_EQ(area.GetGCPNum(points), 1);
        EXPECT_EQ(points, 2u);

        // Once the cause is gone, closing again saves.
        EXPECT_EQ(area.CloseGCPArea(), 1);
        EXPECT_STREQ(area.GetLastError(), "");
        EXPECT_FALSE(HoldsGroups(area));
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"area.gcp"});
        EXPECT_EQ(PointsOfGroupOne(path), 2u);
    }
}

TEST(SaveTest, FailedDirectorySyncIsReportedAfterTheFileWasReplaced) {
    TempDir dir;
    const std::string path = dir.File("area.gcp");
    WriteFileBytes(path, SampleFile({3}));
    ScopedFaultEnv env;
    CFile_Morvane area;
    OpenAndEdit(area, path);
    env->FailOnce(Op::kSyncDir);
    EXPECT_EQ(area.CloseGCPArea(), 0);
    EXPECT_EQ(area.GetLastError(), path + " was replaced, but the replacement may not survive a crash: " +
                                       "sync directory " + dir.path().string() + ": injected fault");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"area.gcp"});
    EXPECT_EQ(PointsOfGroupOne(path), 2u);
    EXPECT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
    EXPECT_EQ(PointsOfGroupOne(path), 2u);
}

TEST(SaveTest, DestructorReleasesGroupsWhoseSaveFailed) {
    TempDir dir;
    const std::string path = dir.File("area.gcp");
    const Bytes original = SampleFile({2});
    WriteFileBytes(path, original);
    ScopedFaultEnv env;
    {
        CFile_Morvane area;
        OpenAndEdit(area, path);
        env->FailOnce(Op::kRename);
    }  // the sanitizer build reports a leak if the groups stay behind
    EXPECT_EQ(ReadFileBytes(path), original);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"area.gcp"});
}

TEST(SaveTest, SaveToAVanishedDirectoryFailsUntilItIsBack) {
    TempDir dir;
    const std::string sub = dir.File("sub");
    ASSERT_TRUE(fs::create_directory(sub));
    const std::string path = sub + "/area.gcp";
    WriteFileBytes(path, SampleFile({2}));
    CFile_Morvane area;
    OpenAndEdit(area, path);
    fs::remove_all(sub);
    EXPECT_EQ(area.CloseGCPArea(), 0);
    // The system's own reason, after the file the save could not make.
    const std::string reason = area.GetLastError();
    EXPECT_TRUE(StartsWith(reason, "cannot create " + path + ".tmp-")) << reason;
#ifdef _WIN32
    // Windows words it in the user's language: only that some text follows.
    const std::size_t colon = reason.find(": ", path.size());
    EXPECT_TRUE(colon != std::string::npos && colon + 2 < reason.size()) << reason;
#else
    EXPECT_NE(reason.find(": No such file or directory"), std::string::npos) << reason;
#endif
    ASSERT_TRUE(fs::create_directory(sub));
    EXPECT_EQ(area.CloseGCPArea(), 1);
    EXPECT_EQ(PointsOfGroupOne(path), 1u);
}

#ifdef _WIN32
// The Windows Env follows links itself and has no mode bits; its read-only
// attribute is tested in windows_env_test.cpp.
TEST(SaveTest, LinksKeepPointingAtTheFileTheyName) {
    GTEST_SKIP() << "POSIX links and mode bits; the Windows Env lets the system follow links";
}
TEST(SaveTest, SavedFileKeepsItsPermissionBitsWhateverTheUmask) {
    GTEST_SKIP() << "POSIX mode bits and umask; Windows has the read-only attribute instead";
}
#else
TEST(SaveTest, LinksKeepPointingAtTheFileTheyName) {
    TempDir dir, other;
    const std::string target = other.File("target.gcp");
    WriteFileBytes(target, SampleFile({4}));
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    // link2 -> link1 (relative) -> target (absolute, in another directory)
    fs::create_symlink(target, dir.File("link1.gcp"));
    fs::create_symlink("link1.gcp", dir.File("link2.gcp"));

    CFile_Morvane area;
    OpenAndEdit(area, dir.File("link2.gcp"));
    ASSERT_EQ(area.CloseGCPArea(), 1);
    EXPECT_TRUE(IsSymlink(dir.File("link1.gcp")));
    EXPECT_TRUE(IsSymlink(dir.File("link2.gcp")));
    EXPECT_EQ(fs::read_symlink(dir.File("link2.gcp")), "link1.gcp");
    EXPECT_EQ(PointsOfGroupOne(target), 3u);
    EXPECT_EQ(Permissions(target), 0640u);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link1.gcp", "link2.gcp"}));
    EXPECT_EQ(other.Entries(), std::vector<std::string>{"target.gcp"});

    // A loop of links is refused, not followed forever.
    fs::create_symlink("loop-b", dir.File("loop-a"));
    fs::create_symlink("loop-a", dir.File("loop-b"));
    std::string resolved;
    EXPECT_TRUE(ResolveSymlinks(*Env::Default(), dir.File("loop-a"), &resolved).IsInvalidArgument());
}

TEST(SaveTest, SavedFileKeepsItsPermissionBitsWhateverTheUmask) {
    const mode_t previous = ::umask(077);
    for (unsigned mode : {0600u, 0644u, 0604u, 0666u}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        const std::string path = dir.File("area.gcp");
        WriteFileBytes(path, SampleFile({2}));
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        CFile_Morvane area;
        OpenAndEdit(area, path);
        ASSERT_EQ(area.CloseGCPArea(), 1);
        EXPECT_EQ(Permissions(path), mode);
        EXPECT_EQ(PointsOfGroupOne(path), 1u);
    }
    ::umask(previous);
}
#endif

// A file of tens of MiB goes to the disk in steps, each step's bytes waited
// for and dropped from the page cache two steps later, and appends larger
// than a step are split: every byte must still land once, in order.  The
// appends straddle the steps at odd sizes, one is larger than two steps.
TEST(SaveTest, LargeFileWrittenInStepsKeepsEveryByteInOrder) {
    TempDir dir;
    const std::string path = dir.File("large.bin");
    Bytes data((std::size_t{21} << 20) + 12345);
    std::uint32_t state = 2463534242u;
    for (unsigned char& b : data) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        b = static_cast<unsigned char>(state);
    }
    std::unique_ptr<WritableFile> file;
    ASSERT_TRUE(Env::Default()->CreateNew(path, 0644, false, &file).ok());
    const std::size_t pieces[] = {1, 3u << 20, 9u << 20, 44, (1u << 20) + 7};
    for (std::size_t at = 0, k = 0; at < data.size(); ++k) {
        const std::size_t n = std::min(pieces[k % 5], data.size() - at);
        ASSERT_TRUE(file->Append(data.data() + at, n).ok());
        at += n;
    }
    ASSERT_TRUE(file->Sync().ok());
    ASSERT_TRUE(file->Close().ok());
    file.reset();
    EXPECT_TRUE(ReadFileBytes(path) == data);
}

}  // namespace
}  // namespace morvane::test

#include "FileStreams.h"

namespace morvane::test {
namespace {

// A file in memory that hands out at most `chunk` bytes per read and fails
// the read at byte `failAt` (if any).
class ChunkedFile final : public SequentialFile {
public:
    ChunkedFile(Bytes bytes, std::size_t chunk, std::size_t failAt = SIZE_MAX)
        : bytes_(std::move(bytes)), chunk_(chunk), failAt_(failAt) {}
    Status Read(void* dst, std::size_t n, std::size_t* got) override {
        ++reads;
        if (position_ >= failAt_) return Status::IOError("read at " + std::to_string(position_) + " fails");
        *got = std::min({n, chunk_, bytes_.size() - position_});
        std::memcpy(dst, bytes_.data() + position_, *got);
        position_ += *got;
        return Status::OK();
    }
    Status Version(FileVersion*) override { return Status::IOError("a file in memory has no version"); }
    int reads = 0;

private:
    Bytes bytes_;
    std::size_t chunk_;
    std::size_t failAt_;
    std::size_t position_ = 0;
};

class MemoryFile final : public WritableFile {
public:
    Status Append(const void* data, std::size_t n) override {
        ++appends;
        const auto* p = static_cast<const unsigned char*>(data);
        bytes.insert(bytes.end(), p, p + n);
        return Status::OK();
    }
    Status Sync() override { return Status::OK(); }
    Status Close() override { return Status::OK(); }
    Status Version(FileVersion*) override { return Status::IOError("a file in memory has no version"); }
    Bytes bytes;
    int appends = 0;
};

TEST(FileStreamsTest, PiecesComeOutExactlyWhateverTheBufferAndReadSizes) {
    Bytes data(1000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7 + i / 256);
    for (std::size_t buffer : {std::size_t{1}, std::size_t{7}, std::size_t{44}, kFileBufferSize}) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{1000}}) {
            SCOPED_TRACE(std::to_string(buffer) + "/" + std::to_string(chunk));
            ChunkedFile file(data, chunk);
            FileSource source(file, buffer);
            EXPECT_EQ(source.Expected(), ByteSource::kUnknownLength);
            source.SetExpectedLength(data.size());
            Bytes out;
            // Pieces below and above the buffer's size, so that both the
            // buffered and the direct reads run; the last one comes up short.
            const std::size_t pieces[] = {4, 44, 120, 300};
            for (std::size_t k = 0;; ++k) {
                unsigned char piece[300];
                const std::size_t n = pieces[k % 4];
                const std::size_t got = source.Read(piece, n);
                out.insert(out.end(), piece, piece + got);
                EXPECT_EQ(source.Expected(), data.size() - out.size());
                if (got < n) break;
            }
            EXPECT_EQ(out, data);
            EXPECT_TRUE(source.AtEnd());
            unsigned char rest[1];
            EXPECT_FALSE(source.ReadExact(rest, 1));

            MemoryFile sinkFile;
            {
                FileSink sink(sinkFile, buffer);
                for (std::size_t at = 0; at < data.size(); at += 120) {
                    ASSERT_TRUE(sink.Append(data.data() + at, std::min<std::size_t>(120, data.size() - at)));
                }
                ASSERT_TRUE(sink.Flush());
            }
            EXPECT_EQ(sinkFile.bytes, data);
        }
    }
}

TEST(FileStreamsTest, ReadErrorIsFinalAndIsNotTheEnd) {
    ChunkedFile file(Bytes(100, 1), 10, 30);
    FileSource source(file, 16);
    unsigned char piece[20];
    EXPECT_TRUE(source.ReadExact(piece, 20));
    EXPECT_FALSE(source.ReadExact(piece, 20));
    EXPECT_FALSE(source.AtEnd());
    EXPECT_EQ(source.status().message(), "read at 30 fails");
    const int reads = file.reads;
    EXPECT_FALSE(source.ReadExact(piece, 1));
    EXPECT_EQ(file.reads, reads);  // a failed file is not asked again
}

}  // namespace
}  // namespace morvane::test
