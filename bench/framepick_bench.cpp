// Runs the same stages as framepick on one video and prints where the time goes and how many
// frames were decoded against the minimum the GOP structure forces, as key=value lines.

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/options.h"
#include "extract/plan.h"
#include "extract/probe.h"
#include "files/atomic_file.h"
#include "files/frame_file.h"
#include "files/jpeg.h"
#include "gop_minimum.h"
#include "media/media.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace framepick;
  silenceMediaLog();
  const Options options = readOptions(std::vector<std::string>(argv, argv + argc));
  if (options.inputPath.empty()) {
    std::fprintf(stderr, "usage: framepick_bench --input <video> [--max-frames 7]\n");
    return 1;
  }
  std::string directory = (std::filesystem::temp_directory_path() / "framepick-bench-XXXXXX");
  if (mkdtemp(directory.data()) == nullptr) return 1;

  Clock::time_point start = Clock::now();
  const AssetHandle asset = openAsset(options.inputPath);
  loadAsset(*asset);
  const Result<VideoProbe> probe = probeVideo(*asset);
  const double openSeconds = secondsSince(start);
  if (!probe.ok()) {
    std::fprintf(stderr, "%s\n", probe.error().message.c_str());
    return 1;
  }
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, options.maximumDimension);
  double captureSeconds = 0, encodeSeconds = 0, writeSeconds = 0;
  std::vector<double> times;
  int64_t index = 0;
  for (const double fraction : sampleFractions(options.maxFrames)) {
    const double seconds = requestedTime(fraction, probe.value().durationSeconds);
    times.push_back(seconds);
    start = Clock::now();
    const Result<CapturedImage> captured = copyImageAtTime(*generator, seconds);
    captureSeconds += secondsSince(start);
    if (!captured.ok()) continue;
    start = Clock::now();
    const Result<std::vector<uint8_t>> jpeg = encodeJpeg(captured.value().image);
    encodeSeconds += secondsSince(start);
    if (!jpeg.ok()) continue;
    start = Clock::now();
    const Result<> written = writeFileAtomically(
        std::filesystem::path(directory) / frameFileName(++index), jpeg.value());
    writeSeconds += secondsSince(start);
    // A write that failed would make the write time look better than it is.
    if (!written.ok()) {
      std::fprintf(stderr, "writing a frame failed: %s\n", written.error().message.c_str());
      return 1;
    }
  }
  const DecodeCounters counters = decodeCounters(*generator);
  std::filesystem::remove_all(directory);

  std::printf("open_probe_s=%.4f\n", openSeconds);
  std::printf("seek_decode_s=%.4f\n", captureSeconds - counters.convertingSeconds);
  std::printf("convert_scale_s=%.4f\n", counters.convertingSeconds);
  std::printf("encode_s=%.4f\n", encodeSeconds);
  std::printf("write_s=%.4f\n", writeSeconds);
  std::printf("seeks=%lld\n", static_cast<long long>(counters.seeks));
  std::printf("packets_read=%lld\n", static_cast<long long>(counters.packetsRead));
  std::printf("frames_decoded=%lld\n", static_cast<long long>(counters.framesDecoded));
  std::printf("gop_forced_frames=%lld\n",
              static_cast<long long>(bench::gopForcedFrames(options.inputPath, times)));
  return 0;
}
