// Feeds arbitrary bytes through the whole capture path: open, probe, decode, scale, encode and
// write the frame files, exactly as a run of the tool does.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "extract/capture.h"
#include "extract/plan.h"
#include "extract/probe.h"
#include "media/media.h"

namespace {

// The asset reads a path, so each input goes through one file; frames land beside it.
struct Workspace {
  std::filesystem::path input;
  std::filesystem::path output;
};

const Workspace& workspace() {
  static const Workspace paths = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "framepick-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) abort();
    const std::filesystem::path directory = pattern;
    std::filesystem::create_directory(directory / "frames");
    return Workspace{directory / "input", directory / "frames"};
  }();
  return paths;
}

void removeWorkspace() {
  std::error_code error;
  std::filesystem::remove_all(workspace().input.parent_path(), error);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  framepick::silenceMediaLog();
  workspace();
  atexit(removeWorkspace);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Workspace& paths = workspace();
  {
    std::ofstream file(paths.input, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!file) abort();
  }
  const framepick::AssetHandle asset = framepick::openAsset(paths.input);
  framepick::loadAsset(*asset);
  const framepick::Result<framepick::VideoProbe> probe = framepick::probeVideo(*asset);
  if (!probe.ok()) return 0;
  // The smallest still size and three samples keep each input fast without skipping any stage;
  // two decoders at most, so that files with several keyframes take the parallel path too.
  const framepick::FrameGeneratorHandle generator = framepick::makeFrameGenerator(*asset, 320);
  framepick::captureFrames(*generator, framepick::sampleFractions(3), probe.value().durationSeconds,
                           paths.output, 2);
  return 0;
}
