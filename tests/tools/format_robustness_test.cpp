// Damaged files: every reader either reads a file or refuses it with a
// FormatError; nothing else escapes, and nothing reads out of bounds (the
// sanitizer build runs this too).
#include "FileFormat.h"
#include "TextScan.h"

#include <gtest/gtest.h>

#include <cmath>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace morvane::tool {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> SampleTexts() {
    std::vector<std::string> texts;
    for (const fs::directory_entry& entry : fs::directory_iterator(MORVANE_GCP_DATA)) {
        if (entry.path().extension() == ".md") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        texts.push_back(text.str());
    }
    return texts;
}

std::string Damage(std::string text, std::mt19937& random) {
    std::uniform_int_distribution<int> kind(0, 3);
    int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
        std::size_t at = random() % text.size();
        switch (kind(random)) {
            case 0: text[at] = static_cast<char>(random() & 0xff); break;            // flip a byte
            case 1: text.resize(at); break;                                          // cut short
            case 2: text.erase(at, 1 + random() % 16); break;                        // drop a piece
            default: text.insert(at, text.substr(random() % text.size(), 1 + random() % 32)); break;  // repeat one
        }
    }
    return text;
}

TEST(FormatRobustness, DamagedRealFilesAreReadOrRefusedCleanly) {
    std::vector<std::string> samples = SampleTexts();
    ASSERT_GE(samples.size(), 13u);
    const FileFormat formats[] = {FileFormat::QgisPoints, FileFormat::Vrt, FileFormat::Csv, FileFormat::GeoJson,
                                  FileFormat::EnviPts};
    std::mt19937 random(2024);
    std::size_t read = 0, refused = 0;
    for (int round = 0; round < 60; ++round) {
        for (const std::string& sample : samples) {
            std::string damaged = Damage(sample, random);
            for (FileFormat format : formats) {
                try {
                    GcpTable table = ReadGcps(format, damaged);
                    for (const GcpRow& row : table.rows) {
                        ASSERT_TRUE(std::isfinite(row.pixel) && std::isfinite(row.line) && std::isfinite(row.x) &&
                                    std::isfinite(row.y) && std::isfinite(row.z));
                    }
                    ++read;
                } catch (const FormatError&) {
                    ++refused;
                }
            }
        }
    }
    // Both outcomes happen: the damage is neither always fatal nor always harmless.
    EXPECT_GT(read, 0u);
    EXPECT_GT(refused, 0u);
}

}  // namespace
}  // namespace morvane::tool
