#pragma once

// The report's one JSON form.

#include <string>

#include "response/response.h"

namespace framepick {

// Printed whole in place of a report that cannot be encoded.
inline constexpr const char* kFallbackDocument =
    R"({"ok":false,"decoder":"AVFoundation","error":"json_encode_failed"})";

// The exact bytes that writeJson prints: the pretty-printed report with sorted keys, or the
// fallback document, followed by one line feed.
std::string responseDocument(const ExtractorResponse& response);

// Prints the response document to standard output in one write. Never fails and never exits.
void writeJson(const ExtractorResponse& response);

}  // namespace framepick
