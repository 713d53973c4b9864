// control_point_file_harness.cpp - fuzzing the open and save of a file area.
#include "Env.h"
#include "Harnesses.h"
#include "MemoryEnv.h"
#include "Morvane.h"

#include <cstdlib>

namespace morvane::fuzz {

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

constexpr const char* kPath = "area.gcp";

// Opens the area, creates one more group and closes; the result of the open.
short OpenEditClose(const char* path, unsigned long* groupsBefore) {
    CFile_Morvane area;
    const short opened = area.OpenGCPArea(1000, 800, path);
    unsigned long groups = 0;
    Check(area.GetGCPGroupNum(groups) == 1);  // even a failed open holds a list
    *groupsBefore = groups;
    if (area.CreateGCPGroup(groups + 1) == 1 && area.OpenGCPGroup(groups + 1) == 1) {
        Check(area.SetChangeFlag(true) == 1);
    }
    Check(area.CloseGCPArea() == 1);
    return opened;
}

}  // namespace

int FuzzControlPointFile(const std::uint8_t* data, std::size_t size) {
    MemoryEnv env;
    const FileBytes original(data, data + size);
    env.files[kPath] = original;
    SetAreaEnv(&env);
    unsigned long groups = 0;
    const short opened = OpenEditClose(kPath, &groups);
    Check(env.files.size() == 1);  // no temporary file left behind
    if (opened == 0) {
        Check(env.files[kPath] == original);
    } else {
        unsigned long groupsAfter = 0;
        Check(OpenEditClose(kPath, &groupsAfter) == 1);
        Check(groupsAfter == groups + 1);
    }
    SetAreaEnv(nullptr);
    return 0;
}

}  // namespace morvane::fuzz
