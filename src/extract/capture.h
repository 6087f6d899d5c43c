#pragma once

// Taking the samples: one record each, from one decoder or several at once.

#include <filesystem>
#include <vector>

#include "extract/chains.h"
#include "media/media.h"
#include "response/response.h"

namespace framepick {

// How the samples were taken, for the benchmark and the tests.
struct CaptureWork {
  std::vector<Chain> chains;
  int workers;
  std::vector<double> chainSeconds;  // wall time to find each chain's frames
  DecodeCounters counters;           // of all decoders together
  double writingSeconds = 0;         // encoding and writing the stills, all decoders together
};

struct CaptureRecords {
  std::vector<FrameRecord> frames;
  std::vector<FailureRecord> failures;
  CaptureWork work;
};

// One record per fraction, in order: a frame record when its file was written, otherwise a
// failure record with the requested time and the reason. No sample is fatal. Samples after
// different keyframes may be taken by up to `maxWorkers` decoders at once; the records and the
// files are the same whichever way they are taken.
CaptureRecords captureFrames(FrameGenerator& generator, const std::vector<double>& fractions,
                             double durationSeconds, const std::filesystem::path& outputURL,
                             int maxWorkers);

}  // namespace framepick
