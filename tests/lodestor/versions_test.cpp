// Record versions and the compare-and-set write, for each backend: what a
// stale writer meets, and that versions never come back.
#include "RasteBaseArea.h"
#include "TestBackend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

using lodestor_test::Backend;
using lodestor_test::MakeRecord;

namespace {

using Bytes = std::vector<unsigned char>;

class Versions : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        SKIP_UNLESS_AVAILABLE(databases_);
        db_ = databases_.Location();
        ASSERT_TRUE(area_.Open(db_.c_str(), "scene")) << area_.LastError();
    }

    // Size and version of the record under key, as GetGcpRecordState gives them.
    std::pair<std::uint32_t, std::uint64_t> State(long key) {
        std::uint32_t size = 0xDEAD;
        std::uint64_t version = 0xBEEF;
        EXPECT_EQ(1, GetGcpRecordState(&area_, key, &size, &version)) << area_.LastError();
        return {size, version};
    }

    // Bytes and version as one versioned read gives them.
    std::pair<Bytes, std::uint64_t> Read(long key) {
        const std::uint32_t size = State(key).first;
        Bytes bytes(size);
        std::uint64_t version = 0xBEEF;
        EXPECT_EQ(1, ReadGcpRecordVersion(&area_, key, bytes.data(), size, &version)) << area_.LastError();
        return {bytes, version};
    }

    // WriteGcpRecordIf: the new version on success, 0 on failure; *conflict as reported.
    std::uint64_t WriteIf(long key, const Bytes& bytes, std::uint64_t expected, bool* conflict) {
        std::uint64_t version = 0;
        const short done = WriteGcpRecordIf(&area_, key, bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                            expected, &version, conflict);
        return done == 1 ? version : 0;
    }

    lodestor_test::TestDatabases databases_{GetParam()};
    std::string db_;
    CRasteBaseArea area_;
};

TEST_P(Versions, EveryWriteGivesANewVersionThatStateAndReadAgreeOn) {
    EXPECT_EQ(std::make_pair(std::uint32_t(0), std::uint64_t(0)), State(1)) << "a missing record has version 0";
    std::uint64_t version = 7;
    EXPECT_EQ(1, ReadGcpRecordVersion(&area_, 1, nullptr, 0, &version)) << area_.LastError();
    EXPECT_EQ(0u, version);

    const Bytes first = MakeRecord(1, 3000), second = MakeRecord(2, 40);
    ASSERT_EQ(1, WriteGcpRecord(&area_, 1, first.data(), first.size()));
    const auto [size1, v1] = State(1);
    EXPECT_EQ(first.size(), size1);
    EXPECT_GT(v1, 0u);
    EXPECT_EQ(std::make_pair(first, v1), Read(1));

    ASSERT_EQ(1, WriteGcpRecord(&area_, 1, second.data(), second.size()));
    const auto [size2, v2] = State(1);
    EXPECT_EQ(second.size(), size2);
    EXPECT_GT(v2, v1);
    EXPECT_EQ(std::make_pair(second, v2), Read(1));

    // The same bytes again are still a new write.
    ASSERT_EQ(1, WriteGcpRecord(&area_, 1, second.data(), second.size()));
    EXPECT_GT(State(1).second, v2);
}

// A conditional write: the record before it, what it expects, and whether
// it must succeed.
struct CasCase {
    const char* label;
    bool recordBefore;
    enum Expect { Current, Stale, Zero, NeverGiven } expect;
    bool succeeds;
};

const CasCase kCasCases[] = {
    {"CurrentVersionWrites", true, CasCase::Current, true},
    {"StaleVersionConflicts", true, CasCase::Stale, false},
    {"ZeroOnExistingRecordConflicts", true, CasCase::Zero, false},
    {"ZeroOnMissingRecordCreates", false, CasCase::Zero, true},
    {"VersionOnMissingRecordConflicts", false, CasCase::Stale, false},
    {"VersionNeverGivenConflicts", true, CasCase::NeverGiven, false},
};

TEST_P(Versions, CompareAndSetWritesOnlyAtTheExpectedVersion) {
    for (const CasCase& c : kCasCases) {
        SCOPED_TRACE(c.label);
        const long key = 100 + (&c - kCasCases);
        std::uint64_t stale = 0, current = 0;
        if (c.recordBefore) {
            const Bytes older = MakeRecord(10, 500), now = MakeRecord(11, 600);
            ASSERT_EQ(1, WriteGcpRecord(&area_, key, older.data(), older.size()));
            stale = State(key).second;
            ASSERT_EQ(1, WriteGcpRecord(&area_, key, now.data(), now.size()));  // by "someone else"
            current = State(key).second;
        } else {
            // A version that existed once: of a record since deleted.
            const Bytes gone = MakeRecord(12, 50);
            ASSERT_EQ(1, WriteGcpRecord(&area_, key, gone.data(), gone.size()));
            stale = State(key).second;
            ASSERT_TRUE(area_.DeleteRecord(key));
        }
        const std::uint64_t expected = c.expect == CasCase::Current ? current
                                       : c.expect == CasCase::Stale ? stale
                                       : c.expect == CasCase::Zero  ? 0
                                                                    : current + 1000000;
        const auto before = State(key);
        const Bytes mine = MakeRecord(20, 777);
        bool conflict = !c.succeeds;  // must be overwritten either way
        const std::uint64_t written = WriteIf(key, mine, expected, &conflict);
        if (c.succeeds) {
            ASSERT_GT(written, 0u) << area_.LastError();
            EXPECT_FALSE(conflict);
            EXPECT_STREQ("", area_.LastError());
            EXPECT_GT(written, std::max(current, stale));
            EXPECT_EQ(std::make_pair(mine, written), Read(key));
        } else {
            EXPECT_EQ(0u, written);
            EXPECT_TRUE(conflict);
            EXPECT_NE(std::string(area_.LastError()).find("another writer"), std::string::npos)
                << area_.LastError();
            EXPECT_EQ(before, State(key)) << "a conflicting write changed the record";
        }
    }
}

