// Tests of the file-backed area: the stored bytes, OpenGCPArea's outcomes,
// truncated files, paths, and leaving an unedited file alone.
#include "AreaObserver.h"
#include "AreaTestKit.h"
#include "FaultEnv.h"
#include "Morvane.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace morvane::test {
namespace {

unsigned long LiveGroups(CFile_Morvane& area) {
    unsigned long n = 12345;
    EXPECT_EQ(area.GetGCPGroupNum(n), 1);
    return n;
}

// Closes the current group, if any: it stays current across a close and
// the next open of the area.
void CloseCurrentGroup(CFile_Morvane& area) {
    unsigned long current = 0;
    if (area.GetCurGCPGroupNo(current) == 1) {
        EXPECT_EQ(area.CloseGCPGroup(), 1);
    }
}

// Edits the area -- a group appended and the change flag set -- and closes
// it: the close writes the file back unless the last open failed.
void EditAndClose(CFile_Morvane& area) {
    CloseCurrentGroup(area);
    const unsigned long groups = LiveGroups(area);
    EXPECT_EQ(area.CreateGCPGroup(groups + 1), 1);
    EXPECT_EQ(area.OpenGCPGroup(groups + 1), 1);
    EXPECT_EQ(area.SetChangeFlag(true), 1);
    EXPECT_EQ(area.CloseGCPArea(), 1);
}

// Whether an area is as a new one: alike in every answer, and not even
// closed after use (a close of it is refused).
bool NeverOpened(CFile_Morvane& area) {
    CFile_Morvane fresh;
    return Observe(area) == Observe(fresh) && area.CloseGCPArea() == 0;
}

TEST(FileAreaTest, WritesTheDocumentedBytes) {
    TempDir dir;
    const std::string path = dir.File("a.gcp");
    WriteFileBytes(path, LoadHexDump("empty-area.hex"));
    ASSERT_EQ(ReadFileBytes(path).size(), 14u);
    {
        CFile_Morvane area;
        ASSERT_EQ(area.OpenGCPArea(1000, 800, path.c_str()), 1);
        ASSERT_EQ(area.CreateGCPGroup(1), 1);
        ASSERT_EQ(area.OpenGCPGroup(1), 1);
        _CtrlPntStrcT a = TmMakePoint(10, 20, 500000, 4100000, 0, "A");
        _CtrlPntStrcT b = TmMakePoint(110, 220, 500100, 4099800, 0, "B");
        ASSERT_EQ(area.AddOneGCP(1, &a), 1);
        ASSERT_EQ(area.AddOneGCP(2, &b), 1);
        ASSERT_EQ(area.CloseGCPArea(), 1);
    }
    const Bytes expected = LoadHexDump("one-group-two-points.hex");
    ASSERT_EQ(expected.size(), 298u);
    EXPECT_EQ(ReadFileBytes(path), expected);

    // Reopened, the file gives one group of the same two points; deleting that
    // group and saving gives the 14-byte file of an area without groups.
    CFile_Morvane area;
    ASSERT_EQ(area.OpenGCPArea(1000, 800, path.c_str()), 1);
    EXPECT_EQ(LiveGroups(area), 1u);
    ASSERT_EQ(area.OpenGCPGroup(1), 1);
    unsigned long points = 0;
    ASSERT_EQ(area.GetGCPNum(points), 1);
    EXPECT_EQ(points, 2u);
    _CtrlPntStrcT p;
    ASSERT_EQ(area.GetOneGCP(2, &p), 1);
    EXPECT_STREQ(p.Name, "B");
    EXPECT_EQ(p.UserY, 4099800.0);
    ASSERT_EQ(area.CloseGCPGroup(), 1);
    ASSERT_EQ(area.DeleteGCPGroup(1), 1);
    ASSERT_EQ(area.CloseGCPArea(), 1);
    EXPECT_EQ(ReadFileBytes(path), LoadHexDump("empty-area.hex"));
}

TEST(FileAreaTest, OpenOutcomesLeaveTheDocumentedState) {
    TempDir dir;
    const std::string good = dir.File("good.gcp");
    WriteFileBytes(good, SampleFile({2, 0, 3, 1, 1}));
    CFile_Morvane area;

    // Refusals before anything is created change nothing.
    EXPECT_EQ(area.OpenGCPArea(1, 2, nullptr), 0);
    EXPECT_EQ(area.OpenGCPArea(1, 2, ""), 0);
    EXPECT_TRUE(NeverOpened(area));

    // A missing file: open with an empty list, nothing written at close,
    // even after an edit.
    EXPECT_EQ(area.OpenGCPArea(1, 2, dir.File("missing.gcp").c_str()), 0);
    EXPECT_EQ(LiveGroups(area), 0u);
    EditAndClose(area);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"good.gcp"});

    // Success sets the path, the stored count and the range arguments.
    const Bytes goodBytes = ReadFileBytes(good);
    ASSERT_EQ(area.OpenGCPArea(640, 480, good.c_str()), 1);
    EXPECT_EQ(GroupBound(area), 5u);
    EXPECT_EQ(ProbeRange(area), ExpectedProbeRange(640, 480));
    ASSERT_EQ(area.CloseGCPArea(), 1);  // the probe's group is not written
    EXPECT_EQ(ReadFileBytes(good), goodBytes);
    ASSERT_EQ(area.OpenGCPArea(640, 480, good.c_str()), 1);
    {
        ScopedFaultEnv env;
        CloseCurrentGroup(area);
        ASSERT_EQ(area.OpenGCPGroup(1), 1);
        ASSERT_EQ(area.SetChangeFlag(true), 1);
        ASSERT_EQ(area.CloseGCPArea(), 1);
        EXPECT_EQ(env->Calls(Op::kRename), 1);  // saved, to good.gcp
        EXPECT_EQ(dir.Entries(), std::vector<std::string>{"good.gcp"});
    }
    ASSERT_EQ(area.OpenGCPArea(640, 480, good.c_str()), 1);
    EXPECT_EQ(LiveGroups(area), 5u);
    ASSERT_EQ(area.CloseGCPArea(), 1);
    const Bytes saved = ReadFileBytes(good);

    // Wrong or short magic: the path is not taken.
    const Bytes magic = ByteWriter().Magic().U32(0).bytes();
    for (std::size_t i = 0; i < 10; ++i) {
        Bytes bad = magic;
        bad[i] ^= (i == 8 ? 0x01 : 0x20);  // "GCPFILE66", lower case, or a non-zero tenth byte
        WriteFileBytes(dir.File("bad.gcp"), bad);
        EXPECT_EQ(area.OpenGCPArea(1, 2, dir.File("bad.gcp").c_str()), 0) << i;
        EXPECT_EQ(LiveGroups(area), 0u);
        EditAndClose(area);
        EXPECT_EQ(ReadFileBytes(dir.File("bad.gcp")), bad) << i;
        EXPECT_EQ(ReadFileBytes(good), saved) << i;
    }
    for (std::size_t length = 0; length < 10; ++length) {
        const Bytes bad(magic.begin(), magic.begin() + static_cast<long>(length));
        WriteFileBytes(dir.File("bad.gcp"), bad);
        EXPECT_EQ(area.OpenGCPArea(1, 2, dir.File("bad.gcp").c_str()), 0) << length;
        EditAndClose(area);
        EXPECT_EQ(ReadFileBytes(dir.File("bad.gcp")), bad) << length;
        EXPECT_EQ(ReadFileBytes(good), saved) << length;
    }

    // The magic alone, or with a zero count: no groups.
    for (std::size_t length : {10u, 14u}) {
        WriteFileBytes(dir.File("empty.gcp"), Bytes(magic.begin(), magic.begin() + static_cast<long>(length)));
        EXPECT_EQ(area.OpenGCPArea(3, 4, dir.File("empty.gcp").c_str()), 1) << length;
        EXPECT_EQ(GroupBound(area), 0u);
        EXPECT_EQ(LiveGroups(area), 0u);
        EXPECT_EQ(area.CloseGCPArea(), 1);
    }
    ASSERT_EQ(area.OpenGCPArea(640, 480, good.c_str()), 1);
    ASSERT_EQ(area.CloseGCPArea(), 1);

    // A count cut short: count and range arguments kept, never written.
    const Bytes full = SampleFile({2, 0, 3});
    const Bytes cutCount(full.begin(), full.begin() + 12);
    WriteFileBytes(dir.File("cut.gcp"), cutCount);
    EXPECT_EQ(area.OpenGCPArea(7, 8, dir.File("cut.gcp").c_str()), 0);
    EXPECT_EQ(GroupBound(area), 5u);
    EXPECT_EQ(ProbeRange(area), ExpectedProbeRange(640, 480));
    EditAndClose(area);
    EXPECT_EQ(ReadFileBytes(dir.File("cut.gcp")), cutCount);
    EXPECT_EQ(ReadFileBytes(good), saved);

    // A later read failing: the stored count, and the groups read before it.
    const Bytes cutGroup(full.begin(), full.begin() + 14 + 44 + 240 + 44 + 50);
    WriteFileBytes(dir.File("cut.gcp"), cutGroup);
    EXPECT_EQ(area.OpenGCPArea(7, 8, dir.File("cut.gcp").c_str()), 0);
    EXPECT_EQ(GroupBound(area), 3u);
    EXPECT_EQ(LiveGroups(area), 2u);
    EXPECT_EQ(ProbeRange(area), ExpectedProbeRange(640, 480));
    EditAndClose(area);
    EXPECT_EQ(ReadFileBytes(dir.File("cut.gcp")), cutGroup);
    EXPECT_EQ(ReadFileBytes(good), saved);
}

