#pragma once

// The media layer: everything that reads video goes through these calls. Handles stay opaque;
// plain records carry values out.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "error.h"
#include "files/image.h"

namespace framepick {

struct Size {
  double width;
  double height;
};

// The linear part of a track's display transform: (x, y) -> (a·x + c·y, b·x + d·y), in picture
// coordinates with y pointing down. Stills are turned by its nearest quarter turn (quarterTurnOf).
struct AffineTransform {
  double a;
  double b;
  double c;
  double d;
};

inline constexpr AffineTransform kIdentityTransform{1, 0, 0, 1};

struct VideoTrack {
  Size naturalSize;  // coded size with the sample aspect ratio applied, before the transform
  AffineTransform preferredTransform;
};

struct CapturedImage {
  Image image;
  double actualSeconds;  // presentation time of the frame shown, on the requested time's clock
};

// How much work the generator did; lets tests and the benchmark see seeks taken or skipped.
struct DecodeCounters {
  int64_t seeks = 0;
  int64_t packetsRead = 0;
  int64_t framesDecoded = 0;
  double convertingSeconds = 0;  // spent turning chosen frames into upright RGB stills
};

struct Asset;
struct AssetDeleter {
  void operator()(Asset* asset) const;
};
using AssetHandle = std::unique_ptr<Asset, AssetDeleter>;

struct FrameGenerator;
struct FrameGeneratorDeleter {
  void operator()(FrameGenerator* generator) const;
};
using FrameGeneratorHandle = std::unique_ptr<FrameGenerator, FrameGeneratorDeleter>;

// FFmpeg logs to standard error by default; the report is our only output.
void silenceMediaLog();

// Opens the file for reading without reading any of it, so that the process can be confined
// before a byte of it is parsed. Never fails by itself: a file that cannot be read has no
// duration and no video tracks.
AssetHandle openAsset(const std::filesystem::path& location);

// Reads the container's header and probes its streams, from the open file alone.
void loadAsset(Asset& asset);

// Seconds from the start of the presentation to its end; NaN when the file has no known duration.
double assetDurationSeconds(const Asset& asset);

// Video streams in file order; cover art is not a video track.
std::vector<VideoTrack> videoTracks(const Asset& asset);

// The size of the upright picture that the track's stills are scaled down from: its natural size
// turned by the transform's nearest quarter turn, as the stills are. A matrix that also scales or
// skews turns the stills and never stretches them, so it does not stretch this size either.
Size uprightSize(const VideoTrack& track);

// Images come out upright and within maximumDimension on both sides. The asset must outlive the
// generator. Setting up cannot fail: a video that cannot be decoded fails each capture instead.
FrameGeneratorHandle makeFrameGenerator(Asset& asset, int64_t maximumDimension);

// A frame found on screen, held apart from its decoder: it can be made into a still on another
// thread while the decoder moves on. It must be released before its generator.
struct ShownFrame;
struct ShownFrameDeleter {
  void operator()(ShownFrame* shown) const;
};
using ShownFrameHandle = std::unique_ptr<ShownFrame, ShownFrameDeleter>;

// The frame on screen at the requested time, or a readable description of why there is none.
Result<ShownFrameHandle> findFrameAtTime(FrameGenerator& generator, double requestedSeconds);

// The frame as an upright still. Safe beside the same generator's findFrameAtTime on another
// thread, one still at a time.
Result<CapturedImage> makeStill(FrameGenerator& generator, const ShownFrame& shown);

// Both in turn.
Result<CapturedImage> copyImageAtTime(FrameGenerator& generator, double requestedSeconds);

DecodeCounters decodeCounters(const FrameGenerator& generator);

// Where decoding can start, from the file's keyframe index, on the presentation's clock; empty
// when the index is not trusted to say so (MPEG-PS and -TS) or there is none.
std::vector<double> keyframeSeconds(const FrameGenerator& generator);

// What capturing in parallel may use: the cores, and the decoders whose pictures the memory
// budget holds at this video's size.
struct ParallelRoom {
  int cores;
  int decoders;
};
ParallelRoom parallelRoom(const FrameGenerator& generator);

// Another generator of the same video, with a reading of the file and a decoder of its own (of
// `decoderThreads` threads), for use on another thread. It shares the first's memory budget and
// the time all samples may take. Null when the file cannot be read again as the probe read it.
FrameGeneratorHandle makeSiblingGenerator(FrameGenerator& first, int decoderThreads);

}  // namespace framepick
