#include "gop_minimum.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <memory>
#include <set>

namespace framepick::bench {
namespace {

struct PacketFacts {
  int64_t pts;
  bool key;
};

}  // namespace

int64_t gopForcedFrames(const std::filesystem::path& video, const std::vector<double>& seconds) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, video.c_str(), nullptr, nullptr) < 0) return -1;
  const std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> format(
      raw, [](AVFormatContext* context) { avformat_close_input(&context); });
  if (avformat_find_stream_info(raw, nullptr) < 0) return -1;
  const int index = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) return -1;
  const AVStream* stream = raw->streams[index];
  const int64_t zero = raw->start_time == AV_NOPTS_VALUE
                           ? 0
                           : av_rescale_q(raw->start_time, AV_TIME_BASE_Q, stream->time_base);

  std::vector<PacketFacts> packets;  // decode order
  const std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(
      av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
  while (av_read_frame(raw, packet.get()) >= 0) {
    if (packet->stream_index == index && packet->pts != AV_NOPTS_VALUE) {
      packets.push_back({packet->pts - zero, (packet->flags & AV_PKT_FLAG_KEY) != 0});
    }
    av_packet_unref(packet.get());
  }

  std::set<size_t> needed;
  for (const double target : seconds) {
    // The frame on screen: the latest presentation time at or before the target.
    size_t shown = packets.size();
    for (size_t i = 0; i < packets.size(); ++i) {
      const double at = av_q2d(stream->time_base) * static_cast<double>(packets[i].pts);
      if (at <= target + 1e-6 && (shown == packets.size() || packets[i].pts > packets[shown].pts)) {
        shown = i;
      }
    }
    if (shown == packets.size()) continue;
    size_t key = shown;
    while (key > 0 && !packets[key].key) --key;
    for (size_t i = key; i <= shown; ++i) needed.insert(i);
  }
  return static_cast<int64_t>(needed.size());
}

}  // namespace framepick::bench