TEST(FileAreaTest, FileCutAtAnyLengthOpensCleanlyAndIsNeverWrittenBack) {
    TempDir dir;
    const Bytes full = SampleFile({3, 0, 2});
    for (std::size_t length = 0; length <= full.size(); ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        const std::string path = dir.File("cut-" + std::to_string(length) + ".gcp");
        const Bytes prefix(full.begin(), full.begin() + static_cast<long>(length));
        WriteFileBytes(path, prefix);
        CFile_Morvane area;
        const short opened = area.OpenGCPArea(100, 100, path.c_str());
        EXPECT_EQ(opened, (length == 10 || length == full.size()) ? 1 : 0);
        // Whatever was read, an edit after a failed open must not reach the file.
        unsigned long groups = 0;
        ASSERT_EQ(area.GetGCPGroupNum(groups), 1);
        ASSERT_EQ(area.CreateGCPGroup(groups + 1), 1);
        ASSERT_EQ(area.OpenGCPGroup(groups + 1), 1);
        ASSERT_EQ(area.SetChangeFlag(true), 1);
        EXPECT_EQ(area.CloseGCPArea(), 1);
        if (opened == 0) {
            EXPECT_EQ(ReadFileBytes(path), prefix);
        } else {
            EXPECT_NE(ReadFileBytes(path), prefix);
        }
    }
}

