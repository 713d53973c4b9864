// ShowGcpLocation, as the tool and the Python module show addresses: on
// every build, with libpq to read the URI or without, no way of writing a
// password shows it.
#include <gtest/gtest.h>

#include <string>

#include "Lodestor.h"

namespace {

struct Secret {
    const char* uri;
    const char* secret;
};

class ShownLocation : public ::testing::TestWithParam<Secret> {};

TEST_P(ShownLocation, NeverShowsThePassword) {
    char out[256];
    ShowGcpLocation(GetParam().uri, out, sizeof out);
    const std::string shown = out;
    EXPECT_EQ(shown.find(GetParam().secret), std::string::npos) << shown;
    EXPECT_EQ(shown.rfind("postgres", 0), 0u) << shown;
    EXPECT_NE(shown.find("***"), std::string::npos) << shown;
}

INSTANTIATE_TEST_SUITE_P(Written, ShownLocation,
                         ::testing::Values(Secret{"postgresql://u:s3cret@h/db", "s3cret"},
                                           Secret{"postgresql://u:s3?cret@h/db", "cret"},
                                           Secret{"postgresql://h/db?passwor%64=s3cret", "s3cret"},
                                           Secret{"postgresql://h/db?user=u&%70assword=s3cret", "s3cret"},
                                           Secret{"postgres://h/db?sslmode=disable&password=s3cret", "s3cret"}));

TEST(ShownLocation, FilesAndOtherTextAreShownAsGiven) {
    char out[64];
    for (const char* location : {"/data/maps.db", "C:\\maps\\a.db", "relative.db"}) {
        ShowGcpLocation(location, out, sizeof out);
        EXPECT_STREQ(out, location);
    }
}

}  // namespace
