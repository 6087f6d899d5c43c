#include "support/report_schema.h"

#include <fstream>

#include "support/process.h"
#include "support/scratch.h"

namespace framepick::testing {

std::string reportSchemaViolations(const std::string& document) {
  ScratchDirectory work;
  const std::filesystem::path path = work.path() / "report.json";
  std::ofstream(path, std::ios::binary) << document;
  const ProcessResult checked = runProcess(
      FRAMEPICK_SCHEMA_PYTHON, {FRAMEPICK_REPORT_CHECKER, FRAMEPICK_REPORT_SCHEMA, path.string()});
  if (checked.exitStatus == 0) return "";
  // A document that is not JSON at all ends the checker with a traceback on standard error.
  return "schema check exited with status " + std::to_string(checked.exitStatus) + ":\n" +
         checked.out + checked.err;
}

}  // namespace framepick::testing
