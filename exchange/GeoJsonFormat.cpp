#include "GeoJsonFormat.h"

#include "TextScan.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cmath>

namespace morvane::tool {

namespace {

using Json = nlohmann::json;

std::string Where(std::size_t feature) { return fmt::format("feature {}", feature); }

// Lines on which the elements of the "features" array start, found by a
// scan that skips strings (the parsed document keeps no positions).  The
// scan follows the first "features" key, which for a document that parsed
// as a FeatureCollection is the collection's own in all but contrived files;
// the lines only label messages.
std::vector<std::size_t> FeatureLines(std::string_view text) {
    std::vector<std::size_t> lines;
    std::size_t key = text.find("\"features\"");
    if (key == std::string_view::npos) return lines;
    std::size_t open = text.find('[', key);
    if (open == std::string_view::npos) return lines;
    int depth = 0;
    std::size_t line = LineOfOffset(text, open);
    bool inString = false;
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\n') ++line;
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (depth == 0) lines.push_back(line);
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0) break;
            --depth;
        }
    }
    return lines;
}

double NumberMember(const Json& object, const char* key, std::size_t feature, bool required, double fallback) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        if (required) throw FormatError(0, fmt::format("{}: property \"{}\" missing", Where(feature), key));
        return fallback;
    }
    if (!it->is_number() || !std::isfinite(it->get<double>())) {
        throw FormatError(0, fmt::format("{}: \"{}\" is not a finite number", Where(feature), key));
    }
    return it->get<double>();
}

bool FlagMember(const Json& object, const char* key, std::size_t feature) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return true;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number_integer() && (it->get<long long>() == 0 || it->get<long long>() == 1)) {
        return it->get<long long>() == 1;
    }
    throw FormatError(0, fmt::format("{}: \"{}\" must be true or false", Where(feature), key));
}

GcpRow RowFromFeature(const Json& feature, std::size_t number) {
    if (!feature.is_object() || feature.value("type", "") != "Feature") {
        throw FormatError(0, fmt::format("{}: not a Feature object", Where(number)));
    }
    auto geometry = feature.find("geometry");
    if (geometry == feature.end() || !geometry->is_object() || geometry->value("type", "") != "Point") {
        throw FormatError(0, fmt::format("{}: geometry is not a Point", Where(number)));
    }
    auto coordinates = geometry->find("coordinates");
    if (coordinates == geometry->end() || !coordinates->is_array() || coordinates->size() < 2 ||
        coordinates->size() > 3) {
        throw FormatError(0, fmt::format("{}: Point coordinates must hold 2 or 3 numbers", Where(number)));
    }
    for (const Json& c : *coordinates) {
        if (!c.is_number() || !std::isfinite(c.get<double>())) {
            throw FormatError(0, fmt::format("{}: a coordinate is not a finite number", Where(number)));
        }
    }
    auto properties = feature.find("properties");
    if (properties == feature.end() || !properties->is_object()) {
        throw FormatError(0, fmt::format("{}: no properties with pixel and line", Where(number)));
    }
    GcpRow row;
    row.x = (*coordinates)[0].get<double>();
    row.y = (*coordinates)[1].get<double>();
    row.z = coordinates->size() == 3 ? (*coordinates)[2].get<double>() : 0.0;
    row.pixel = NumberMember(*properties, "pixel", number, true, 0.0);
    row.line = NumberMember(*properties, "line", number, true, 0.0);
    double id = NumberMember(*properties, "id", number, false, static_cast<double>(number));
    if (id != std::floor(id) || std::fabs(id) > 2147483647.0) {
        throw FormatError(0, fmt::format("{}: \"id\" must be a whole number", Where(number)));
    }
    row.id = static_cast<std::int32_t>(id);
    auto name = properties->find("name");
    if (name != properties->end() && !name->is_null()) {
        if (!name->is_string()) throw FormatError(0, fmt::format("{}: \"name\" must be a string", Where(number)));
        row.name = name->get<std::string>();
    }
    row.use = FlagMember(*properties, "use", number);
    row.edit = FlagMember(*properties, "edit", number);
    return row;
}

}  // namespace

GcpTable ReadGeoJsonGcps(std::string_view text) {
    Json document;
    try {
        document = Json::parse(text.begin(), text.end());
    } catch (const Json::parse_error& error) {
        std::size_t line = LineOfOffset(text, error.byte == 0 ? 0 : error.byte - 1);
        throw FormatError(line, "not valid JSON");
    }
    if (!document.is_object() || document.value("type", "") != "FeatureCollection") {
        throw FormatError(0, "not a GeoJSON FeatureCollection");
    }
    auto features = document.find("features");
    if (features == document.end() || !features->is_array()) throw FormatError(0, "FeatureCollection has no features");
    GcpTable table;
    auto crs = document.find("crs_wkt");
    if (crs != document.end() && crs->is_string()) table.crs = crs->get<std::string>();
    std::vector<std::size_t> lines = FeatureLines(text);
    auto lineOf = [&](std::size_t n) { return n <= lines.size() ? lines[n - 1] : 0; };
    std::size_t number = 0;
    for (const Json& feature : *features) {
        try {
            table.rows.push_back(RowFromFeature(feature, ++number));
        } catch (const FormatError& error) {
            throw FormatError(lineOf(number), error.reason());
        }
        table.rows.back().fileLine = lineOf(number);
    }
    return table;
}

std::string WriteGeoJsonGcps(const GcpTable& table) {
    // Written by hand rather than through Json::dump so that every number
    // comes out in its shortest round-trip form, one feature per line.
    std::string out = "{\n\"type\": \"FeatureCollection\",\n";
    if (!table.crs.empty()) out += fmt::format("\"crs_wkt\": {},\n", Json(table.crs).dump(-1, ' ', false, Json::error_handler_t::replace));
    out += "\"features\": [";
    bool first = true;
    for (const GcpRow& row : table.rows) {
        std::string coordinates = fmt::format("{}, {}", FormatNumber(row.x), FormatNumber(row.y));
        if (row.z != 0.0) coordinates += fmt::format(", {}", FormatNumber(row.z));
        std::string properties =
            fmt::format("\"name\": {}, \"id\": {}, \"pixel\": {}, \"line\": {}, \"use\": {}, \"edit\": {}",
                        Json(row.name).dump(-1, ' ', false, Json::error_handler_t::replace), row.id,
                        FormatNumber(row.pixel), FormatNumber(row.line), row.use ? "true" : "false",
                        row.edit ? "true" : "false");
        if (row.residual) {
            const GcpResidual& r = *row.residual;
            properties += fmt::format(", \"res_pixel\": {}, \"res_line\": {}, \"res_x\": {}, \"res_y\": {}",
                                      FormatNumber(r.pixel), FormatNumber(r.line), FormatNumber(r.x),
                                      FormatNumber(r.y));
        }
        out += first ? "\n" : ",\n";
        first = false;
        out += fmt::format("{{\"type\": \"Feature\", \"geometry\": {{\"type\": \"Point\", \"coordinates\": [{}]}}, "
                           "\"properties\": {{{}}}}}",
                           coordinates, properties);
    }
    out += "\n]\n}\n";
    return out;
}

}  // namespace morvane::tool
