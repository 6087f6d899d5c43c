#pragma once

// The few FFmpeg fields that moved between the releases framepick builds with (5.1 to 9.0),
// behind one name each. Every branch is chosen by the library's own version macro.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

#include <cstddef>
#include <cstdint>

namespace framepick {

inline bool isInterlaced(const AVFrame& frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
  return (frame.flags & AV_FRAME_FLAG_INTERLACED) != 0;  // FFmpeg 6.1; 8.0 removed the field
#else
  return frame.interlaced_frame != 0;
#endif
}

inline bool topFieldFirst(const AVFrame& frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
  return (frame.flags & AV_FRAME_FLAG_TOP_FIELD_FIRST) != 0;  // FFmpeg 6.1; 8.0 removed the field
#else
  return frame.top_field_first != 0;
#endif
}

// Whether the decoder made the frame where decoding may start (an IRAP picture in HEVC).
inline bool isKeyFrame(const AVFrame& frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
  return (frame.flags & AV_FRAME_FLAG_KEY) != 0;  // FFmpeg 6.1; 8.0 removed key_frame
#else
  return frame.key_frame != 0;
#endif
}

// The stream's side data of one type, or null.
inline const uint8_t* streamSideData(const AVStream& stream, AVPacketSideDataType type,
                                     size_t* size) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 30, 100)
  // FFmpeg 6.1 moved it into the codec parameters; 9.0 removed av_stream_get_side_data.
  const AVCodecParameters& parameters = *stream.codecpar;
  const AVPacketSideData* entry =
      av_packet_side_data_get(parameters.coded_side_data, parameters.nb_coded_side_data, type);
  if (entry == nullptr) return nullptr;
  *size = entry->size;
  return entry->data;
#else
  return av_stream_get_side_data(&stream, type, size);
#endif
}

// Note [damage] tags a frame through its packet: the decoder copies the tag to the frame it makes
// from that packet, whatever order frames come out in.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(59, 63, 100)
// FFmpeg 6.0 lets decoders copy a packet's opaque to its frame; 7.0 removed reordered_opaque.
inline void prepareFrameTags(AVCodecContext& decoder) {
  decoder.flags |= AV_CODEC_FLAG_COPY_OPAQUE;
}
inline void tagFrame(AVCodecContext&, AVPacket& packet, int64_t tag) {
  packet.opaque = reinterpret_cast<void*>(static_cast<intptr_t>(tag));
}
inline int64_t frameTag(const AVFrame& frame) {
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(frame.opaque));
}
#else
inline void prepareFrameTags(AVCodecContext&) {}
inline void tagFrame(AVCodecContext& decoder, AVPacket&, int64_t tag) {
  decoder.reordered_opaque = tag;
}
inline int64_t frameTag(const AVFrame& frame) { return frame.reordered_opaque; }
#endif

}  // namespace framepick
