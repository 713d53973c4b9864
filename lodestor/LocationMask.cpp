// LocationMask.cpp - a PostgreSQL URI's password hidden as it is written.
#include "LocationMask.h"

#include <algorithm>
#include <cstring>

namespace lodestor {

std::string MaskPasswordAsWritten(const std::string& uri) {
    std::size_t schemeSize = 0;
    for (const char* scheme : {"postgresql://", "postgres://"}) {
        if (uri.rfind(scheme, 0) == 0) schemeSize = std::strlen(scheme);
    }
    if (schemeSize == 0) return uri;
    std::string out = uri;
    // The user part ends at the last '@' before the path or the query.
    const std::size_t end = std::min(out.find_first_of("/?", schemeSize), out.size());
    const std::size_t at = out.rfind('@', end == 0 ? 0 : end - 1);
    if (at != std::string::npos && at >= schemeSize) {
        const std::size_t colon = out.find(':', schemeSize);
        if (colon != std::string::npos && colon < at) out.replace(colon + 1, at - colon - 1, "***");
    }
    const std::size_t query = out.find('?');
    for (std::size_t p = query; p != std::string::npos && p < out.size(); p = out.find('&', p + 1)) {
        if (out.compare(p + 1, 9, "password=") == 0) {
            const std::size_t valueStart = p + 10;
            const std::size_t valueEnd = std::min(out.find('&', valueStart), out.size());
            out.replace(valueStart, valueEnd - valueStart, "***");
        }
    }
    return out;
}

}  // namespace lodestor
