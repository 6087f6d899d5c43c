// How long the presentation lasts: from the container's header, the streams' ends, or packets.

#include <algorithm>
#include <cmath>
#include <limits>

#include "media/asset.h"
#include "media/ffmpeg_facts.h"

namespace framepick {
namespace {

constexpr double kUnknownSeconds = std::numeric_limits<double>::quiet_NaN();

// FFmpeg only guesses a duration from the bit rate when the container states none (raw streams,
// piped files). A guess is not a duration: measure it from the packets' own timestamps.
double durationFromPackets(Asset& asset) {
  AVFormatContext* format = asset.demuxer->format.get();
  asset.readPositionAtStart = false;
  const UniquePacket packet(av_packet_alloc());
  if (!packet) return kUnknownSeconds;
  double firstSeconds = std::numeric_limits<double>::infinity();
  double endSeconds = -std::numeric_limits<double>::infinity();
  while (true) {
    const int status = av_read_frame(format, packet.get());
    if (status == AVERROR_EXIT) return kUnknownSeconds;  // out of time: better no answer than half
    if (status < 0) break;
    const PacketReference unref(packet.get());
    const int64_t pts = packetStart(*packet);
    if (pts == AV_NOPTS_VALUE) continue;
    const double timeBase = av_q2d(format->streams[packet->stream_index]->time_base);
    // In double: a timestamp near the 64-bit limit plus a duration must not overflow.
    const double ptsSeconds = static_cast<double>(pts) * timeBase;
    firstSeconds = std::min(firstSeconds, ptsSeconds);
    endSeconds = std::max(
        endSeconds,
        ptsSeconds + static_cast<double>(std::max<int64_t>(packet->duration, 0)) * timeBase);
  }
  if (!(endSeconds > firstSeconds)) return kUnknownSeconds;
  const double startSeconds = format->start_time != AV_NOPTS_VALUE
                                  ? format->start_time / double(AV_TIME_BASE)
                                  : firstSeconds;
  return endSeconds - startSeconds;
}

// The container states its duration in microseconds, rounded from the streams' ends in their own
// time bases (600ths of a second in a MOV, 90000ths in MPEG-TS). Where those ends give the same
// duration to within that rounding, theirs is the exact one; NaN where they do not.
double durationFromStreamEnds(const AVFormatContext& format) {
  // In long double: its 64-bit mantissa holds any tick count, and the sum of two, exactly.
  long double start = std::numeric_limits<long double>::infinity();
  long double end = -start;
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    const AVStream& stream = *format.streams[i];
    const AVRational timeBase = stream.time_base;
    if (stream.start_time == AV_NOPTS_VALUE || timeBase.num <= 0 || timeBase.den <= 0) continue;
    const long double ticks = stream.start_time;
    start = std::min(start, ticks * timeBase.num / timeBase.den);
    if (stream.duration == AV_NOPTS_VALUE || stream.duration <= 0) continue;
    end = std::max(end, (ticks + stream.duration) * timeBase.num / timeBase.den);
  }
  if (!(end > start)) return kUnknownSeconds;
  const double exact = static_cast<double>(end - start);
  // FFmpeg rounds a start and a length, or a stated duration, to the microsecond.
  constexpr double kRoundingSeconds = 1.5e-6;
  return std::fabs(exact - format.duration / double(AV_TIME_BASE)) <= kRoundingSeconds
             ? exact
             : kUnknownSeconds;
}

}  // namespace

void measureFromFirstFragment(AVFormatContext& format) {
  int64_t start = INT64_MAX;
  int64_t end = INT64_MIN;
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    AVStream& stream = *format.streams[i];
    if (stream.start_time == AV_NOPTS_VALUE || stream.duration == AV_NOPTS_VALUE) continue;
    const AVIndexEntry* first = avformat_index_get_entry(&stream, 0);
    if (first != nullptr && first->timestamp > 0 && stream.duration >= first->timestamp) {
      stream.duration -= first->timestamp;
    }
    start = std::min(start, av_rescale_q(stream.start_time, stream.time_base, AV_TIME_BASE_Q));
    end = std::max(
        end, av_rescale_q(stream.start_time + stream.duration, stream.time_base, AV_TIME_BASE_Q));
  }
  if (end > start) format.duration = end - start;
}

double presentationDuration(Asset& asset) {
  const AVFormatContext& format = *asset.demuxer->format;
  if (format.duration == AV_NOPTS_VALUE ||
      format.duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
    return durationFromPackets(asset);
  }
  const double exact = durationFromStreamEnds(format);
  return std::isnan(exact) ? format.duration / double(AV_TIME_BASE) : exact;
}

}  // namespace framepick
