#pragma once

// One owner per FFmpeg handle.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <vector>

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

// A buffer from av_malloc that nothing has taken over yet.
struct BufferDeleter {
  void operator()(unsigned char* buffer) const { av_free(buffer); }
};
using UniqueBuffer = std::unique_ptr<unsigned char, BufferDeleter>;

struct DictionaryDeleter {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
using UniqueDictionary = std::unique_ptr<AVDictionary, DictionaryDeleter>;

// One option dictionary per stream, as avformat_find_stream_info takes them: opening each
// stream's decoder swaps its dictionary for the options left over, freed with the rest.
struct StreamOptions {
  explicit StreamOptions(size_t streams) : each(streams, nullptr) {}
  ~StreamOptions() {
    for (AVDictionary*& options : each) av_dict_free(&options);
  }
  StreamOptions(const StreamOptions&) = delete;
  StreamOptions& operator=(const StreamOptions&) = delete;
  std::vector<AVDictionary*> each;
};

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

}  // namespace framepick
