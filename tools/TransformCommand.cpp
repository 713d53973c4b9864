// transform: converts coordinate pairs through a group's prepared
// transformation, streaming from standard input (or a file) to standard
// output.
//
// Text mode reads "x y" lines and writes "x y" lines.  Binary mode reads
// and writes raw little-endian float64 pairs, converted in large blocks with
// BatchTransform; it is the mode for bulk work, where text would be the
// bottleneck.
#include "CommandContext.h"
#include "Commands.h"
#include "LineAxis.h"
#include "NumberStream.h"
#include "TextScan.h"

#include <fmt/format.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace morvane::tool {

namespace {

constexpr std::size_t kBlockPairs = 1 << 16;       // pairs converted per call
constexpr std::size_t kTextChunk = 1 << 20;        // bytes read per call

struct TransformOptions {
    AreaOptions area;
    bool inverse = false;
    bool binary = false;
    std::string input;    // "" or "-" = standard input
    std::string output;   // "" or "-" = standard output
};

// Files opened for the command, closed on every way out.
struct Streams {
    std::FILE* in = stdin;
    std::FILE* out = stdout;
    ~Streams() {
        if (in != stdin && in != nullptr) std::fclose(in);
        if (out != stdout && out != nullptr) std::fclose(out);
    }
};

void WriteAll(std::FILE* out, const void* data, std::size_t size) {
    if (size != 0 && std::fwrite(data, 1, size, out) != size) throw Refusal("cannot write the output");
}

// How the command's pixel/line (line down) meets the group's: a group that
// stores lines upward wants them negated.
enum class LineFlip { None, BeforeConversion, AfterConversion };

// The prepared transformation of the open group, and how lines meet it.
struct Conversion {
    AreaHandle& area;
    LineFlip flip = LineFlip::None;
};

void NegateLines(std::vector<double>& pairs) {
    for (std::size_t i = 1; i < pairs.size(); i += 2) pairs[i] = -pairs[i];
}

// Converts pairs in place; on failure names the first pair that fails.
void ConvertBlock(const Conversion& conversion, std::vector<double>& pairs, const std::vector<std::size_t>* lines,
                  std::size_t firstPair) {
    std::size_t count = pairs.size() / 2;
    if (count == 0) return;
    AreaHandle& area = conversion.area;
    if (conversion.flip == LineFlip::BeforeConversion) NegateLines(pairs);
    if (area.BatchTransform(pairs.data(), pairs.data(), count) == 1) {
        if (conversion.flip == LineFlip::AfterConversion) NegateLines(pairs);
        return;
    }
    // Find the culprit one pair at a time, for the message.
    for (std::size_t i = 0; i < count; ++i) {
        double x = 0, y = 0;
        if (area.PointTransform(pairs[2 * i], pairs[2 * i + 1], x, y) != 1) {
            if (lines) throw Refusal(fmt::format("line {}: the pair cannot be converted", (*lines)[i]));
            throw Refusal(fmt::format("pair {}: cannot be converted", firstPair + i + 1));
        }
    }
    throw Refusal("the block cannot be converted");
}

void RunText(const Conversion& conversion, std::FILE* in, std::FILE* out) {
    std::vector<char> chunk(kTextChunk);
    std::vector<double> pairs;
    std::vector<std::size_t> lines;
    fmt::memory_buffer text;
    PairReader reader;
    auto flush = [&] {
        ConvertBlock(conversion, pairs, &lines, 0);
        WritePairs(pairs.data(), pairs.size() / 2, text);
        WriteAll(out, text.data(), text.size());
        text.clear();
        pairs.clear();
        lines.clear();
    };
    try {
        for (;;) {
            std::size_t got = std::fread(chunk.data(), 1, chunk.size(), in);
            if (got == 0) break;
            reader.Feed(std::string_view(chunk.data(), got), pairs, lines);
            if (pairs.size() / 2 >= kBlockPairs) flush();
        }
        if (std::ferror(in)) throw Refusal("cannot read the input");
        reader.Finish(pairs, lines);
    } catch (const FormatError&) {
        flush();   // the lines before the bad one are converted and written
        throw;
    }
    flush();
}

void RunBinary(const Conversion& conversion, std::FILE* in, std::FILE* out) {
    std::vector<double> pairs(2 * kBlockPairs);
    std::vector<unsigned char> bytes(sizeof(double) * pairs.size());
    std::size_t done = 0;
    for (;;) {
        std::size_t got = std::fread(bytes.data(), 1, bytes.size(), in);
        if (got == 0) break;
        // fread returns short only at the end of the input or on an error,
        // so a partial pair can only be the last bytes.
        std::size_t count = got / 16;
        // The stream is little-endian, as is every host the library builds on.
        std::memcpy(pairs.data(), bytes.data(), count * 16);
        pairs.resize(2 * count);
        ConvertBlock(conversion, pairs, nullptr, done);
        WriteAll(out, pairs.data(), count * 16);
        pairs.resize(2 * kBlockPairs);
        done += count;
        if (got % 16 != 0) {
            throw Refusal(fmt::format("the input ends inside a pair ({} bytes after pair {})", got % 16, done));
        }
    }
    if (std::ferror(in)) throw Refusal("cannot read the input");
}

void RunTransform(const TransformOptions& o) {
    std::unique_ptr<AreaHandle> area = OpenArea(o.area, OpenMode::Read);
    Streams streams;
    if (!o.input.empty() && o.input != "-") {
        streams.in = std::fopen(o.input.c_str(), "rb");
        if (!streams.in) throw Refusal(fmt::format("{}: {}", o.input, std::strerror(errno)));
    }
    if (!o.output.empty() && o.output != "-") {
        streams.out = std::fopen(o.output.c_str(), "wb");
        if (!streams.out) throw Refusal(fmt::format("{}: {}", o.output, std::strerror(errno)));
    }
    {
        GroupScope scope(*area, o.area.group);
        Conversion conversion{*area};
        if (StoredLineSign(ReadGroupType(*area).orient) < 0.0) {
            conversion.flip = o.inverse ? LineFlip::AfterConversion : LineFlip::BeforeConversion;
        }
        if (area->BeginTransform(!o.inverse) != 1) {
            GroupType type = ReadGroupType(*area);
            throw Refusal(fmt::format("group {} has no usable {} fit (it needs {} used points, not collinear)",
                                      o.area.group, TransTypeName(type.trans),
                                      CCtrlPntSet::MinPointsForType(type.trans)));
        }
        try {
            if (o.binary) RunBinary(conversion, streams.in, streams.out);
            else RunText(conversion, streams.in, streams.out);
        } catch (const FormatError& error) {
            area->EndTransform();
            throw Refusal(fmt::format("{}: {}", o.input.empty() ? "input" : o.input, error.what()));
        } catch (...) {
            area->EndTransform();
            throw;
        }
        area->EndTransform();
    }
    if (std::fflush(streams.out) != 0) throw Refusal("cannot write the output");
    area->Discard();
}

}  // namespace

void AddTransformCommand(CLI::App& app) {
    auto options = std::make_shared<TransformOptions>();
    CLI::App* c = app.add_subcommand(
        "transform",
        "convert coordinate pairs with a group: pixel/line to map (default) or map to pixel/line (--inverse)");
    AddAreaArgument(*c, options->area);
    AddGroupOption(*c, options->area);
    c->add_flag("--inverse", options->inverse, "convert map coordinates to pixel/line");
    c->add_flag("--binary", options->binary,
                "read and write raw little-endian float64 pairs (16 bytes a pair) instead of text");
    c->add_option("-i,--input", options->input, "read from this file instead of standard input");
    c->add_option("-o,--output", options->output, "write to this file instead of standard output");
    c->footer("Text input: one pair a line, two numbers separated by blanks or a comma; blank lines and lines\n"
              "starting with # are skipped.  Pixel/line pairs count lines downward from the top edge.");
    c->callback([options] { RunTransform(*options); });
}

}  // namespace morvane::tool
