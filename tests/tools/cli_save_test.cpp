// End to end: how the tool saves a control-point file and what it says when
// it cannot.  The area saves the file itself (temporary file, rename), so a
// failed save leaves the file as it was and the refusal gives the reason the
// area reported; refused commands leave no file and no temporary file.
#include "cli_runner.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace morvane::tool::test {
namespace {

namespace fs = std::filesystem;


// Names in dir that are temporary files of a save.
std::vector<std::string> TempFiles(const ScratchDir& dir) {
    std::vector<std::string> temps;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.find(".tmp-") != std::string::npos) temps.push_back(name);
    }
    return temps;
}

#ifndef _WIN32
RunResult AddPoint(const ScratchDir& dir, const std::string& area, const std::string& pixel) {
    return RunTool(dir, {"point", "add", area, "-g", "1", "--pixel", pixel, "--line", "2", "--x", "3", "--y", "4"});
}

// Makes files larger than `bytes` unwritable for the tools started while it
// lives: their writes fail with EFBIG ("File too large") instead of a signal.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }

private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};
#endif

TEST(CliSave, FailedSaveGivesTheReasonAndLeavesTheFileAsItWas) {
#ifdef _WIN32
    GTEST_SKIP() << "fails the save with a file-size limit (setrlimit): Windows has none";
#else
    ScratchDir dir;
    std::string csv = "pixel,line,x,y\n";
    for (int i = 0; i < 100; ++i) {
        csv += std::to_string(i) + "," + std::to_string(i % 7) + ",3," + std::to_string(i) + "\n";
    }
    WriteFile(dir / "points.csv", csv);
    ASSERT_EQ(RunTool(dir, {"import", "a.gcp", "-g", "1", "points.csv"}).status, 0);
    const std::string before = ReadFile(dir / "a.gcp");
    ASSERT_GT(before.size(), 12000u);

    RunResult refused;
    {
        FileSizeLimit limit(8192);
        refused = AddPoint(dir, "a.gcp", "1000");
    }
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind("morvane: a.gcp: the save failed: cannot write a.gcp.tmp-", 0), 0u) << refused.err;
    EXPECT_NE(refused.err.find(": File too large\n"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadFile(dir / "a.gcp"), before);
    EXPECT_TRUE(TempFiles(dir).empty());
    ASSERT_EQ(AddPoint(dir, "a.gcp", "1000").status, 0);  // once the cause is gone
#endif
}

TEST(CliSave, ChangesReachTheFileALinkNamesAndKeepItsPermissions) {
#ifdef _WIN32
    GTEST_SKIP() << "needs POSIX modes and symbolic links, which Windows does not give an unprivileged test";
#else
    ScratchDir dir;
    fs::create_directory(dir / "data");
    ASSERT_EQ(RunTool(dir, {"new", "data/a.gcp"}).status, 0);
    ASSERT_EQ(RunTool(dir, {"group", "add", "data/a.gcp"}).status, 0);
    ASSERT_EQ(::chmod((dir / "data/a.gcp").c_str(), 0640), 0);
    fs::create_symlink("data/a.gcp", dir / "link1.gcp");
    fs::create_symlink("link1.gcp", dir / "link2.gcp");

    ASSERT_EQ(AddPoint(dir, "link2.gcp", "7").status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link1.gcp"));
    EXPECT_TRUE(fs::is_symlink(dir / "link2.gcp"));
    struct stat st;
    ASSERT_EQ(::stat((dir / "data/a.gcp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(dir / "data/a.gcp").size(), 14u + 44 + 120);
    EXPECT_TRUE(TempFiles(dir).empty());
#endif
}

TEST(CliSave, RefusalsSayWhatIsWrongWithTheFile) {
    ScratchDir dir;
    WriteFile(dir / "other.gcp", std::string("GCPFILE66\0\0\0\0\0", 14));
    WriteFile(dir / "short.gcp", "GCP");
    WriteFile(dir / "cut.gcp", std::string("GCPFILE67\0\1\0\0\0\1\0\0\0", 18));
    fs::create_directory(dir / "folder.gcp");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    std::vector<Case> cases = {
        {{"info", "missing.gcp"}, "missing.gcp: no such control-point file"},
        {{"point", "delete", "missing.gcp", "-g", "1", "-i", "1"}, "missing.gcp: no such control-point file"},
        {{"info", "other.gcp"}, "other.gcp: not a control-point file (it does not start with GCPFILE67)"},
        {{"info", "short.gcp"}, "short.gcp: not a control-point file (shorter than its 10-byte header)"},
        {{"info", "cut.gcp"}, "cut.gcp: damaged control-point file: it ends inside the header of group 1 of 1"},
        {{"info", "folder.gcp"}, "cannot open folder.gcp: Is a directory"},
        {{"new", "other.gcp"}, "other.gcp: already exists"},
        {{"new", "no-folder/a.gcp"}, "cannot create no-folder/a.gcp: No such file or directory"},
    };
#ifndef _WIN32  // MinGW's std::filesystem makes no symbolic links
    fs::create_symlink("nowhere.gcp", dir / "dangling.gcp");
    cases.push_back({{"new", "dangling.gcp"}, "dangling.gcp: already exists"});
#endif
    for (const Case& c : cases) {
        RunResult r = RunTool(dir, c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "morvane: " + c.message + "\n");
    }
    EXPECT_FALSE(fs::exists(dir / "nowhere.gcp"));
    EXPECT_EQ(ReadFile(dir / "other.gcp"), std::string("GCPFILE66\0\0\0\0\0", 14));
}

TEST(CliSave, AMissingTargetAppearsOnlyWhenTheCommandSucceeds) {
    ScratchDir dir;
    // Refused part-way: no file, no temporary file.
    WriteFile(dir / "bad.csv", "pixel,line,x,y\n1,2,3\n");
    EXPECT_EQ(RunTool(dir, {"import", "made.gcp", "-g", "1", "bad.csv"}).status, 1);
    EXPECT_FALSE(fs::exists(dir / "made.gcp"));
    EXPECT_TRUE(TempFiles(dir).empty());

    // A copy of an area without groups changes nothing, yet makes its target.
    ASSERT_EQ(RunTool(dir, {"new", "empty.gcp"}).status, 0);
    ASSERT_EQ(RunTool(dir, {"copy", "empty.gcp", "copy.gcp"}).status, 0);
    EXPECT_EQ(ReadFile(dir / "copy.gcp"), ReadFile(dir / "empty.gcp"));

    WriteFile(dir / "good.csv", "pixel,line,x,y\n1,2,3,4\n5,6,7,8\n9,1,2,3\n");
    ASSERT_EQ(RunTool(dir, {"import", "made.gcp", "-g", "1", "good.csv"}).status, 0);
    EXPECT_EQ(ReadFile(dir / "made.gcp").size(), 14u + 44 + 3 * 120);
    EXPECT_TRUE(TempFiles(dir).empty());
}

}  // namespace
}  // namespace morvane::tool::test
