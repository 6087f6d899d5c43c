#pragma once

// The asset record and the calls on it shared by the media layer's own files. Nothing outside the
// media layer includes this.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "files/unique_fd.h"
#include "media/handles.h"
#include "media/media.h"

namespace framepick {

// Pictures above 8K are refused before a decoder allocates them, in the probe and in captures.
inline constexpr int64_t kMaxPictureWidth = 8192;
inline constexpr int64_t kMaxPictureHeight = 4352;
inline constexpr int64_t kMaxPixels = kMaxPictureWidth * kMaxPictureHeight;

// Opening the file may take this long; each capture the same, and all captures together the
// longer budget.
inline constexpr auto kOpenBudget = std::chrono::seconds(20);
inline constexpr auto kCaptureBudget = std::chrono::seconds(20);
inline constexpr auto kAllCapturesBudget = std::chrono::seconds(60);

// One reading of the input file: a read position of its own on the asset's descriptor, and a
// deadline that every blocking FFmpeg call on it honours. Whoever reads packets sets it.
struct Demuxer {
  int fd;
  int64_t fileBytes;  // as the file was when opened: the confined process cannot stat it
  int64_t position = 0;
  Clock::time_point deadline;
  UniqueIoContext input;       // reads `fd` for the demuxer, which never sees a path
  UniqueFormatContext format;  // null when the file could not be opened as media
};

// One entry of an MP4/MOV edit list, in seconds: the presentation's time [start, start +
// duration) shows the track's media from mediaSeconds on (none for an empty edit, -1) at `rate`
// (0 holds the frame there).
struct Edit {
  double startSeconds;
  double durationSeconds;
  double mediaSeconds;
  double rate;
};

struct Asset {
  // Declared in the order they are made: each is closed before what it reads from.
  UniqueFd file;  // none when the input is not a regular file that can be read
  int64_t fileBytes = 0;
  std::string location;  // the input's path, for its extension only
  std::unique_ptr<Demuxer> demuxer;
  int videoStream = -1;      // index of the first video track, -1 when there is none
  double durationSeconds;    // NaN when unknown
  bool readPositionAtStart;  // false once packets have been read past the probe
  int cores;                 // learnt before the process is confined, which hides /sys
  int decoderThreads;        // for a decoder that has the cores to itself
  // The size each stream's header states, before probing; a picture above the cap leaves the
  // decoded size at 0x0.
  std::vector<std::pair<int, int>> statedSizes;
  // An MP4/MOV edit list that starts with an empty edit delays the video on the movie's
  // timeline, whose time zero is then the presentation's.
  bool movieTimelineStartsAtZero = false;
  int64_t videoEditLeadTicks = 0;  // editLeadTicks of the video track
  // Where FFmpeg does not play it right, the video's edit list, applied by framepick to the
  // track's media timestamps (FFmpeg is told to ignore it).
  std::vector<Edit> edits;
};

// A reading of the asset's file, ready for packets (avformat_open_input done, no stream
// probing); its format is null when the file cannot be opened as media. Throws std::bad_alloc.
std::unique_ptr<Demuxer> openDemuxer(const Asset& asset, Clock::time_point deadline);

// Seconds from the start of the presentation to its end, NaN when unknown (duration.cpp). Where
// the container states none, or only FFmpeg's guess from the bit rate, reads every packet.
double presentationDuration(Asset& asset);

// FFmpeg's mov demuxer gives the streams of a fragmented file the decode time where their last
// fragment ends as their duration. Where the first fragment starts late (DASH segments whose
// decode time starts at 10 s), the streams last that much less, and so does the presentation.
void measureFromFirstFragment(AVFormatContext& format);

// The presentation's time zero in a stream's time base: the movie's zero where an empty edit
// delays the video, else the earliest start of all streams.
int64_t presentationStartPts(const Asset& asset, const AVStream& stream);

// Reads `count` bytes at `offset` of a file; false when it cannot.
using ReadAt = std::function<bool(int64_t offset, unsigned char* bytes, int count)>;

// Whether any track of an MP4/MOV file has an edit list whose first edit is empty (media time
// -1). Reads box headers only; anything malformed reads as no.
bool hasLeadingEmptyEdit(int64_t fileSize, const ReadAt& readAt);

// The edit list of the first video track where FFmpeg's mov demuxer does not play it as ISO
// 14496-12 defines it: more than one edit after a leading empty one, an empty edit later on, or
// a rate other than 1. Empty otherwise, and where the boxes are malformed.
std::vector<Edit> editTimeline(int64_t fileSize, const ReadAt& readAt);

// How much later than FFmpeg's mov demuxer puts them the frames of a track stand on the
// presentation's clock, in the track's time base. An edit list of one edit that starts between
// two frames (what every stream-copy cut writes) shows, at time zero, the frame before the edit's
// media time, and the next one later by the rest of its duration; FFmpeg drops the first and
// moves the next to time zero. 0 where the track has no such edit, or its tables are malformed.
int64_t editLeadTicks(int64_t fileSize, const ReadAt& readAt, uint32_t trackId);

// Whether an MP4/MOV file announces movie fragments (an mvex box in its moov). Anything
// malformed reads as no.
bool isFragmented(int64_t fileSize, const ReadAt& readAt);

// Video streams that are tracks: cover art and other attached pictures are not.
bool isVideoTrack(const AVStream& stream);

AffineTransform displayTransform(const AVStream& stream);

// The transform's nearest quarter turn with the same mirroring: every entry -1, 0 or 1, and
// exactly one of a, b non-zero (a scaled or skewed matrix, a 45-degree turn, snap to it).
AffineTransform quarterTurnOf(AffineTransform transform);

// The width a picture is shown at: its coded width stretched by the sample aspect ratio.
double displayWidth(double codedWidth, AVRational sampleAspectRatio);

// The stream's coded size: as decoded when the probe could decode it, else as its header states.
Size codedSize(const Asset& asset, const AVStream& stream);

}  // namespace framepick
