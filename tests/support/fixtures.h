#pragma once

// Scratch directories, programs run, and the clips the tests are made of.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "files/image.h"

namespace framepick::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    std::string pattern = std::filesystem::temp_directory_path() / "framepick-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDirectory() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

struct ProcessResult {
  int exitStatus;  // -1 when the process did not exit normally (a signal); 127 when not found
  std::string out;
  std::string err;
  // framepick's own peak: from runFramepick with no launcher, wrapper or AddressSanitizer.
  std::optional<long> maxResidentKilobytes;
};

// Runs a program with no standard input and its standard output and error captured.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory = {});

// Runs this build's framepick after `launcher` (prlimit, say), through FRAMEPICK_TEST_WRAPPER's
// command when set (valgrind, say); fails the test on a report the schema refuses, or stderr.
ProcessResult runFramepick(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory = {},
                           const std::vector<std::string>& launcher = {});

// A video made by the ffmpeg CLI from these words (output path appended), once per test process.
std::filesystem::path fixtureVideo(const std::string& fileName, const std::string& ffmpegWords);

// A clip whose frames carry their number: twelve bands across the top half, white for a set bit,
// least significant at the left, over a grey bottom half.
std::filesystem::path numberedClip(const std::string& fileName, int width, int height, int rate,
                                   double seconds, const std::string& encoderWords);

// Numbered clips several tests take: 6 s at 10 fps, a keyframe each second, non-reference
// B-frames between; MPEG-PS without an index, with a DVD's short open GOPs or one keyframe in all;
// intra refresh, whose keyframes after the first only start a picture building up.
std::filesystem::path bFramesClip();
std::filesystem::path dvdClip();
std::filesystem::path oneKeyframeClip();
std::filesystem::path intraRefreshClip();

std::filesystem::path writeBeside(const std::filesystem::path& beside, const std::string& fileName,
                                  const std::string& bytes);

// A copy of an AVI file without its index, named "unindexed-" and the file's name.
std::filesystem::path withoutAviIndex(const std::filesystem::path& avi);

// An MP4 box: a 32-bit big-endian size that counts its own header, then the type.
std::string bigEndian32(uint32_t value);
std::string mp4Box(const std::string& type, const std::string& content);

// Copies of MP4 files (index after the samples, as ffmpeg writes them) whose first track has a
// display matrix of whole numbers a, b, c, d (FFmpeg 7 no longer turns a "rotate" tag into one,
// and none writes mirrors), or a sync-sample table of these samples (counted from 1).
std::filesystem::path withDisplayMatrix(const std::filesystem::path& mp4,
                                        const std::string& fileName, int a, int b, int c, int d);
std::filesystem::path withSyncSamples(const std::filesystem::path& mp4, const std::string& fileName,
                                      const std::vector<uint32_t>& samples);

// A fragmented MP4's header and its fragments from `first` (from 0) on: a live stream joined late.
std::filesystem::path withFragmentsFrom(const std::filesystem::path& mp4,
                                        const std::string& fileName, int first);

// `durationSeconds` showing media from `mediaSeconds` past its first frame (-1: none) at `rate`.
struct EditEntry {
  double durationSeconds;
  double mediaSeconds;
  int rate;
};

std::filesystem::path withEditList(const std::filesystem::path& mp4, const std::string& fileName,
                                   const std::vector<EditEntry>& edits);

// A JPEG file decoded to RGB; an empty image when it cannot be.
Image decodeJpegFile(const std::filesystem::path& path);

inline std::string sizeOf(const Image& image) {
  return std::to_string(image.width) + "x" + std::to_string(image.height);
}

// A run's report and the stills it lists, each checked against the size the report gives it.
struct Stills {
  ProcessResult result;
  nlohmann::json report;
  std::vector<Image> images;
};
Stills captureStills(const std::filesystem::path& video, const std::vector<std::string>& options);

// Where a point of the coded picture, in fractions of its width and height, shows in the still.
using Turn = std::pair<double, double> (*)(double u, double v);
inline std::pair<double, double> asCoded(double u, double v) { return {u, v}; }

// A numberedClip frame's number, read where `turn` puts its bands; -1 where its grey half is not.
int readFrameNumber(const Image& image, Turn turn = asCoded);

}  // namespace framepick::testing
