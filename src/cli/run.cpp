// The run: its stages in order, the failure exit and the final report.

#include "cli/run.h"

#include <algorithm>

#include "cli/confinement.h"
#include "cli/inherited_descriptors.h"
#include "cli/options.h"
#include "cli/process_limits.h"
#include "extract/capture.h"
#include "extract/plan.h"
#include "extract/probe.h"
#include "files/output_dir.h"
#include "files/paths.h"
#include "media/media.h"
#include "response/response.h"

namespace framepick {

RunOutcome fail(const std::string& input, const std::string& message) {
  return {ExtractorResponse{.ok = false,
                            .decoder = kDecoderName,
                            .inputFileName = lastPathComponent(input),
                            .durationSeconds = 0,
                            .videoWidth = 0,
                            .videoHeight = 0,
                            .maxFrames = 0,
                            .frames = {},
                            .failures = {},
                            .error = message},
          1};
}

RunOutcome run(const std::vector<std::string>& arguments) {
  // First of all: nothing the caller left open stays in reach, and no limit can be lifted later.
  const bool descriptorsClosed = closeInheritedDescriptors();
  const bool resourcesLimited = limitResources();
  const Options options = readOptions(arguments);
  const std::string& inputPath = options.inputPath;
  if (inputPath.empty() || options.outputDir.empty()) {
    return fail(inputPath, std::string(kUsageLine));
  }

  const std::filesystem::path inputURL = absolutePath(inputPath);
  const std::filesystem::path outputURL = absolutePath(options.outputDir);
  if (!inputExists(inputURL)) return fail(inputPath, "input_missing");
  const Result<> outputDirectory = createOutputDirectory(outputURL);
  if (!outputDirectory.ok()) return fail(inputPath, outputDirectory.error().message);

  const AssetHandle asset = openAsset(inputURL);
  const Confinement confinement = confineProcess(outputURL);
  if (options.confinement == ConfinementLevel::kRequired &&
      !(descriptorsClosed && resourcesLimited && confinement.complete())) {
    return fail(inputPath, "confinement_unavailable");
  }
  loadAsset(*asset);
  const Result<VideoProbe> probe = probeVideo(*asset);
  if (!probe.ok()) return fail(inputPath, probe.error().message);
  const double durationSeconds = probe.value().durationSeconds;

  const FrameGeneratorHandle generator = makeFrameGenerator(*asset, options.maximumDimension);
  const std::vector<double> fractions = sampleFractions(options.maxFrames);
  const ParallelRoom room = parallelRoom(*generator);
  CaptureRecords records = captureFrames(*generator, fractions, durationSeconds, outputURL,
                                         std::min(room.cores, room.decoders));

  const bool ok = !records.frames.empty();
  return {ExtractorResponse{
              .ok = ok,
              .decoder = kDecoderName,
              .inputFileName = lastPathComponent(inputURL.string()),
              .durationSeconds = durationSeconds,
              .videoWidth = probe.value().videoWidth,
              .videoHeight = probe.value().videoHeight,
              .maxFrames = options.maxFrames,
              .frames = std::move(records.frames),
              .failures = std::move(records.failures),
              .error = ok ? std::nullopt : std::optional<std::string>("no_frames_extracted")},
          ok ? 0 : 2};
}

}  // namespace framepick
