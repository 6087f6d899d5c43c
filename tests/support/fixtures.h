#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "support/process.h"

namespace framepick::testing {

// A video made with the ffmpeg CLI from the arguments, split at spaces (output path appended),
// once per test process, in a directory shared by the process's tests.
std::filesystem::path fixtureVideo(const std::string& fileName, const std::string& ffmpegWords);

// A clip whose frames carry their own number: twelve vertical bands across the top half, white
// for a set bit, least significant bit at the left; the bottom half is grey. The encoder's
// arguments are split at spaces.
std::filesystem::path numberedClip(const std::string& fileName, int width, int height, int rate,
                                   double seconds, const std::string& encoderWords);

// A copy of an MP4 file whose first track header carries the display matrix's a, b, c and d
// (whole numbers): FFmpeg 7 no longer turns a "rotate" tag into a matrix, and none writes mirrors.
std::filesystem::path withDisplayMatrix(const std::filesystem::path& mp4,
                                        const std::string& fileName, int a, int b, int c, int d);

// A copy of an MP4 file (its index after its samples, as ffmpeg writes it) whose first track's
// sync-sample table lists these sample numbers, counted from 1.
std::filesystem::path withSyncSamples(const std::filesystem::path& mp4, const std::string& fileName,
                                      const std::vector<uint32_t>& samples);

// A copy of a fragmented MP4 file that keeps its header and its fragments from `first` on
// (counted from 0), as a player gets a live stream joined late.
std::filesystem::path withFragmentsFrom(const std::filesystem::path& mp4,
                                        const std::string& fileName, int first);

// One edit of an edit list: `durationSeconds` of the presentation show the media from
// `mediaSeconds` after its first frame on (-1: nothing) at `rate`.
struct EditEntry {
  double durationSeconds;
  double mediaSeconds;
  int rate;
};

// A copy of an MP4 file (its index after its samples) whose first track's edit list is `edits`;
// the file's own edit list gives the media time of the first frame.
std::filesystem::path withEditList(const std::filesystem::path& mp4, const std::string& fileName,
                                   const std::vector<EditEntry>& edits);

// A copy of a file without its first `bytes` bytes.
std::filesystem::path withoutStart(const std::filesystem::path& file, const std::string& fileName,
                                   size_t bytes);

struct DecodedImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// Decodes a JPEG file to RGB; an empty image when it cannot.
DecodedImage decodeJpegFile(const std::filesystem::path& path);

// A run's report and the stills it lists, in order, each checked against the size the report
// gives it; nothing may come on standard error.
struct Stills {
  ProcessResult result;
  nlohmann::json report;
  std::vector<DecodedImage> images;
};
Stills captureStills(const std::filesystem::path& video, const std::vector<std::string>& options);

// Where a point of the coded picture, in fractions of its width and height, shows in the still.
using Turn = std::pair<double, double> (*)(double u, double v);
inline std::pair<double, double> asCoded(double u, double v) { return {u, v}; }

// The number a frame of numberedClip carries, read where `turn` puts its bands; -1 when the
// bottom half is not grey (the picture is not where `turn` says).
int readFrameNumber(const DecodedImage& image, Turn turn = asCoded);

}  // namespace framepick::testing
