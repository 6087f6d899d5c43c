#pragma once

// FFmpeg handles and the asset record shared by the media layer's own files. Nothing outside the
// media layer includes this.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "extract/media.h"
#include "extract/unique_fd.h"

namespace framepick {

struct FormatContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using UniqueFormatContext = std::unique_ptr<AVFormatContext, FormatContextDeleter>;

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using UniqueCodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using UniqueFrame = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using UniquePacket = std::unique_ptr<AVPacket, PacketDeleter>;

// The context of a read callback: its buffer is FFmpeg's to grow, so it is freed from the context.
struct IoContextDeleter {
  void operator()(AVIOContext* context) const {
    av_freep(&context->buffer);
    avio_context_free(&context);
  }
};
using UniqueIoContext = std::unique_ptr<AVIOContext, IoContextDeleter>;

struct SwsContextDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
using UniqueSwsContext = std::unique_ptr<SwsContext, SwsContextDeleter>;

// Unrefs a packet when an iteration of a read loop ends, whichever way it ends.
class PacketReference {
 public:
  explicit PacketReference(AVPacket* packet) : packet_(packet) {}
  ~PacketReference() { av_packet_unref(packet_); }
  PacketReference(const PacketReference&) = delete;
  PacketReference& operator=(const PacketReference&) = delete;

 private:
  AVPacket* packet_;
};

inline constexpr int kAvSuccess = 0;

// Pictures above 8K are refused before a decoder allocates them, in the probe and in captures.
inline constexpr int64_t kMaxPictureWidth = 8192;
inline constexpr int64_t kMaxPictureHeight = 4352;
inline constexpr int64_t kMaxPixels = kMaxPictureWidth * kMaxPictureHeight;

inline constexpr const char* kOutOfMemoryText = "memory ran out";

// av_strerror's text for an FFmpeg error code, but for exhausted memory, which it names plainly.
std::string errorText(int code);

using Clock = std::chrono::steady_clock;

struct Asset {
  // Declared in the order they are made: each is closed before what it reads from.
  UniqueFd file;               // none when the input is not a regular file that can be read
  std::string location;        // the input's path, for its extension only
  UniqueIoContext input;       // reads `file` for the demuxer, which never sees a path
  UniqueFormatContext format;  // null when the file could not be opened as media
  double durationSeconds;      // NaN when unknown
  bool readPositionAtStart;    // false once packets have been read past the probe
  // Every blocking FFmpeg call on this asset gives up once this passes (interrupt callback).
  Clock::time_point deadline;
  int decoderThreads;  // learnt before the process is confined, which hides /sys
  // The size each stream's header states, before probing; a picture above the cap leaves the
  // decoded size at 0x0.
  std::vector<std::pair<int, int>> statedSizes;
  // An MP4/MOV edit list that starts with an empty edit delays the video on the movie's
  // timeline, whose time zero is then the presentation's.
  bool movieTimelineStartsAtZero = false;
};

// The presentation's time zero in a stream's time base: the movie's zero where an empty edit
// delays the video, else the earliest start of all streams.
int64_t presentationStartPts(const Asset& asset, const AVStream& stream);

// Reads `count` bytes at `offset` of a file; false when it cannot.
using ReadAt = std::function<bool(int64_t offset, unsigned char* bytes, int count)>;

// Whether any track of an MP4/MOV file has an edit list whose first edit is empty (media time
// -1). Reads box headers only; anything malformed reads as no.
bool hasLeadingEmptyEdit(int64_t fileSize, const ReadAt& readAt);

// Video streams that are tracks: cover art and other attached pictures are not.
bool isVideoTrack(const AVStream& stream);

AffineTransform displayTransform(const AVStream& stream);

// The stream's coded size: as decoded when the probe could decode it, else as its header states.
Size codedSize(const Asset& asset, const AVStream& stream);

}  // namespace framepick
