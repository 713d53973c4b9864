// The module reports the version the build was made as.
#include "MorvaneModule.h"

#include <gtest/gtest.h>

#include <string>

TEST(ModuleTest, ReportsTheProjectVersion) {
    EXPECT_EQ(std::string(MorvaneVersion()), MORVANE_EXPECTED_VERSION);
    EXPECT_EQ(std::string(MorvaneVersion()), MORVANE_VERSION_STRING);
}
