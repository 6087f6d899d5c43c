#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <thread>
#include <vector>

#include "extract/media.h"
#include "extract/media_compat.h"
#include "extract/media_internal.h"

namespace framepick {
namespace {

constexpr auto kOpenBudget = std::chrono::seconds(20);
constexpr double kUnknownSeconds = std::numeric_limits<double>::quiet_NaN();
constexpr int kReadBufferBytes = 64 * 1024;
// One decoding thread per core, at most four: FFmpeg's automatic count adds one more, and every
// frame thread holds its own pictures (about 25 MB more at 4K for no gain on 2 cores).
constexpr int kMaxDecoderThreads = 4;

int interruptWhenPastDeadline(void* opaque) {
  return Clock::now() > static_cast<const Asset*>(opaque)->deadline ? 1 : 0;
}

// FFmpeg only guesses a duration from the bit rate when the container states none (raw streams,
// piped files). A guess is not a duration: measure it from the packets' own timestamps.
double durationFromPackets(Asset& asset) {
  AVFormatContext* format = asset.format.get();
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
  const double startSeconds =
      format->start_time != AV_NOPTS_VALUE ? format->start_time / double(AV_TIME_BASE) : firstSeconds;
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

double presentationDuration(Asset& asset) {
  const AVFormatContext& format = *asset.format;
  if (format.duration == AV_NOPTS_VALUE ||
      format.duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
    return durationFromPackets(asset);
  }
  const double exact = durationFromStreamEnds(format);
  return std::isnan(exact) ? format.duration / double(AV_TIME_BASE) : exact;
}

Size naturalSize(const Asset& asset, const AVStream& stream) {
  const AVRational aspect = av_guess_sample_aspect_ratio(
      asset.format.get(), const_cast<AVStream*>(&stream), nullptr);
  Size size = codedSize(asset, stream);
  if (aspect.num > 0 && aspect.den > 0) size.width = size.width * aspect.num / aspect.den;
  return size;
}

int readInput(void* opaque, uint8_t* buffer, int size) {
  const Asset& asset = *static_cast<const Asset*>(opaque);
  if (Clock::now() > asset.deadline) return AVERROR_EXIT;
  while (true) {
    const ssize_t count = read(asset.file.get(), buffer, static_cast<size_t>(size));
    if (count > 0) return static_cast<int>(count);
    if (count == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

int64_t seekInput(void* opaque, int64_t offset, int whence) {
  const int fd = static_cast<const Asset*>(opaque)->file.get();
  if (whence == AVSEEK_SIZE) {
    struct stat status {};
    return fstat(fd, &status) == 0 ? status.st_size : AVERROR(errno);
  }
  const off_t position = lseek(fd, offset, whence & ~AVSEEK_FORCE);
  return position >= 0 ? position : AVERROR(errno);
}

int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

// Big-endian integers as MP4 boxes store them.
uint64_t bigEndian(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

// The boxes on the way from the top of the file to a track's edit list.
constexpr const char* kEditListPath[] = {"moov", "trak", "edts", "elst"};

// Looks for the edit-list path from `depth` on among the boxes in [from, to). A file can claim
// any number of boxes, so at most `boxesLeft` of them are read in all.
bool findLeadingEmptyEdit(const ReadAt& readAt, int64_t from, int64_t to, size_t depth,
                          int& boxesLeft) {
  unsigned char header[16];
  for (int64_t at = from; to - at >= 8 && boxesLeft-- > 0;) {
    if (!readAt(at, header, 8)) return false;
    int64_t headerSize = 8;
    uint64_t size = bigEndian(header, 4);
    if (size == 1) {
      if (!readAt(at + 8, header + 8, 8)) return false;
      size = bigEndian(header + 8, 8);
      headerSize = 16;
    } else if (size == 0) {
      size = static_cast<uint64_t>(to - at);  // the box runs to the end of its parent
    }
    if (size < static_cast<uint64_t>(headerSize) || size > static_cast<uint64_t>(to - at)) {
      return false;
    }
    const int64_t end = at + static_cast<int64_t>(size);
    if (std::memcmp(header + 4, kEditListPath[depth], 4) == 0) {
      if (depth + 1 < std::size(kEditListPath)) {
        if (findLeadingEmptyEdit(readAt, at + headerSize, end, depth + 1, boxesLeft)) return true;
      } else {
        // Version and flags, the entry count, then the first entry's duration and media time,
        // 64 bits each in version 1, 32 in version 0.
        unsigned char entry[24];
        const int64_t content = at + headerSize;
        const bool wide = readAt(content, entry, 1) && entry[0] == 1;
        const int length = wide ? 24 : 16;
        if (end - content < length || !readAt(content, entry, length)) return false;
        const uint64_t mediaTime = wide ? bigEndian(entry + 16, 8) : bigEndian(entry + 12, 4);
        if (bigEndian(entry + 4, 4) > 0 && mediaTime == (wide ? UINT64_MAX : UINT32_MAX)) {
          return true;
        }
      }
    }
    at = end;
  }
  return false;
}

}  // namespace

void silenceMediaLog() { av_log_set_level(AV_LOG_QUIET); }

std::string errorText(int code) {
  if (code == AVERROR(ENOMEM)) return kOutOfMemoryText;
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

void AssetDeleter::operator()(Asset* asset) const { delete asset; }

AssetHandle openAsset(const std::filesystem::path& location) {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  AssetHandle asset(new Asset{.file = {},
                              .location = {},
                              .input = nullptr,
                              .format = nullptr,
                              .durationSeconds = kUnknownSeconds,
                              .readPositionAtStart = true,
                              .deadline = Clock::now() + kOpenBudget,
                              .decoderThreads = std::clamp(cores, 1, kMaxDecoderThreads),
                              .statedSizes = {}});
  // Only regular files: opening a FIFO blocks in open(2) where no deadline can reach, and a
  // device can be endless. The descriptor is checked again, as the path may have changed.
  struct stat status {};
  if (stat(location.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return asset;
  UniqueFd file(open(location.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return asset;
  asset->file = std::move(file);
  asset->location = location.string();
  return asset;
}

void loadAsset(Asset& asset) {
  if (!asset.file) return;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kReadBufferBytes));
  if (buffer == nullptr) throw std::bad_alloc();
  asset.input.reset(
      avio_alloc_context(buffer, kReadBufferBytes, 0, &asset, readInput, nullptr, seekInput));
  if (!asset.input) {
    av_free(buffer);
    throw std::bad_alloc();
  }
  AVFormatContext* format = avformat_alloc_context();
  if (format == nullptr) throw std::bad_alloc();
  format->pb = asset.input.get();
  format->interrupt_callback = {interruptWhenPastDeadline, &asset};
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
  if (avformat_open_input(&format, asset.location.c_str(), nullptr, nullptr) != kAvSuccess) return;
  asset.format.reset(format);
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
  if (probed < 0) return;
  if (std::strstr(format->iformat->name, "mov") != nullptr) {
    const int file = asset.file.get();
    struct stat status {};
    asset.movieTimelineStartsAtZero =
        fstat(file, &status) == 0 &&
        hasLeadingEmptyEdit(
            status.st_size, [file](int64_t offset, unsigned char* bytes, int count) {
              return pread(file, bytes, static_cast<size_t>(count), offset) == count;
            });
  }
  asset.durationSeconds = presentationDuration(asset);
}

bool hasLeadingEmptyEdit(int64_t fileSize, const ReadAt& readAt) {
  int boxesLeft = 4096;
  return findLeadingEmptyEdit(readAt, 0, fileSize, 0, boxesLeft);
}

double assetDurationSeconds(const Asset& asset) { return asset.durationSeconds; }

bool isVideoTrack(const AVStream& stream) {
  return stream.codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) == 0;
}

std::vector<VideoTrack> videoTracks(const Asset& asset) {
  std::vector<VideoTrack> tracks;
  if (!asset.format) return tracks;
  for (unsigned i = 0; i < asset.format->nb_streams; ++i) {
    const AVStream& stream = *asset.format->streams[i];
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

Size applyTransform(Size size, AffineTransform transform) {
  return {transform.a * size.width + transform.c * size.height,
          transform.b * size.width + transform.d * size.height};
}

int64_t presentationStartPts(const Asset& asset, const AVStream& stream) {
  if (asset.movieTimelineStartsAtZero) return 0;
  const AVFormatContext& format = *asset.format;
  if (format.start_time != AV_NOPTS_VALUE) {
    return av_rescale_q(format.start_time, AV_TIME_BASE_Q, stream.time_base);
  }
  return stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
}

}  // namespace framepick
