#pragma once

// What FFmpeg's fields mean where they are read in more than one place, one name each.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <cstring>

namespace framepick {

// Where a packet starts: its presentation time, else its decode time (AV_NOPTS_VALUE if neither).
inline int64_t packetStart(const AVPacket& packet) {
  return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
}

// When a frame is shown: the decoder's best guess, else its own stamp.
inline int64_t framePts(const AVFrame& frame) {
  return frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
}

// The stream's first timestamp, or `fallback` where the stream states none.
inline int64_t streamStartOr(const AVStream& stream, int64_t fallback) {
  return stream.start_time != AV_NOPTS_VALUE ? stream.start_time : fallback;
}

// Whether the file was opened by the demuxer of that name: "mov" for MP4/MOV, "matroska" for
// Matroska and WebM (a demuxer's name lists every format it reads).
inline bool isReadBy(const AVFormatContext& format, const char* demuxer) {
  return std::strstr(format.iformat->name, demuxer) != nullptr;
}

// Whether the file is read as a sequence of packs whose timestamps may jump (MPEG-PS and -TS):
// a search on timestamps can land a GOP late, and the keyframe index says where searches
// passed, not where decoding can start.
inline bool isReadAsPacks(const AVFormatContext& format) {
  return (format.iformat->flags & AVFMT_TS_DISCONT) != 0;
}

}  // namespace framepick
