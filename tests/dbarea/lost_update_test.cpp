// No lost updates: several processes each run many rounds of open, add one
// uniquely named point, close on one area at the same time.  Whatever the
// store, the area ends holding exactly the points of the rounds whose close
// reported success, and every other round was told that another writer had
// changed the area.  The test is written against a store fixture; another
// store (a server database) is one more entry in kStores.
#include "ConcurrentRounds.h"
#include "Morvane.h"
#include "RasteBaseArea.h"
#include "TestBackend.h"
#include "TestDatabase.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

using concurrent_rounds::Outcome;
using concurrent_rounds::PointName;

namespace {

// 4 writers of 25 rounds: a couple of seconds, also in the sanitizer build.
constexpr int kWriters = 4;
constexpr int kRounds = 25;

constexpr char kConflictPhrase[] = "another writer changed";

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// The point of round r of writer w: its own name and position.
_CtrlPntStrcT RoundPoint(int w, int r) {
    const double pixel = 100.0 * w + r, line = 3.0 * r + w;
    return TmMakePoint(pixel, line, 500000.0 + 2.0 * pixel, 4100000.0 - 2.0 * line, 0.0,
                       PointName(w, r).c_str());
}

// Closes the area without saving what it holds.
template <class Area>
void DropGroups(Area& area) {
    area.OpenGCPGroup(1);
    area.SetChangeFlag(false);
    area.CloseGCPGroup();
    area.CloseGCPArea();
}

// One round on an area the caller opened: adds the point after the last
// one of group 1 and closes.
template <class Area>
Outcome AddAndClose(Area& area, _CtrlPntStrcT point, std::string* reason) {
    unsigned long points = 0;
    if (area.OpenGCPGroup(1) != 1 || area.GetGCPNum(points) != 1) {
        *reason = "group 1 cannot be opened";
        return Outcome::kOtherFailure;
    }
    area.AddOneGCP(points + 1, &point);  // 0 when only the range update failed
    unsigned long after = 0;
    if (area.GetGCPNum(after) != 1 || after != points + 1 || area.CloseGCPGroup() != 1) {
        *reason = "the point was refused";
        return Outcome::kOtherFailure;
    }
    if (area.CloseGCPArea() == 1) return Outcome::kSaved;
    *reason = area.GetLastError();
    DropGroups(area);
    return Contains(*reason, kConflictPhrase) ? Outcome::kConflict : Outcome::kOtherFailure;
}

template <class Area>
std::vector<std::string> PointNamesOf(Area& area) {
    std::vector<std::string> names;
    unsigned long points = 0;
    if (area.OpenGCPGroup(1) != 1 || area.GetGCPNum(points) != 1) return names;
    for (unsigned long i = 1; i <= points; ++i) {
        _CtrlPntStrcT p;
        if (area.GetOneGCP(i, &p) == 1) names.emplace_back(p.Name, strnlen(p.Name, sizeof p.Name));
    }
    area.CloseGCPGroup();
    return names;
}

// An area that processes share.
class SharedStore {
public:
    virtual ~SharedStore() = default;
    // Whether the store can run here (a PostgreSQL store needs the test server).
    virtual bool Available() const { return true; }
    // Makes the area with one empty group.
    virtual void Create() = 0;
    // One round, in a child process: open the area anew, add the point, close.
    virtual Outcome AddPoint(const _CtrlPntStrcT& point, std::string* reason) = 0;
    // The names of the points of group 1, once every child is done.
    virtual std::vector<std::string> PointNames() = 0;

protected:
    lodestor_test::TempDir dir_;
};

class FileStore final : public SharedStore {
public:
    void Create() override {
        static const unsigned char kOneEmptyGroup[] = {
            'G', 'C', 'P', 'F', 'I', 'L', 'E', '6', '7', 0,  // magic
            1, 0, 0, 0,                                      // one group
            1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0,              // number 1, no points, types 0 and 1
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // the range
            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(kOneEmptyGroup, 1, sizeof kOneEmptyGroup, file), sizeof kOneEmptyGroup);
        ASSERT_EQ(std::fclose(file), 0);
    }
    Outcome AddPoint(const _CtrlPntStrcT& point, std::string* reason) override {
        CFile_Morvane area;
        if (area.OpenGCPArea(0, 0, path_.c_str()) != 1) {
            *reason = area.GetLastError();
            return Outcome::kOtherFailure;
        }
        return AddAndClose(area, point, reason);
    }
    std::vector<std::string> PointNames() override {
        CFile_Morvane area;
        EXPECT_EQ(area.OpenGCPArea(0, 0, path_.c_str()), 1) << area.GetLastError();
        return PointNamesOf(area);
    }

private:
    std::string path_ = dir_.File("area.gcp");
};

// One record of a raster database, SQLite or PostgreSQL.
class DatabaseStore final : public SharedStore {
public:
    explicit DatabaseStore(lodestor_test::Backend backend)
        : databases_(backend), path_(databases_.Location()) {}
    bool Available() const override { return databases_.Available(); }
    void Create() override {
        CRasteBaseArea raster;
        ASSERT_TRUE(raster.Open(path_.c_str(), "scene")) << raster.LastError();
        CDB_Morvane area;
        ASSERT_EQ(area.OpenGCPArea(&raster, kKey, 0, 0), 1);
        ASSERT_EQ(area.CreateGCPGroup(1), 1);
        ASSERT_EQ(area.CloseGCPArea(), 1) << area.GetLastError();
    }
    // A connection of its own per round, as a program doing one edit opens.
    Outcome AddPoint(const _CtrlPntStrcT& point, std::string* reason) override {
        CRasteBaseArea raster;
        if (!raster.Open(path_.c_str(), "scene", CRasteBaseArea::OpenExisting)) {
            *reason = raster.LastError();
            return Outcome::kOtherFailure;
        }
        CDB_Morvane area;
        // Another writer may replace the record between the load's size
        // query and its read; the load is then refused, and the caller may
        // simply load again (that is no save of this round's).
        for (int attempt = 0; area.OpenGCPArea(&raster, kKey, 0, 0) != 1; ++attempt) {
            *reason = raster.LastError();
            if (attempt == 50 || !Contains(*reason, "changed since its size was asked")) {
                return Outcome::kOtherFailure;
            }
        }
        return AddAndClose(area, point, reason);
    }
    std::vector<std::string> PointNames() override {
        CRasteBaseArea raster;
        EXPECT_TRUE(raster.Open(path_.c_str(), "scene", CRasteBaseArea::OpenExisting)) << raster.LastError();
        CDB_Morvane area;
        EXPECT_EQ(area.OpenGCPArea(&raster, kKey, 0, 0), 1) << area.GetLastError();
        return PointNamesOf(area);
    }

private:
    static constexpr long kKey = 1;
    lodestor_test::TestDatabases databases_;
    std::string path_;
};

struct StoreCase {
    const char* label;
    std::function<std::unique_ptr<SharedStore>()> make;
};

void PrintTo(const StoreCase& c, std::ostream* out) { *out << c.label; }

class LostUpdates : public ::testing::TestWithParam<StoreCase> {};

TEST_P(LostUpdates, AreaKeepsExactlyTheRoundsThatReportedSuccess) {
    std::unique_ptr<SharedStore> store = GetParam().make();
    if (!store->Available()) GTEST_SKIP() << lodestor_test::kNoPostgresServer;
    store->Create();
    if (HasFatalFailure()) return;

    int cleanExits = 0;
    const std::vector<concurrent_rounds::Round> rounds = concurrent_rounds::RunConcurrentRounds(
        kWriters, kRounds,
        [&](int w, int r, std::string* reason) { return store->AddPoint(RoundPoint(w, r), reason); },
        &cleanExits);
    EXPECT_EQ(cleanExits, kWriters);
    ASSERT_EQ(rounds.size(), static_cast<std::size_t>(kWriters * kRounds)) << "rounds went unreported";

    std::multiset<std::string> saved;
    int conflicts = 0;
    for (const concurrent_rounds::Round& round : rounds) {
        if (round.outcome == Outcome::kSaved) {
            saved.insert(PointName(round.writer, round.round));
            continue;
        }
        EXPECT_EQ(round.outcome, Outcome::kConflict)
            << PointName(round.writer, round.round) << " failed for another reason: " << round.reason;
        ++conflicts;
    }
    const std::vector<std::string> names = store->PointNames();
    EXPECT_EQ(std::multiset<std::string>(names.begin(), names.end()), saved)
        << names.size() << " points kept, " << saved.size() << " rounds reported success";
    // Without overlapping rounds the test would prove nothing.
    EXPECT_GT(conflicts, 0) << "no two rounds overlapped";
    RecordProperty("rounds_saved", static_cast<int>(saved.size()));
    RecordProperty("rounds_refused", conflicts);
}

const StoreCase kStores[] = {
    {"ControlPointFile", [] { return std::unique_ptr<SharedStore>(new FileStore); }},
    {"Sqlite", [] { return std::unique_ptr<SharedStore>(new DatabaseStore(lodestor_test::Backend::Sqlite)); }},
    {"Postgres", [] { return std::unique_ptr<SharedStore>(new DatabaseStore(lodestor_test::Backend::Postgres)); }},
};

INSTANTIATE_TEST_SUITE_P(Stores, LostUpdates, ::testing::ValuesIn(kStores),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
