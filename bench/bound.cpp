// The bound framepick's speed is measured against: the fastest a plain single-decoder tool could
// take the same samples. One reading of the file and one decoder take them in time order, seek
// only across keyframes and skip frames nothing refers to until the target is near; each still is
// made and written by framepick's own code, so that the two differ only in how they decode.
// Usage: framepick_bound --input FILE --output-dir DIR --threads N [--max-dimension 1600]
//        SECONDS...

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "files/frame_file.h"
#include "media/asset.h"
#include "media/ffmpeg_facts.h"
#include "media/handles.h"
#include "media/picture.h"
#include "media/stream_clock.h"

namespace {

using namespace framepick;

// Packets this many frame durations or more before the target go in with the frames that nothing
// refers to skipped; nearer ones are all decoded, since a B-frame sent there may be the one shown.
constexpr int64_t kDecodeAllFrames = 2;

struct Arguments {
  std::string input;
  std::filesystem::path outputDir;
  int threads = 0;
  int64_t maximumDimension = 1600;
  std::vector<double> seconds;  // in the order framepick numbers its samples
};

std::optional<Arguments> readArguments(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (name.starts_with("--") && value == nullptr) return std::nullopt;
    if (name == "--input") {
      arguments.input = argv[++i];
    } else if (name == "--output-dir") {
      arguments.outputDir = argv[++i];
    } else if (name == "--threads") {
      arguments.threads = std::atoi(argv[++i]);
    } else if (name == "--max-dimension") {
      arguments.maximumDimension = std::atoll(argv[++i]);
    } else {
      char* end = nullptr;
      arguments.seconds.push_back(std::strtod(name.c_str(), &end));
      if (name.empty() || *end != '\0') return std::nullopt;
    }
  }
  if (arguments.input.empty() || arguments.outputDir.empty() || arguments.threads < 1 ||
      arguments.maximumDimension < 1 || arguments.seconds.empty()) {
    return std::nullopt;
  }
  return arguments;
}

struct Reader {
  UniqueFormatContext format;
  AVStream* stream = nullptr;
  UniqueCodecContext decoder;
  StreamClock clock{};
  int64_t frameTicks = 0;  // one frame's duration in the stream's time base, 0 when unknown
  UniquePacket packet{av_packet_alloc()};
  int64_t readDts = INT64_MIN;  // the decode time of the last packet read: where the reading is
  int64_t landedPts = AV_NOPTS_VALUE;  // the first packet read after the last seek
  UniqueFrame held{av_frame_alloc()};  // the latest frame at or before the last target
  UniqueFrame next{av_frame_alloc()};  // the frame after it, decoded already
  bool decoderEnded = false;
  int64_t buildUpTicks = 0;  // how long after a keyframe its picture was first shown, at most
};

bool has(const UniqueFrame& frame) { return frame->buf[0] != nullptr; }

bool openReader(Reader& reader, const std::string& path, int threads) {
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return false;
  reader.format.reset(format);
  if (avformat_find_stream_info(format, nullptr) < 0) return false;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    AVStream* stream = format->streams[i];
    const bool track = stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                       (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0;
    if (track && reader.stream == nullptr) {
      reader.stream = stream;
    } else {
      stream->discard = AVDISCARD_ALL;
    }
  }
  if (reader.stream == nullptr) return false;
  const AVStream& stream = *reader.stream;
  const AVCodec* codec = avcodec_find_decoder(stream.codecpar->codec_id);
  if (codec == nullptr) return false;
  reader.decoder.reset(avcodec_alloc_context3(codec));
  AVCodecContext& decoder = *reader.decoder;
  if (avcodec_parameters_to_context(&decoder, stream.codecpar) < 0) return false;
  decoder.pkt_timebase = stream.time_base;
  decoder.thread_count = threads;
  decoder.thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (avcodec_open2(&decoder, codec, nullptr) < 0) return false;

  reader.clock = {stream.time_base, streamStartOr(stream, 0)};
  const AVRational rate = av_guess_frame_rate(format, reader.stream, nullptr);
  if (rate.num > 0 && rate.den > 0) {
    reader.frameTicks = av_rescale_q(1, av_inv_q(rate), stream.time_base);
  }
  // Matroska reads its keyframe index only at the first seek.
  if (avformat_index_get_entries_count(reader.stream) < 2) {
    avformat_seek_file(format, stream.index, INT64_MIN, INT64_MIN, INT64_MIN, 0);
  }
  // The reading stands at the first keyframe, which no seek need reach.
  const AVIndexEntry* first = avformat_index_get_entry(reader.stream, 0);
  if (first != nullptr) reader.readDts = first->timestamp;
  return true;
}

// The index's last keyframe at or before `pts`, at the time the index gives it (MP4's index gives
// decode times, which is what it is compared with).
std::optional<int64_t> keyframeAtOrBefore(AVStream& stream, int64_t pts) {
  const int entry = av_index_search_timestamp(&stream, pts, AVSEEK_FLAG_BACKWARD);
  if (entry < 0) return std::nullopt;
  return avformat_index_get_entry(&stream, entry)->timestamp;
}

// To the keyframe at or before `pts` as the demuxer finds it, else to the start of the file.
bool seekTo(Reader& reader, int64_t pts) {
  AVFormatContext* format = reader.format.get();
  const int index = reader.stream->index;
  if (av_seek_frame(format, index, pts, AVSEEK_FLAG_BACKWARD) < 0 &&
      avformat_seek_file(format, index, INT64_MIN, INT64_MIN, INT64_MIN, 0) < 0) {
    return false;
  }
  avcodec_flush_buffers(reader.decoder.get());
  av_frame_unref(reader.held.get());
  av_frame_unref(reader.next.get());
  reader.readDts = INT64_MIN;
  reader.landedPts = AV_NOPTS_VALUE;
  reader.decoderEnded = false;
  return true;
}

