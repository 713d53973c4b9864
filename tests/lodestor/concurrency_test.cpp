// Several processes on one database at the same time, for each backend.
// Children are forked and report through their exit status; none of them
// uses the parent's connection.
#include "RasteBaseArea.h"
#include "TestBackend.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using lodestor_test::IsCompleteRecord;
using lodestor_test::MakeRecord;
using lodestor_test::RecordSeed;
using lodestor_test::Backend;

namespace {

// Runs body in a child process; its result becomes the exit status.
template <typename Body>
pid_t Spawn(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    return pid;
}

bool ExitedCleanly(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Reads a record with the size query and one read; empty on failure.
bool Fetch(CRasteBaseArea& area, long key, std::vector<unsigned char>& bytes) {
    std::uint32_t size = 0;
    if (GetGcpRecordSize(&area, key, &size) == 0) return false;
    bytes.assign(size, 0);
    return ReadGcpRecord(&area, key, bytes.data(), size) != 0;
}

class Processes : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override { SKIP_UNLESS_AVAILABLE(databases_); }

    lodestor_test::TestDatabases databases_{GetParam()};
};

TEST_P(Processes, RecordWrittenByOneIsReadByAnother) {
    const std::string db = databases_.Location();
    const auto fromChild = MakeRecord(101, 250000);
    pid_t writer = Spawn([&] {
        CRasteBaseArea area;
        return area.Open(db.c_str(), "a") &&
               WriteGcpRecord(&area, 1, fromChild.data(), fromChild.size()) == 1;
    });
    ASSERT_TRUE(ExitedCleanly(writer));
    CRasteBaseArea area;
    ASSERT_TRUE(area.Open(db.c_str(), "a")) << area.LastError();
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(Fetch(area, 1, bytes)) << area.LastError();
    EXPECT_EQ(fromChild, bytes);

    const auto fromParent = MakeRecord(102, 777);
    ASSERT_EQ(1, WriteGcpRecord(&area, 1, fromParent.data(), fromParent.size()));
    pid_t reader = Spawn([&] {
        CRasteBaseArea child;
        std::vector<unsigned char> seen;
        return child.Open(db.c_str(), "a") && Fetch(child, 1, seen) && seen == fromParent;
    });
    EXPECT_TRUE(ExitedCleanly(reader));
}

TEST_P(Processes, SimultaneousOpeningsOfNewDatabaseAgreeOnOneSchema) {
    for (int round = 0; round < 12; ++round) {
        const std::string db = databases_.Location("new" + std::to_string(round));
        std::vector<pid_t> children;
        for (int i = 0; i < 3; ++i) {
            children.push_back(Spawn([&, i] {
                CRasteBaseArea area;
                const auto record = MakeRecord(200 + i, 100);
                const bool done = area.Open(db.c_str(), i == 0 ? "a" : "b") &&
                                  WriteGcpRecord(&area, i + 1, record.data(), record.size()) == 1;
                if (!done) std::fprintf(stderr, "child %d: %s\n", i, area.LastError());
                return done;
            }));
        }
        for (pid_t child : children) EXPECT_TRUE(ExitedCleanly(child)) << "round " << round;
        CRasteBaseArea b;
        ASSERT_TRUE(b.Open(db.c_str(), "b")) << b.LastError();
        std::vector<long> keys;
        ASSERT_TRUE(b.RecordKeys(keys));
        EXPECT_EQ((std::vector<long>{2, 3}), keys);
    }
}

TEST_P(Processes, ConcurrentWritersLeaveOnlyCompleteRecords) {
    const std::string db = databases_.Location();
    CRasteBaseArea area;
    ASSERT_TRUE(area.Open(db.c_str(), "a")) << area.LastError();

    constexpr int kWrites = 25;
    constexpr long kSharedKey = 100;
    auto seedOf = [](int writer, int round) { return std::uint64_t(writer) * 1000 + round; };
    auto lengthOf = [](int writer, int round) {
        return std::uint32_t(5000 + ((writer * 7919 + round * 104729) % 200000));
    };
    std::vector<pid_t> writers;
    for (int w = 1; w <= 2; ++w) {
        writers.push_back(Spawn([&, w] {
            CRasteBaseArea mine;
            if (!mine.Open(db.c_str(), "a")) return false;
            for (int round = 0; round < kWrites; ++round) {
                const auto own = MakeRecord(seedOf(w, round), lengthOf(w, round));
                const auto shared = MakeRecord(seedOf(w, round) + 500, lengthOf(w, round + 1));
                if (WriteGcpRecord(&mine, w, own.data(), own.size()) != 1) return false;
                if (WriteGcpRecord(&mine, kSharedKey, shared.data(), shared.size()) != 1) {
                    return false;
                }
            }
            return true;
        }));
    }

    // Meanwhile the parent reads; a read may be refused because the record
    // changed after its size was asked, but a record it gets is whole.
    int wholeReads = 0, brokenReads = 0;
    auto readAll = [&] {
        for (long key : {1L, 2L, kSharedKey}) {
            std::vector<unsigned char> bytes;
            if (Fetch(area, key, bytes) && !bytes.empty()) {
                IsCompleteRecord(bytes) ? ++wholeReads : ++brokenReads;
            }
        }
    };
    int running = 2;
    std::vector<bool> clean;
    while (running > 0) {
        readAll();
        for (pid_t& pid : writers) {
            int status = 0;
            if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
                clean.push_back(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                pid = -1;
                --running;
            }
        }
    }
    EXPECT_EQ((std::vector<bool>{true, true}), clean) << "a writer's write was refused";
    EXPECT_EQ(0, brokenReads);
    EXPECT_GT(wholeReads, 0);

    std::vector<unsigned char> bytes;
    for (int w = 1; w <= 2; ++w) {
        ASSERT_TRUE(Fetch(area, w, bytes)) << area.LastError();
        EXPECT_TRUE(IsCompleteRecord(bytes));
        EXPECT_EQ(seedOf(w, kWrites - 1), RecordSeed(bytes)) << "writer " << w << "'s last write lost";
    }
    ASSERT_TRUE(Fetch(area, kSharedKey, bytes));
    EXPECT_TRUE(IsCompleteRecord(bytes));
    const std::uint64_t last = RecordSeed(bytes);
    EXPECT_TRUE(last == seedOf(1, kWrites - 1) + 500 || last == seedOf(2, kWrites - 1) + 500)
        << "shared key holds seed " << last << ", not either writer's last write";
}

INSTANTIATE_TEST_SUITE_P(Backends, Processes, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         lodestor_test::BackendNamer());

}  // namespace
