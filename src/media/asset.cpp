// The input: opening it before confinement, loading it after, and the presentation's time zero.

#include "media/asset.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <thread>
#include <vector>

#include "media/ffmpeg_facts.h"

namespace framepick {
namespace {

// One decoding thread per core, at most four: FFmpeg's automatic count adds one more, and every
// frame thread holds its own pictures (about 25 MB more at 4K for no gain on 2 cores).
constexpr int kMaxDecoderThreads = 4;

}  // namespace

void silenceMediaLog() { av_log_set_level(AV_LOG_QUIET); }

void AssetDeleter::operator()(Asset* asset) const { delete asset; }

AssetHandle openAsset(const std::filesystem::path& location) {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  AssetHandle asset(new Asset{.file = {},
                              .fileBytes = 0,
                              .location = {},
                              .demuxer = nullptr,
                              .durationSeconds = std::numeric_limits<double>::quiet_NaN(),
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
  StreamOptions streamOptions(format->nb_streams);
  for (AVDictionary*& options : streamOptions.each) {
    av_dict_set_int(&options, "max_pixels", kMaxPixels, 0);
  }
  const int probed = avformat_find_stream_info(format, streamOptions.each.data());
  // The probe may find streams that the header did not declare (MPEG-TS).
  for (unsigned i = 0; i < format->nb_streams && asset.videoStream < 0; ++i) {
    if (isVideoTrack(*format->streams[i])) asset.videoStream = static_cast<int>(i);
  }
  if (probed < 0) return;
  const bool mov = isReadBy(*format, "mov");
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

int64_t presentationStartPts(const Asset& asset, const AVStream& stream) {
  if (asset.movieTimelineStartsAtZero || !asset.edits.empty()) return 0;
  const AVFormatContext& format = *asset.demuxer->format;
  if (format.start_time != AV_NOPTS_VALUE) {
    return av_rescale_q(format.start_time, AV_TIME_BASE_Q, stream.time_base) -
           asset.videoEditLeadTicks;
  }
  return streamStartOr(stream, 0) - asset.videoEditLeadTicks;
}

}  // namespace framepick
