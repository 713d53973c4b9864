#include "ExchangeFiles.h"

#include "AreaHandle.h"
#include "TextScan.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace morvane::tool {

namespace {
namespace fs = std::filesystem;
constexpr std::uintmax_t kLargestInput = 512u << 20;   // bytes
}  // namespace

FileFormat ChooseFormat(const std::string& formatName, const std::string& path) {
    if (!formatName.empty()) {
        std::optional<FileFormat> f = FormatByName(formatName);
        if (!f) {
            throw std::invalid_argument(
                fmt::format("unknown format \"{}\": one of {}", formatName, FormatNamesHelp()));
        }
        return *f;
    }
    std::optional<FileFormat> f = FormatByPath(path);
    if (!f) {
        throw std::invalid_argument(
            fmt::format("{}: cannot tell the format from the name; give --format ({})", path, FormatNamesHelp()));
    }
    return *f;
}

std::string ReadWholeFile(const std::string& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) throw Refusal(fmt::format("{}: is a directory", path));
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Refusal(fmt::format("{}: {}", path, std::strerror(errno)));
    std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > kLargestInput) throw Refusal(fmt::format("{}: larger than {} MiB", path, kLargestInput >> 20));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp-morvane";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) throw Refusal(fmt::format("{}: {}", path, std::strerror(errno)));
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw Refusal(fmt::format("{}: cannot write", path));
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        throw Refusal(fmt::format("{}: cannot write", path));
    }
}

GcpTable ReadTableFile(FileFormat format, const std::string& path) {
    std::string text = ReadWholeFile(path);
    try {
        return ReadGcps(format, text);
    } catch (const FormatError& error) {
        if (error.line() == 0) throw Refusal(fmt::format("{}: {}", path, error.reason()));
        throw Refusal(fmt::format("{}:{}: {}", path, error.line(), error.reason()));
    }
}

}  // namespace morvane::tool