TEST(FileAreaTest, OpenAndCloseWithoutEditLeavesTheFileAlone) {
    TempDir dir;
    const std::string path = dir.File("keep.gcp");
    const Bytes original = SampleFile({4, 1});
    WriteFileBytes(path, original);
    const std::int64_t before = ModificationTime(path);
    ScopedFaultEnv env;
    ::usleep(20000);  // a rewrite would show in the time stamp
    {
        CFile_Morvane area;
        ASSERT_EQ(area.OpenGCPArea(10, 10, path.c_str()), 1);
        ASSERT_EQ(area.OpenGCPGroup(1), 1);
        _CtrlPntStrcT p;
        ASSERT_EQ(area.GetOneGCP(1, &p), 1);
        EXPECT_EQ(area.CloseGCPArea(), 1);
        EXPECT_EQ(area.CloseGCPArea(), 1);
    }
    EXPECT_EQ(ReadFileBytes(path), original);
    EXPECT_EQ(ModificationTime(path), before);
    EXPECT_EQ(env->Calls(Op::kCreate), 0);
    EXPECT_EQ(env->Calls(Op::kRename), 0);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"keep.gcp"});
}

TEST(FileAreaTest, LoadAndSaveMoveWholeBuffersNotRecords) {
    TempDir dir;
    const std::string path = dir.File("big.gcp");
    WriteFileBytes(path, SampleFile({600, 400}));  // about 120 kB
    ScopedFaultEnv env;
    CFile_Morvane area;
    ASSERT_EQ(area.OpenGCPArea(10, 10, path.c_str()), 1);
    EXPECT_LE(env->Calls(Op::kRead), 3);
    ASSERT_EQ(area.OpenGCPGroup(2), 1);
    ASSERT_EQ(area.SetChangeFlag(true), 1);
    ASSERT_EQ(area.CloseGCPArea(), 1);
    EXPECT_LE(env->Calls(Op::kAppend), 2);
    EXPECT_EQ(ReadFileBytes(path).size(), 14u + 2 * 44 + 1000 * 120);
}

TEST(FileAreaTest, PathOf259CharactersFitsAndLongerIsRefused) {
    TempDir dir;
    const std::string sub = dir.File(std::string(100, 'd'));
    ASSERT_TRUE(fs::create_directory(sub));
    const std::size_t prefix = sub.size() + 1;
    ASSERT_LT(prefix + 5, 259u);
    const std::string longest = sub + "/" + std::string(259 - prefix, 'f');
    const std::string tooLong = sub + "/" + std::string(260 - prefix, 'f');
    ASSERT_EQ(longest.size(), 259u);
    const Bytes content = SampleFile({1});
    WriteFileBytes(longest, content);
    WriteFileBytes(tooLong, content);

    CFile_Morvane area;
    EXPECT_EQ(area.OpenGCPArea(1, 1, tooLong.c_str()), 0);
    EXPECT_TRUE(NeverOpened(area));
    ASSERT_EQ(area.OpenGCPArea(1, 1, longest.c_str()), 1);
    const Observation open = Observe(area);
    EXPECT_EQ(area.OpenGCPArea(1, 1, tooLong.c_str()), 0);
    EXPECT_EQ(Observe(area), open);
    ASSERT_EQ(area.OpenGCPGroup(1), 1);
    ASSERT_EQ(area.DeleteOneGCP(1), 1);
    ASSERT_EQ(area.CloseGCPArea(), 1);
    EXPECT_EQ(ReadFileBytes(longest).size(), 14u + 44);
    EXPECT_EQ(ReadFileBytes(tooLong), content);
}