TEST_P(Versions, VersionsNeverRepeatAcrossDeletesKeysAndAreas) {
    CRasteBaseArea other;
    ASSERT_TRUE(other.Open(db_.c_str(), "other")) << other.LastError();
    std::set<std::uint64_t> seen;
    auto note = [&](CRasteBaseArea& area, long key) {
        std::uint32_t size = 0;
        std::uint64_t version = 0;
        ASSERT_EQ(1, GetGcpRecordState(&area, key, &size, &version)) << area.LastError();
        EXPECT_TRUE(seen.insert(version).second) << "version " << version << " came back";
    };
    const Bytes bytes = MakeRecord(30, 64);
    for (int round = 0; round < 5; ++round) {
        for (CRasteBaseArea* area : {&area_, &other}) {
            for (long key : {1L, 2L}) {
                ASSERT_EQ(1, WriteGcpRecord(area, key, bytes.data(), bytes.size()));
                note(*area, key);
            }
        }
        ASSERT_TRUE(area_.DeleteRecord(1));
        bool conflict = true;
        std::uint64_t recreated = 0;
        ASSERT_EQ(1, WriteGcpRecordIf(&area_, 1, bytes.data(), bytes.size(), 0, &recreated, &conflict))
            << area_.LastError();
        EXPECT_FALSE(conflict);
        note(area_, 1);
        EXPECT_EQ(*seen.rbegin(), recreated) << "a re-created record got an older version";
    }
    EXPECT_EQ(5u * 5u, seen.size());
}

TEST_P(Versions, RefusalsOtherThanConflictLeaveTheFlagClear) {
    const Bytes bytes = MakeRecord(40, 100000);
    ASSERT_EQ(1, WriteGcpRecord(&area_, 1, bytes.data(), bytes.size()));
    const std::uint64_t version = State(1).second;
    bool conflict = true;
    std::uint64_t written = 0;
    EXPECT_EQ(0, WriteGcpRecordIf(&area_, 0, bytes.data(), bytes.size(), version, &written, &conflict));
    EXPECT_FALSE(conflict) << "key 0";
    conflict = true;
    EXPECT_EQ(0, WriteGcpRecordIf(&area_, 1, nullptr, 10, version, &written, &conflict));
    EXPECT_FALSE(conflict) << "no bytes";
    EXPECT_EQ(0, WriteGcpRecordIf(&area_, 1, bytes.data(), bytes.size(), version, nullptr, &conflict));

    ASSERT_TRUE(area_.LimitDatabaseSize(0));
    const Bytes bigger = MakeRecord(41, 2000000);
    conflict = true;
    EXPECT_EQ(0, WriteGcpRecordIf(&area_, 1, bigger.data(), bigger.size(), version, &written, &conflict));
    EXPECT_FALSE(conflict) << "full: " << area_.LastError();
    EXPECT_NE(std::string(area_.LastError()).find("full"), std::string::npos) << area_.LastError();
    EXPECT_EQ(version, State(1).second);

    CRasteBaseArea closed;
    conflict = true;
    EXPECT_EQ(0, WriteGcpRecordIf(&closed, 1, bytes.data(), bytes.size(), version, &written, &conflict));
    EXPECT_FALSE(conflict) << "closed area";
}

// Several processes add one to a counter kept in a shared record, each
// read-modify-write guarded by the version it read.  A lost update would
// leave the counter below the number of increments that reported success.
TEST_P(Versions, ConcurrentReadModifyWriteLosesNoUpdate) {
#ifdef _WIN32
    GTEST_SKIP() << "forks the incrementing processes: Windows has no fork";
#else
    constexpr long kKey = 9;
    constexpr int kProcesses = 3, kIncrements = 15;
    const std::uint64_t zero = 0;
    Bytes start(8);
    std::memcpy(start.data(), &zero, 8);
    ASSERT_EQ(1, WriteGcpRecord(&area_, kKey, start.data(), start.size()));

    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            CRasteBaseArea mine;
            int done = 0, conflicts = 0;
            if (mine.Open(db_.c_str(), "scene")) {
                while (done < kIncrements && conflicts < 10000) {
                    std::uint64_t counter = 0, version = 0, next = 0;
                    if (ReadGcpRecordVersion(&mine, kKey, &counter, 8, &version) != 1) break;
                    ++counter;
                    bool conflict = false;
                    if (WriteGcpRecordIf(&mine, kKey, &counter, 8, version, &next, &conflict) == 1) {
                        ++done;
                    } else if (conflict) {
                        ++conflicts;
                    } else {
                        break;
                    }
                }
            }
            _exit(done == kIncrements ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a child could not finish its increments";
    }
    std::uint64_t counter = 0, version = 0;
    ASSERT_EQ(1, ReadGcpRecordVersion(&area_, kKey, &counter, 8, &version)) << area_.LastError();
    EXPECT_EQ(std::uint64_t(kProcesses * kIncrements), counter);
#endif
}

INSTANTIATE_TEST_SUITE_P(Backends, Versions, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         lodestor_test::BackendNamer());

}  // namespace
