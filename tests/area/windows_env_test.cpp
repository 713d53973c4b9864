// What the Windows Env adds to the save: UTF-8 names reaching the system's
// UTF-16 calls, the read-only attribute, a file that a reader holds open,
// backslashes in paths, and the byte-range locks that tell a writer at
// work from an abandoned file.  Built in Windows builds only.
#include "AreaTestKit.h"
#include "Env.h"
#include "Morvane.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace morvane::test {
namespace {

// UTF-8 text as the library takes it (char), from a u8 literal.
std::string Utf8(std::u8string_view text) { return std::string(text.begin(), text.end()); }

// dir/name with name in UTF-8, as a path the library takes.
std::string Utf8Path(const TempDir& dir, std::u8string_view name) {
    return Utf8((dir.path() / fs::path(name)).u8string());
}

// Writes bytes to a file named in UTF-8 through the wide calls (a narrow
// std::ofstream would take the name in the ANSI code page).
void WriteUtf8Named(const std::string& path, const Bytes& bytes) {
    std::ofstream out(fs::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::vector<std::u8string> Utf8Entries(const TempDir& dir) {
    std::vector<std::u8string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename().u8string());
    std::sort(names.begin(), names.end());
    return names;
}

unsigned long PointsOfGroupOne(const std::string& path) {
    CFile_Morvane area;
    EXPECT_EQ(area.OpenGCPArea(1, 1, path.c_str()), 1) << area.GetLastError();
    EXPECT_EQ(area.OpenGCPGroup(1), 1);
    unsigned long points = 0;
    EXPECT_EQ(area.GetGCPNum(points), 1);
    return points;
}

// Opens path and deletes the last point of group 1, so that a close must save.
void OpenAndEdit(CFile_Morvane& area, const std::string& path) {
    ASSERT_EQ(area.OpenGCPArea(50, 50, path.c_str()), 1) << area.GetLastError();
    ASSERT_EQ(area.OpenGCPGroup(1), 1);
    unsigned long points = 0;
    ASSERT_EQ(area.GetGCPNum(points), 1);
    ASSERT_EQ(area.DeleteOneGCP(points), 1);
}

class Utf8NameTest : public ::testing::TestWithParam<const char8_t*> {};

// Names in several scripts, one outside the Basic Multilingual Plane (a
// UTF-16 surrogate pair), each through open, save and reopen.
TEST_P(Utf8NameTest, NameRoundTripsThroughOpenAndSave) {
    TempDir dir;
    const std::u8string name = GetParam();
    const std::string path = Utf8Path(dir, name);
    WriteUtf8Named(path, SampleFile({3, 2}));
    {
        CFile_Morvane area;
        OpenAndEdit(area, path);
        ASSERT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
    }
    EXPECT_EQ(PointsOfGroupOne(path), 2u);
    EXPECT_EQ(Utf8Entries(dir), std::vector<std::u8string>{name}) << "a temporary file was left, or the name changed";
}

INSTANTIATE_TEST_SUITE_P(Scripts, Utf8NameTest,
                         ::testing::Values(u8"Ærøskøbing.gcp", u8"東京 測量.gcp", u8"Ελληνικά-κ.gcp",
                                           u8"карта №5.gcp", u8"plan-\U0001F5FA.gcp"));

TEST(WindowsEnvTest, PathThatIsNotUtf8IsRefusedWithAReason) {
    std::unique_ptr<SequentialFile> file;
    const Status s = Env::Default()->OpenForReading("bad-\xff\xfe.gcp", &file);
    EXPECT_TRUE(s.IsInvalidArgument()) << s.message();
    EXPECT_NE(s.message().find("not valid UTF-8"), std::string::npos) << s.message();
}

TEST(WindowsEnvTest, ReadOnlyFileIsRefusedWithAReasonAndKeepsItsBytes) {
    TempDir dir;
    const std::string path = dir.File("area.gcp");
    const Bytes original = SampleFile({3});
    WriteFileBytes(path, original);
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    PathInfo info;
    ASSERT_TRUE(Env::Default()->Stat(path, &info).ok());
    EXPECT_EQ(info.permissions, 0444u);

    CFile_Morvane area;
    OpenAndEdit(area, path);
    EXPECT_EQ(area.CloseGCPArea(), 0);
    const std::string reason = area.GetLastError();
    EXPECT_NE(reason.find("read-only"), std::string::npos) << reason;
    EXPECT_EQ(ReadFileBytes(path), original);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"area.gcp"});

