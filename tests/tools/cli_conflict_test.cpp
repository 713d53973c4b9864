// End to end: several `morvane point add` commands on one area at the same
// time.  Each command is one open-edit-close; a command whose save would
// overwrite another one's says so in one line and exits with status 1, and
// the area ends holding exactly the points of the commands that succeeded.
#include "cli_runner.h"

#include "../dbarea/ConcurrentRounds.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace morvane::tool::test {
namespace {

using concurrent_rounds::Outcome;
using concurrent_rounds::PointName;

constexpr int kWriters = 4;
constexpr int kRounds = 10;

struct AddressCase {
    const char* label;
    const char* area;     // "@" stands for the test's folder
    const char* refusal;  // how the line of a refused save starts; "@" as above
};

void PrintTo(const AddressCase& c, std::ostream* out) { *out << c.label; }

class CliConcurrentEdits : public ::testing::TestWithParam<AddressCase> {
protected:
    // With the folder's path for every "@".  The area's address is
    // absolute: each command runs in a folder of its own.
    std::string InFolder(std::string text) const {
        for (std::size_t at; (at = text.find('@')) != std::string::npos;) {
            text.replace(at, 1, dir_.path().string());
        }
        return text;
    }

    ScratchDir dir_;
};

// One command, from a child process: its own folder for the tool's streams.
Outcome AddPointCommand(const std::string& area, const std::string& refusal, int w, int r,
                        std::string* reason) {
    ScratchDir own;
    const RunResult run = RunTool(own, {"point", "add", area, "-g", "1", "--pixel", std::to_string(100 * w + r),
                                        "--line", std::to_string(3 * r + w), "--x", std::to_string(w), "--y",
                                        std::to_string(r), "--name", PointName(w, r)});
    if (run.status == 0) return Outcome::kSaved;
    *reason = run.err;
    const bool oneLine = std::count(run.err.begin(), run.err.end(), '\n') == 1;
    // Refused at the save (another writer saved after this command loaded),
    // or at the load (another writer replaced the database record while it
    // was read): either way nothing was changed, and the line says why.
    const bool changedMeanwhile = run.err.rfind(refusal, 0) == 0 ||
                                  run.err.find("(it changed since its size was asked)") != std::string::npos;
    return run.status == 1 && oneLine && changedMeanwhile ? Outcome::kConflict : Outcome::kOtherFailure;
}

TEST_P(CliConcurrentEdits, AreaKeepsExactlyThePointsOfTheCommandsThatSucceeded) {
    const std::string area = InFolder(GetParam().area);
    const std::string refusal = InFolder(GetParam().refusal);
    ASSERT_EQ(RunTool(dir_, {"new", area}).status, 0);
    ASSERT_EQ(RunTool(dir_, {"group", "add", area}).status, 0);

    int cleanExits = 0;
    const auto rounds = concurrent_rounds::RunConcurrentRounds(
        kWriters, kRounds,
        [&](int w, int r, std::string* reason) { return AddPointCommand(area, refusal, w, r, reason); },
        &cleanExits);
    EXPECT_EQ(cleanExits, kWriters);
    ASSERT_EQ(rounds.size(), static_cast<std::size_t>(kWriters * kRounds));
    std::multiset<std::string> succeeded;
    int refused = 0;
    for (const auto& round : rounds) {
        if (round.outcome == Outcome::kSaved) {
            succeeded.insert(PointName(round.writer, round.round));
        } else {
            EXPECT_EQ(round.outcome, Outcome::kConflict) << round.reason;
            ++refused;
        }
    }

    const RunResult list = RunTool(dir_, {"list", area, "-g", "1", "--json"});
    ASSERT_EQ(list.status, 0) << list.err;
    std::multiset<std::string> kept;
    for (const auto& point : nlohmann::json::parse(list.out)) kept.insert(point.at("name").get<std::string>());
    EXPECT_EQ(kept, succeeded) << kept.size() << " points kept, " << succeeded.size() << " commands succeeded";
    EXPECT_GT(refused, 0) << "no two commands overlapped";
    RecordProperty("commands_refused", refused);
}

const AddressCase kAddresses[] = {
    {"ControlPointFile", "@/area.gcp",
     "morvane: @/area.gcp: the save failed: another writer changed @/area.gcp since the area was opened; "
     "the groups were not saved\n"},
    {"Sqlite", "sqlite:@/maps.db#scene:1",
     "morvane: sqlite:@/maps.db#scene:1: the save failed: writing record 1 refused: another writer changed "
     "record 1 in '@/maps.db' after version "},
};

INSTANTIATE_TEST_SUITE_P(Stores, CliConcurrentEdits, ::testing::ValuesIn(kAddresses),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace morvane::tool::test
