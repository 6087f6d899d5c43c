#include "support/scratch.h"

#include <stdlib.h>

#include <stdexcept>
#include <string>
#include <system_error>

namespace framepick::testing {

ScratchDirectory::ScratchDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "framepick-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code error;
  // Tests may leave read-only directories behind; open them up so they can be removed.
  for (auto& entry : std::filesystem::recursive_directory_iterator(path_, error)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
  }
  std::filesystem::remove_all(path_, error);
}

}  // namespace framepick::testing