    // Made writable again, the file is another version (its change time
    // moved, as a chmod's does on POSIX): the kept groups are not saved
    // over it, and a new open saves, the file staying writable.
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(area.CloseGCPArea(), 0);
    CFile_Morvane again;
    OpenAndEdit(again, path);
    EXPECT_EQ(again.CloseGCPArea(), 1) << again.GetLastError();
    EXPECT_EQ(PointsOfGroupOne(path), 2u);
    ASSERT_TRUE(Env::Default()->Stat(path, &info).ok());
    EXPECT_EQ(info.permissions, 0666u);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"area.gcp"});
}

// Windows cannot rename over a file that is open: while a reader holds it,
// the save is refused with the reason, changes nothing and keeps the
// groups; once the reader is gone the retry saves.
TEST(WindowsEnvTest, FileHeldOpenByAReaderRefusesTheSaveUntilItCloses) {
    TempDir dir;
    const std::string path = dir.File("area.gcp");
    const Bytes original = SampleFile({4});
    WriteFileBytes(path, original);
    CFile_Morvane area;
    OpenAndEdit(area, path);

    std::unique_ptr<SequentialFile> reader;
    ASSERT_TRUE(Env::Default()->OpenForReading(path, &reader).ok());
    EXPECT_EQ(area.CloseGCPArea(), 0);
    const std::string reason = area.GetLastError();
    EXPECT_NE(reason.find("cannot replace " + path), std::string::npos) << reason;
    EXPECT_NE(reason.find("another program may have it open"), std::string::npos) << reason;
    EXPECT_EQ(ReadFileBytes(path), original);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"area.gcp"});

    // The reader still reads the whole file it opened.
    Bytes read(original.size() + 1);
    std::size_t total = 0, got = 0;
    do {
        ASSERT_TRUE(reader->Read(read.data() + total, read.size() - total, &got).ok());
        total += got;
    } while (got != 0 && total < read.size());
    read.resize(total);
    EXPECT_EQ(read, original);

    reader.reset();
    ASSERT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
    EXPECT_EQ(PointsOfGroupOne(path), 3u);
}

TEST(WindowsEnvTest, BackslashPathsSaveBesideTheFileAndSweepThere) {
    TempDir dir;
    std::string path = dir.File("area.gcp");
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    WriteFileBytes(path, SampleFile({3}));
    WriteFileBytes(dir.File("area.gcp.tmp-1-0"), Bytes(100, 1));  // left by a killed save
    CFile_Morvane area;
    OpenAndEdit(area, path);
    ASSERT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"area.gcp"});
}

// A new file is held by its writer's lock for as long as the writer lives,
// closed or not, and every save gives the path a file of another identity.
TEST(WindowsEnvTest, WriterHoldsItsFileAndEachSaveMakesANewFile) {
    TempDir dir;
    Env& env = *Env::Default();
    const std::string temp = dir.File("area.gcp.tmp-1-1");
    std::unique_ptr<WritableFile> writer;
    ASSERT_TRUE(env.CreateNew(temp, 0666, false, &writer).ok());
    ASSERT_TRUE(writer->Append("xy", 2).ok());
    ASSERT_TRUE(writer->Close().ok());
    EXPECT_FALSE(writer->Append("z", 1).ok()) << "a closed file took more bytes";
    bool removed = true;
    ASSERT_TRUE(env.RemoveIfAbandoned(temp, &removed).ok());
    EXPECT_FALSE(removed);
    FileVersion written;
    ASSERT_TRUE(writer->Version(&written).ok());
    EXPECT_EQ(written.size, 2u);
    writer.reset();
    ASSERT_TRUE(env.RemoveIfAbandoned(temp, &removed).ok());
    EXPECT_TRUE(removed);
    EXPECT_FALSE(fs::exists(temp));

    const std::string path = dir.File("area.gcp");
    WriteFileBytes(path, SampleFile({3}));
    PathInfo before, after;
    ASSERT_TRUE(env.Stat(path, &before).ok());
    CFile_Morvane area;
    OpenAndEdit(area, path);
    ASSERT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
    ASSERT_TRUE(env.Stat(path, &after).ok());
    EXPECT_TRUE(after.isRegular);
    EXPECT_NE(after.version.inode, before.version.inode) << "the file index did not change";
    EXPECT_EQ(after.version.device, before.version.device);
}

}  // namespace
}  // namespace morvane::test
