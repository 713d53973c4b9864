// GetLastError of the file area: the reason of every way an open can fail,
// cleared by the next success, left alone by other operations, and carried
// by copies.  The reasons of failed saves are checked in save_test.cpp.
#include "AreaTestKit.h"
#include "FaultEnv.h"
#include "Morvane.h"

#include <gtest/gtest.h>

#include <climits>

#include <string>

namespace morvane::test {
namespace {

// "%" in a pattern stands for the path.
std::string WithPath(std::string pattern, const std::string& path) {
    const std::size_t at = pattern.find('%');
    if (at != std::string::npos) pattern.replace(at, 1, path);
    return pattern;
}

enum class Made { kFile, kNothing, kDirectory };

struct OpenRefusal {
    const char* what;
    Made made;
    Bytes content;  // of the file, when one is made
    const char* reason;
};

std::vector<OpenRefusal> OpenRefusals() {
    const Bytes twoGroups = SampleFile({2, 3});
    auto cut = [&](std::size_t length) {
        return Bytes(twoGroups.begin(), twoGroups.begin() + static_cast<long>(length));
    };
    return {
        {"missing file", Made::kNothing, {}, "%: no such control-point file"},
        {"directory", Made::kDirectory, {}, "cannot open %: Is a directory"},
        {"shorter than the magic", Made::kFile, cut(5),
         "%: not a control-point file (shorter than its 10-byte header)"},
        {"other magic", Made::kFile, ByteWriter().Raw("GCPFILE66", 10).U32(0).bytes(),
         "%: not a control-point file (it does not start with GCPFILE67)"},
        {"count cut", Made::kFile, cut(12), "%: damaged control-point file: it ends inside the group count"},
        {"header cut", Made::kFile, cut(14 + 20),
         "%: damaged control-point file: it ends inside the header of group 1 of 2"},
        {"point cut", Made::kFile, cut(14 + 44 + 120 + 7),
         "%: damaged control-point file: it ends inside point 2 of group 1 of 2"},
        {"last point cut", Made::kFile, cut(twoGroups.size() - 1),
         "%: damaged control-point file: it ends inside point 3 of group 2 of 2"},
        {"unknown type", Made::kFile, ByteWriter().Magic().U32(1).Header(1, 0, 0, 99, 0, 0, 1, 1).bytes(),
         "%: damaged control-point file: group 1 of 1 has an orientation or transformation type the "
         "control-point library refuses (0, 99)"},
    };
}

TEST(LastErrorTest, EveryFailedOpenOfAFileSaysWhyAndASuccessClearsIt) {
    TempDir dir;
    const std::string good = dir.File("good.gcp");
    WriteFileBytes(good, SampleFile({1}));
    CFile_Morvane area;
    EXPECT_STREQ(area.GetLastError(), "");
    for (const OpenRefusal& refusal : OpenRefusals()) {
        SCOPED_TRACE(refusal.what);
        const std::string path = dir.File(std::string(refusal.what) + ".gcp");
        if (refusal.made == Made::kFile) WriteFileBytes(path, refusal.content);
        if (refusal.made == Made::kDirectory) {
            ASSERT_TRUE(fs::create_directory(path));
        }
        EXPECT_EQ(area.OpenGCPArea(1, 1, path.c_str()), 0);
        EXPECT_EQ(area.GetLastError(), WithPath(refusal.reason, path));
        // Other operations, even failing ones, leave the reason alone.
        unsigned long groups = 0;
        area.GetGCPGroupNum(groups);
        EXPECT_EQ(area.OpenGCPGroup(99), 0);
        EXPECT_EQ(area.GetLastError(), WithPath(refusal.reason, path));
        // The next successful close or open clears it.
        EXPECT_EQ(area.CloseGCPArea(), 1);
        EXPECT_STREQ(area.GetLastError(), "");
        ASSERT_EQ(area.OpenGCPArea(1, 1, path.c_str()), 0);
        ASSERT_EQ(area.OpenGCPArea(1, 1, good.c_str()), 1);
        EXPECT_STREQ(area.GetLastError(), "");
        ASSERT_EQ(area.CloseGCPArea(), 1);
    }
}

TEST(LastErrorTest, RefusedArgumentsSayWhich) {
    TempDir dir;
    const std::string good = dir.File("good.gcp");
    WriteFileBytes(good, SampleFile({1}));
    const std::string tooLong = dir.File(std::string(300, 'f'));
    struct Case {
        long range1, range2;
        const char* path;
        std::string reason;
    } cases[] = {
        {1, 1, nullptr, "no path given"},
        {1, 1, "", "no path given"},
#if LONG_MAX > 0x7FFFFFFFL  // a 32-bit long (Windows) cannot pass such a value
        {2147483648L, 0, good.c_str(), "range argument 1 (2147483648) does not fit in 32 bits"},
        {0, -2147483649L, good.c_str(), "range argument 2 (-2147483649) does not fit in 32 bits"},
#endif
        {1, 1, tooLong.c_str(), "the path is too long (259 bytes at most): " + tooLong.substr(0, 60) + "..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        CFile_Morvane area;
        EXPECT_EQ(area.OpenGCPArea(c.range1, c.range2, c.path), 0);
        EXPECT_EQ(area.GetLastError(), c.reason);
    }
    CFile_Morvane never;
    EXPECT_EQ(never.CloseGCPArea(), 0);
    EXPECT_STREQ(never.GetLastError(), "the area is not open");
}

TEST(LastErrorTest, FailedReadIsReportedAsSuchNotAsDamage) {
    TempDir dir;
    const std::string path = dir.File("big.gcp");
    WriteFileBytes(path, SampleFile({1000}));  // 120 kB: more than the first read takes
    struct Case {
        const char* what;
        Op op;
        int skip;
        std::string reason;
    } cases[] = {
        {"open", Op::kOpen, 0, "open " + path + ": injected fault"},
        {"first read", Op::kRead, 0, "read " + path + ": injected fault"},
        {"a later read", Op::kRead, 1, "read " + path + ": injected fault"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedFaultEnv env;
        env->FailOnce(c.op, c.skip);
        CFile_Morvane area;
        EXPECT_EQ(area.OpenGCPArea(1, 1, path.c_str()), 0);
        EXPECT_EQ(area.GetLastError(), c.reason);
    }
}

TEST(LastErrorTest, OpenRefusedForAnUnsavableAreaGivesTheSavesReasonAndCopiesKeepIt) {
    TempDir dir;
    const std::string a = dir.File("a.gcp"), b = dir.File("b.gcp");
    WriteFileBytes(a, SampleFile({1}));
    WriteFileBytes(b, SampleFile({2}));
    CFile_Morvane area;
    ASSERT_EQ(area.OpenGCPArea(5, 5, a.c_str()), 1);
    ASSERT_EQ(area.CreateGCPGroup(2), 1);
    {
        ScopedFaultEnv env;
        env->FailOnce(Op::kCreate);
        EXPECT_EQ(area.OpenGCPArea(5, 5, b.c_str()), 0);
    }
    const std::string reason = area.GetLastError();
    EXPECT_EQ(reason.rfind("not opened, since the groups held before cannot be saved: create " + a + ".tmp-", 0),
              0u)
        << reason;
    CFile_Morvane copy(area);
    EXPECT_EQ(copy.GetLastError(), reason);
    CFile_Morvane assigned;
    assigned = area;
    EXPECT_EQ(assigned.GetLastError(), reason);
    EXPECT_EQ(area.CloseGCPArea(), 1);
    EXPECT_STREQ(area.GetLastError(), "");
    EXPECT_EQ(copy.GetLastError(), reason);  // each object keeps its own
}

}  // namespace
}  // namespace morvane::test
