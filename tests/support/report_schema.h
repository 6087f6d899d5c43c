#pragma once

#include <string>

namespace framepick::testing {

// What the published report schema finds wrong with a document framepick printed, one violation
// a line; empty when the document follows it. Runs the schema validator in a Python process.
std::string reportSchemaViolations(const std::string& document);

}  // namespace framepick::testing
