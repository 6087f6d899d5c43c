// Runs framepick's own stages on one video and prints, as key=value lines, where the time goes,
// how many frames were decoded against the minimum the GOP structure forces, and how the samples'
// chains would run on single-threaded decoders of their own: each chain alone, its wall time
// and the CPU time of all of them, and what those times predict for more cores.

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/options.h"
#include "extract/capture.h"
#include "extract/chains.h"
#include "extract/plan.h"
#include "extract/probe.h"
#include "files/jpeg.h"
#include "gop_minimum.h"
#include "media/media.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
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

  // The stages of one run, as run.cpp calls them.
  Clock::time_point start = Clock::now();
  const AssetHandle asset = openAsset(options.inputPath);
  const double openSeconds = secondsSince(start);
  start = Clock::now();
  loadAsset(*asset);
  const Result<VideoProbe> probe = probeVideo(*asset);
  const double probeSeconds = secondsSince(start);
  if (!probe.ok()) {
    std::fprintf(stderr, "%s\n", probe.error().message.c_str());
    return 1;
  }
  start = Clock::now();
  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, options.maximumDimension);
  const std::vector<double> fractions = sampleFractions(options.maxFrames);
  std::vector<double> times;
  for (const double fraction : fractions) {
    times.push_back(requestedTime(fraction, probe.value().durationSeconds));
  }
  const ParallelRoom room = parallelRoom(*generator);
  const double planSeconds = secondsSince(start);
  start = Clock::now();
  const CaptureRecords records = captureFrames(*generator, fractions, probe.value().durationSeconds,
                                               directory, std::min(room.cores, room.decoders));
  const double captureSeconds = secondsSince(start);
  const CaptureWork& work = records.work;

  // Each chain alone on a fresh single-threaded decoder, one after another.
  std::vector<double> chainSeconds;
  const double cpuStart = processCpuSeconds();
  for (const Chain& chain : work.chains) {
    const FrameGeneratorHandle alone = makeSiblingGenerator(*generator, 1);
    if (!alone) break;
    start = Clock::now();
    for (const size_t position : chain.samples) {
      const Result<CapturedImage> captured = copyImageAtTime(*alone, times[position]);
      if (captured.ok() && !encodeJpeg(captured.value().image).ok()) return 1;
    }
    chainSeconds.push_back(secondsSince(start));
  }
  const double singleThreadCpuSeconds = processCpuSeconds() - cpuStart;
  std::filesystem::remove_all(directory);

  std::printf("open_s=%.4f\n", openSeconds);
  std::printf("probe_s=%.4f\n", probeSeconds);
  std::printf("open_probe_s=%.4f\n", openSeconds + probeSeconds);
  std::printf("plan_s=%.4f\n", planSeconds);
  std::printf("capture_s=%.4f\n", captureSeconds);
  std::string chains;
  for (const double seconds : work.chainSeconds) chains += std::to_string(seconds) + " ";
  std::printf("chain_s=%s\n", chains.c_str());
  std::printf("convert_scale_s=%.4f\n", work.counters.convertingSeconds);
  std::printf("encode_write_s=%.4f\n", work.writingSeconds);
  std::printf("workers=%d\n", work.workers);
  std::printf("chains=%zu\n", work.chains.size());
  std::printf("seeks=%lld\n", static_cast<long long>(work.counters.seeks));
  std::printf("packets_read=%lld\n", static_cast<long long>(work.counters.packetsRead));
  std::printf("frames_decoded=%lld\n", static_cast<long long>(work.counters.framesDecoded));
  std::printf("gop_forced_frames=%lld\n",
              static_cast<long long>(bench::gopForcedFrames(options.inputPath, times)));
  // Without a decoder of its own for each chain (AVI, MPEG-TS), there is nothing to predict.
  if (chainSeconds.size() != work.chains.size()) return 0;
  std::printf("single_thread_cpu_s=%.4f\n", singleThreadCpuSeconds);
  std::printf("critical_path_s=%.4f\n", criticalPath(chainSeconds, 1'000'000));
  for (const int cores : {4, 8, 16}) {
    std::printf("predicted_%d_cores_s=%.4f\n", cores, criticalPath(chainSeconds, cores));
  }
  return 0;
}