// Decodes the next frame into reader.next; false on a failure to read or decode.
bool decodeNext(Reader& reader, int64_t targetPts) {
  AVCodecContext* decoder = reader.decoder.get();
  for (;;) {
    const int received = avcodec_receive_frame(decoder, reader.next.get());
    if (received == 0 && framePts(*reader.next) != AV_NOPTS_VALUE) return true;
    if (received == 0) {
      av_frame_unref(reader.next.get());  // a frame with no time cannot be placed
      continue;
    }
    if (received == AVERROR_EOF) {
      reader.decoderEnded = true;
      return true;
    }
    if (received != AVERROR(EAGAIN)) return false;
    AVPacket* packet = reader.packet.get();
    const int read = av_read_frame(reader.format.get(), packet);
    if (read == AVERROR_EOF) {
      avcodec_send_packet(decoder, nullptr);  // drains the frames the decoder still holds
      continue;
    }
    if (read < 0) return false;
    const PacketReference unref(packet);
    if (packet->stream_index != reader.stream->index) continue;
    reader.readDts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (reader.landedPts == AV_NOPTS_VALUE) reader.landedPts = packetStart(*packet);
    const int64_t start = packetStart(*packet);
    const bool farBefore = start != AV_NOPTS_VALUE && reader.frameTicks > 0 &&
                           start < targetPts - kDecodeAllFrames * reader.frameTicks;
    decoder->skip_frame = farBefore ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    // A damaged packet still leaves the frames around it to decode.
    const int sent = avcodec_send_packet(decoder, packet);
    if (sent < 0 && sent != AVERROR_INVALIDDATA) return false;
  }
}

// Decodes on to the frame on screen at `seconds`: the latest at or before it, else (before the
// first frame) the first. Null when decoding fails or there is no frame at all.
const AVFrame* decodeTo(Reader& reader, double seconds) {
  const int64_t targetPts = reader.clock.ptsOf(seconds);
  for (;;) {
    if (has(reader.next)) {
      if (reader.clock.secondsOf(framePts(*reader.next)) > seconds + kSameInstantSeconds) break;
      std::swap(reader.held, reader.next);
      av_frame_unref(reader.next.get());
    } else if (reader.decoderEnded) {
      break;
    } else if (!decodeNext(reader, targetPts)) {
      return nullptr;
    }
  }
  if (has(reader.held)) return reader.held.get();
  return has(reader.next) ? reader.next.get() : nullptr;
}

// Seeks only where the keyframe to start from lies beyond what was read. A keyframe may be only
// where a picture starts to build up (intra refresh), and the decoder shows nothing until it is
// whole: when the first frame out is past the target, the seek goes back by as long as the
// picture took to build up, and later seeks start that far before their targets at once.
const AVFrame* frameOnScreen(Reader& reader, double seconds) {
  const int64_t targetPts = reader.clock.ptsOf(seconds);
  int64_t seekPts = targetPts - reader.buildUpTicks;
  const std::optional<int64_t> keyframe = keyframeAtOrBefore(*reader.stream, seekPts);
  if (reader.decoderEnded || !keyframe || *keyframe <= reader.readDts) {
    return decodeTo(reader, seconds);
  }
  for (int64_t landedBefore = INT64_MAX;;) {
    if (!seekTo(reader, seekPts)) return nullptr;
    const AVFrame* shown = decodeTo(reader, seconds);
    const int64_t landed = reader.landedPts;
    // Landed at the start (or nowhere earlier): a target before the first frame shows the first.
    if (shown != reader.next.get() || landed == AV_NOPTS_VALUE || landed <= reader.clock.startPts ||
        landed >= landedBefore) {
      return shown;
    }
    reader.buildUpTicks = std::max(reader.buildUpTicks, framePts(*shown) - landed);
    seekPts = std::min(landed - 1, targetPts - reader.buildUpTicks);
    landedBefore = landed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_QUIET);
  const std::optional<Arguments> arguments = readArguments(argc, argv);
  if (!arguments) {
    std::fprintf(stderr,
                 "usage: framepick_bound --input FILE --output-dir DIR --threads N "
                 "[--max-dimension 1600] SECONDS...\n");
    return 2;
  }
  Reader reader;
  if (!openReader(reader, arguments->input, arguments->threads)) return 1;
  std::error_code error;
  std::filesystem::create_directories(arguments->outputDir, error);
  if (error) return 1;
  const AffineTransform transform = displayTransform(*reader.stream);
  UniqueSwsContext scaler;

  const std::vector<double>& seconds = arguments->seconds;
  std::vector<size_t> order(seconds.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t left, size_t right) { return seconds[left] < seconds[right]; });
  for (const size_t position : order) {
    const AVFrame* shown = frameOnScreen(reader, seconds[position]);
    if (shown == nullptr) return 1;
    const AVRational aspect =
        av_guess_sample_aspect_ratio(nullptr, reader.stream, const_cast<AVFrame*>(shown));
    const Result<Image> image =
        renderPicture(*shown, aspect, transform, arguments->maximumDimension, scaler);
    if (!image.ok()) return 1;
    const auto index = static_cast<int64_t>(position + 1);
    if (!writeFrameFile(image.value(), index, arguments->outputDir).ok()) return 1;
  }
  return 0;
}