TEST(FileAreaTest, RangeArgumentsBeyond32BitsAreRefused) {
#if defined(_WIN32)
    GTEST_SKIP() << "long is 32 bits on Windows: no range argument can be beyond 32 bits";
#else
    TempDir dir;
    WriteFileBytes(dir.File("a.gcp"), SampleFile({1}));
    CFile_Morvane area;
    const long big = 1L << 40;
    EXPECT_EQ(area.OpenGCPArea(big, 1, dir.File("a.gcp").c_str()), 0);
    EXPECT_EQ(area.OpenGCPArea(1, -big, dir.File("a.gcp").c_str()), 0);
    EXPECT_TRUE(NeverOpened(area));
#endif
}

// Changes the current directory for the lifetime of the guard.
class ScopedChdir {
public:
    explicit ScopedChdir(const fs::path& dir) : previous_(fs::current_path()) { fs::current_path(dir); }
    ~ScopedChdir() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

TEST(FileAreaTest, RelativePathIsResolvedAgainAtTheSave) {
    TempDir first, second;
    const Bytes content = SampleFile({2});
    WriteFileBytes(first.File("rel.gcp"), content);
    CFile_Morvane area;
    {
        ScopedChdir in(first.path());
        ASSERT_EQ(area.OpenGCPArea(5, 5, "rel.gcp"), 1);
    }
    ASSERT_EQ(area.OpenGCPGroup(1), 1);
    ASSERT_EQ(area.DeleteOneGCP(2), 1);
    {
        ScopedChdir in(second.path());
        ASSERT_EQ(area.CloseGCPArea(), 1);
    }
    EXPECT_EQ(ReadFileBytes(first.File("rel.gcp")), content);
    EXPECT_EQ(ReadFileBytes(second.File("rel.gcp")).size(), 14u + 44 + 120);
    EXPECT_EQ(second.Entries(), std::vector<std::string>{"rel.gcp"});
}

TEST(FileAreaTest, ReopeningLoadsTheOtherFileAndSavesThere) {
    TempDir dir;
    const Bytes a = SampleFile({1, 1});
    const Bytes b = SampleFile({3});
    WriteFileBytes(dir.File("a.gcp"), a);
    WriteFileBytes(dir.File("b.gcp"), b);
    CFile_Morvane area;
    ASSERT_EQ(area.OpenGCPArea(5, 5, dir.File("a.gcp").c_str()), 1);
    EXPECT_EQ(LiveGroups(area), 2u);
    ASSERT_EQ(area.CloseGCPArea(), 1);
    ASSERT_EQ(area.OpenGCPArea(5, 5, dir.File("b.gcp").c_str()), 1);
    EXPECT_EQ(LiveGroups(area), 1u);
    ASSERT_EQ(area.CreateGCPGroup(2), 1);
    ASSERT_EQ(area.CloseGCPArea(), 1);
    EXPECT_EQ(ReadFileBytes(dir.File("a.gcp")), a);
    EXPECT_EQ(ReadFileBytes(dir.File("b.gcp")).size(), b.size() + 44);
}

TEST(FileAreaTest, OpeningAnAreaThatHoldsGroupsClosesItFirst) {
    TempDir dir;
    WriteFileBytes(dir.File("a.gcp"), SampleFile({1}));
    const Bytes b = SampleFile({2, 2});
    WriteFileBytes(dir.File("b.gcp"), b);
    CFile_Morvane area;
    ASSERT_EQ(area.OpenGCPArea(5, 5, dir.File("a.gcp").c_str()), 1);
    ASSERT_EQ(area.CreateGCPGroup(2), 1);
    {
        // The save of a.gcp fails: b.gcp is refused and a's groups stay.
        ScopedFaultEnv env;
        env->FailOnce(Op::kCreate);
        EXPECT_EQ(area.OpenGCPArea(5, 5, dir.File("b.gcp").c_str()), 0);
        EXPECT_EQ(LiveGroups(area), 2u);
        EXPECT_EQ(env->Calls(Op::kOpen), 0);
    }
    ASSERT_EQ(area.OpenGCPArea(5, 5, dir.File("b.gcp").c_str()), 1);
    EXPECT_EQ(LiveGroups(area), 2u);
    EXPECT_EQ(ReadFileBytes(dir.File("a.gcp")).size(), 14u + 44 + 120 + 44);
    EXPECT_EQ(area.CloseGCPArea(), 1);
}

}  // namespace
}  // namespace morvane::test
