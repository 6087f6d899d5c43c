#include "media/asset.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "media/compat.h"

namespace framepick {
namespace {

constexpr double kUnknownSeconds = std::numeric_limits<double>::quiet_NaN();
constexpr int kReadBufferBytes = 64 * 1024;
// One decoding thread per core, at most four: FFmpeg's automatic count adds one more, and every
// frame thread holds its own pictures (about 25 MB more at 4K for no gain on 2 cores).
constexpr int kMaxDecoderThreads = 4;

int interruptWhenPastDeadline(void* opaque) {
  return Clock::now() > static_cast<const Demuxer*>(opaque)->deadline ? 1 : 0;
}

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
    const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
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

// FFmpeg's mov demuxer gives the streams of a fragmented file the decode time where their last
// fragment ends as their duration. Where the first fragment starts late (DASH segments whose
// decode time starts at 10 s), the streams last that much less, and so does the presentation.
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

Size naturalSize(const Asset& asset, const AVStream& stream) {
  const AVRational aspect = av_guess_sample_aspect_ratio(asset.demuxer->format.get(),
                                                         const_cast<AVStream*>(&stream), nullptr);
  const Size coded = codedSize(asset, stream);
  return {displayWidth(coded.width, aspect), coded.height};
}

// Reads at the demuxer's own position (pread), so that readings of one descriptor never move
// each other.
int readInput(void* opaque, uint8_t* buffer, int size) {
  Demuxer& demuxer = *static_cast<Demuxer*>(opaque);
  if (Clock::now() > demuxer.deadline) return AVERROR_EXIT;
  while (true) {
    const ssize_t count = pread(demuxer.fd, buffer, static_cast<size_t>(size), demuxer.position);
    if (count > 0) {
      demuxer.position += count;
      return static_cast<int>(count);
    }
    if (count == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

int64_t seekInput(void* opaque, int64_t offset, int whence) {
  Demuxer& demuxer = *static_cast<Demuxer*>(opaque);
  if (whence == AVSEEK_SIZE) return demuxer.fileBytes;
  int64_t base = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
      break;
    case SEEK_CUR:
      base = demuxer.position;
      break;
    case SEEK_END:
      base = demuxer.fileBytes;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return AVERROR(EINVAL);
  demuxer.position = base + offset;
  return demuxer.position;
}

// Note [one input]
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

}  // namespace

void silenceMediaLog() { av_log_set_level(AV_LOG_QUIET); }

std::string errorText(int code) {
  if (code == AVERROR(ENOMEM)) return kOutOfMemoryText;
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

std::string outOfTimeText() {
  return "gave up: decoding took longer than the " + std::to_string(kCaptureBudget.count()) +
         " s a sample may take (" + std::to_string(kAllCapturesBudget.count()) +
         " s for all samples)";
}

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

void AssetDeleter::operator()(Asset* asset) const { delete asset; }

AssetHandle openAsset(const std::filesystem::path& location) {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  AssetHandle asset(new Asset{.file = {},
                              .fileBytes = 0,
                              .location = {},
                              .demuxer = nullptr,
                              .durationSeconds = kUnknownSeconds,
                              .readPositionAtStart = true,
                              .cores = std::max(cores, 1),
                              .decoderThreads = std::clamp(cores, 1, kMaxDecoderThreads),
                              .statedSizes = {},
                              .edits = {}});
  // Only regular files: opening a FIFO blocks in open(2) where no deadline can reach, and a
  // device can be endless. The descriptor is checked again, as the path may have changed.
  struct stat status {};
  if (stat(location.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return asset;
  UniqueFd file(open(location.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return asset;
  asset->file = std::move(file);
  asset->fileBytes = status.st_size;
  asset->location = location.string();
  return asset;
}

std::unique_ptr<Demuxer> openDemuxer(const Asset& asset, Clock::time_point deadline) {
  auto demuxer = std::make_unique<Demuxer>(Demuxer{.fd = asset.file.get(),
                                                   .fileBytes = asset.fileBytes,
                                                   .position = 0,
                                                   .deadline = deadline,
                                                   .input = nullptr,
                                                   .format = nullptr});
  auto* buffer = static_cast<unsigned char*>(av_malloc(kReadBufferBytes));
  if (buffer == nullptr) throw std::bad_alloc();
  demuxer->input.reset(avio_alloc_context(buffer, kReadBufferBytes, 0, demuxer.get(), readInput,
                                          nullptr, seekInput));
  if (!demuxer->input) {
    av_free(buffer);
    throw std::bad_alloc();
  }
  AVFormatContext* format = avformat_alloc_context();
  if (format == nullptr) throw std::bad_alloc();
  format->pb = demuxer->input.get();
  format->interrupt_callback = {interruptWhenPastDeadline, demuxer.get()};
  // Note [one input]: playlists, concat lists, external data references and image sequences name
  // other files. Demuxers open them through io_open, which refuses, or through a nested context
  // that inherits the protocol whitelist, which names no protocol there is.
  format->io_open = refuseNestedOpen;
  format->protocol_whitelist = av_strdup("none");
  if (format->protocol_whitelist == nullptr) {
    avformat_free_context(format);
    throw std::bad_alloc();
  }
  // The path only lends its extension to the guess of the format; on failure
  // avformat_open_input frees the context itself.
  AVDictionary* options = nullptr;
  if (!asset.edits.empty()) av_dict_set(&options, "ignore_editlist", "1", 0);
  if (avformat_open_input(&format, asset.location.c_str(), nullptr, &options) == kAvSuccess) {
    demuxer->format.reset(format);
  }
  av_dict_free(&options);
  return demuxer;
}

void loadAsset(Asset& asset) {
  if (!asset.file) return;
  const int file = asset.file.get();
  const ReadAt readAt = [file](int64_t offset, unsigned char* bytes, int count) {
    return pread(file, bytes, static_cast<size_t>(count), offset) == count;
  };
  asset.edits = editTimeline(asset.fileBytes, readAt);
  asset.demuxer = openDemuxer(asset, Clock::now() + kOpenBudget);
  AVFormatContext* format = asset.demuxer->format.get();
  if (format == nullptr) return;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    asset.statedSizes.emplace_back(format->streams[i]->codecpar->width,
                                   format->streams[i]->codecpar->height);
  }
  // The probe decodes a frame of some streams with decoders of its own: they get the same cap.
  // Opening each decoder swaps its dictionary for the options left over, so free them after.
  std::vector<AVDictionary*> streamOptions(format->nb_streams, nullptr);
  for (AVDictionary*& options : streamOptions) {
    av_dict_set_int(&options, "max_pixels", kMaxPixels, 0);
  }
  const int probed = avformat_find_stream_info(format, streamOptions.data());
  for (AVDictionary*& options : streamOptions) av_dict_free(&options);
  // The probe may find streams that the header did not declare (MPEG-TS).
  for (unsigned i = 0; i < format->nb_streams && asset.videoStream < 0; ++i) {
    if (isVideoTrack(*format->streams[i])) asset.videoStream = static_cast<int>(i);
  }
  if (probed < 0) return;
  const bool mov = std::strstr(format->iformat->name, "mov") != nullptr;
  if (!mov) asset.edits.clear();
  if (!asset.edits.empty()) {
    asset.durationSeconds = asset.edits.back().startSeconds + asset.edits.back().durationSeconds;
    return;
  }
  if (mov) {
    asset.movieTimelineStartsAtZero = hasLeadingEmptyEdit(asset.fileBytes, readAt);
    if (isFragmented(asset.fileBytes, readAt)) {
      measureFromFirstFragment(*format);
    } else if (asset.videoStream >= 0 && !asset.movieTimelineStartsAtZero) {
      // FFmpeg moved the first whole frame after the edit's media time to zero.
      const AVStream& video = *format->streams[asset.videoStream];
      if (video.start_time == 0) {
        asset.videoEditLeadTicks =
            editLeadTicks(asset.fileBytes, readAt, static_cast<uint32_t>(video.id));
      }
    }
  }
  asset.durationSeconds = presentationDuration(asset);
}

double assetDurationSeconds(const Asset& asset) { return asset.durationSeconds; }

bool isVideoTrack(const AVStream& stream) {
  return stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) == 0;
}

std::vector<VideoTrack> videoTracks(const Asset& asset) {
  std::vector<VideoTrack> tracks;
  if (!asset.demuxer || !asset.demuxer->format) return tracks;
  const AVFormatContext& format = *asset.demuxer->format;
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    const AVStream& stream = *format.streams[i];
    if (isVideoTrack(stream)) {
      tracks.push_back({naturalSize(asset, stream), displayTransform(stream)});
    }
  }
  return tracks;
}

Size codedSize(const Asset& asset, const AVStream& stream) {
  // A picture above the cap fails the probe's decoder, which then reports 0x0.
  if (stream.codecpar->width > 0 && stream.codecpar->height > 0) {
    return {double(stream.codecpar->width), double(stream.codecpar->height)};
  }
  const size_t index = static_cast<size_t>(stream.index);
  if (index >= asset.statedSizes.size()) return {0, 0};
  return {double(asset.statedSizes[index].first), double(asset.statedSizes[index].second)};
}

AffineTransform displayTransform(const AVStream& stream) {
  size_t size = 0;
  const uint8_t* data = streamSideData(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (data == nullptr || size < 9 * sizeof(int32_t)) return kIdentityTransform;
  int32_t matrix[9];
  std::memcpy(matrix, data, sizeof matrix);
  // a, b, c and d are 16.16 fixed point.
  constexpr double kOne = 1 << 16;
  return {matrix[0] / kOne, matrix[1] / kOne, matrix[3] / kOne, matrix[4] / kOne};
}

namespace {

int sign(double value) { return (value > 0) - (value < 0); }

}  // namespace

AffineTransform quarterTurnOf(AffineTransform transform) {
  if (std::fabs(transform.a) + std::fabs(transform.d) >=
      std::fabs(transform.b) + std::fabs(transform.c)) {
    return {sign(transform.a) ? sign(transform.a) : 1.0, 0, 0,
            sign(transform.d) ? sign(transform.d) : 1.0};
  }
  return {0, sign(transform.b) ? sign(transform.b) : 1.0,
          sign(transform.c) ? sign(transform.c) : -1.0, 0};
}

double displayWidth(double codedWidth, AVRational sampleAspectRatio) {
  if (sampleAspectRatio.num <= 0 || sampleAspectRatio.den <= 0) return codedWidth;
  return codedWidth * sampleAspectRatio.num / sampleAspectRatio.den;
}

int64_t presentationStartPts(const Asset& asset, const AVStream& stream) {
  if (asset.movieTimelineStartsAtZero || !asset.edits.empty()) return 0;
  const AVFormatContext& format = *asset.demuxer->format;
  if (format.start_time != AV_NOPTS_VALUE) {
    return av_rescale_q(format.start_time, AV_TIME_BASE_Q, stream.time_base) -
           asset.videoEditLeadTicks;
  }
  return (stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0) - asset.videoEditLeadTicks;
}

}  // namespace framepick
