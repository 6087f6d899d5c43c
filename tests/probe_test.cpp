#include "extract/probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "media/asset.h"
#include "support/fixtures.h"

namespace framepick::testing {
namespace {

// Durations are the file's own, exactly: 25 frames at 24 fps last 625/600 s, which no count of
// microseconds is.
TEST(ProbeVideo, ReadsDurationAndDisplaySizeOrNamesWhatIsMissing) {
  const std::string small = "-f lavfi -i testsrc2=s=320x240:r=25:d=1";
  const std::string landscape = fixtureVideo("probe-landscape.mp4", small);
  const std::string frames25 = "-f lavfi -i testsrc2=s=160x90:r=24 -frames:v 25 -c:v libx264 ";
  // Lists naming other media: the demuxer may open nothing but the file it is given, here
  // without the kernel's help, as the test process is not confined.
  const ScratchDirectory lists;
  const std::filesystem::path elsewhere = fixtureVideo("probe-elsewhere.ts", small);
  std::filesystem::copy_file(elsewhere, lists.path() / "beside.ts");
  std::ofstream(lists.path() / "playlist.bin") << "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n"
                                               << elsewhere.string() << "\n";
  std::ofstream(lists.path() / "list.ffconcat") << "ffconcat version 1.0\nfile 'beside.ts'\n";
  // Past the decoding cap the probe's decoder fails and the size the container states stands;
  // each capture fails.
  const std::filesystem::path huge = fixtureVideo(
      "huge-9000x4100.mkv", "-f lavfi -i color=s=9000x4100:r=5:d=0.4 -c:v mjpeg -q:v 31");
  const std::string cap =
      "; the video's pictures of 9000x4100 pixels are larger than the 8192x4352 decoding allows";
  // The probe's error, or the duration to `digits` significant digits, the size and why the
  // frame in the middle cannot be had.
  const struct {
    std::filesystem::path video;
    std::string probed;
    int digits = 17;
  } cases[] = {
      {withDisplayMatrix(landscape, "turned-90.mp4", 0, -1, 1, 0), "1 s, 240x320"},
      {withDisplayMatrix(landscape, "turned-180.mp4", -1, 0, 0, -1), "1 s, 320x240"},
      // The first video track counts.
      {fixtureVideo("two-tracks.mkv", small + " -f lavfi -i testsrc2=s=640x480:d=1 -map 0 -map 1"),
       "1 s, 320x240"},
      {fixtureVideo("exact.mov", frames25 + "-video_track_timescale 600 -movie_timescale 600"),
       "1.0416666666666667 s, 160x90"},
      {fixtureVideo("exact.ts", frames25 + "-f mpegts"), "1.0416666666666667 s, 160x90"},
      // The movie header counts milliseconds: FFmpeg 5.1 reports its 1042 ms, 7 and 9 the track's
      // 12800/12288 s.
      {fixtureVideo("milliseconds.mp4", frames25), "1.042 s, 160x90", 4},
      // A fragmented MP4 joined late: its last fragment ends at 16 s of decode time, its first
      // starts at 10.
      {withFragmentsFrom(fixtureVideo("probe-fragments.mp4",
                                      "-f lavfi -i testsrc2=s=320x240:r=25:d=16 -g 25 -movflags "
                                      "frag_keyframe+empty_moov+default_base_moof"),
                         "probe-late-fragments.mp4", 10),
       "6 s, 320x240", 9},
      // A raw MPEG-1 stream states no duration, and FFmpeg's guess from its header's bit rate says
      // 0.02 s: the packets' own timestamps tell.
      {fixtureVideo("bit-rate-guess.m1v", small + " -c:v mpeg1video"), "1 s, 320x240"},
      // Cover art is a picture, not a video track.
      {fixtureVideo("cover.mp3",
                    "-f lavfi -i sine=d=2 -f lavfi -i color=s=64x64:d=1 -map 0 -map 1 "
                    "-frames:v 1 -c:v mjpeg -disposition:v attached_pic"),
       "video_track_unavailable"},
      // A raw stream has neither a stated duration nor timestamps to measure one from.
      {fixtureVideo("raw.h264", small), "duration_unavailable"},
      {lists.path() / "playlist.bin", "duration_unavailable"},
      {lists.path() / "list.ffconcat", "duration_unavailable"},
      {huge, "0.4 s, 9000x4100" + cap, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.video);
    const AssetHandle asset = openAsset(c.video);
    loadAsset(*asset);
    const Result<VideoProbe> probe = probeVideo(*asset);
    std::ostringstream probed;
    if (probe.ok()) {
      const VideoProbe& video = probe.value();
      probed << std::setprecision(c.digits) << video.durationSeconds << " s, " << video.videoWidth
             << "x" << video.videoHeight;
      const FrameGeneratorHandle generator = makeFrameGenerator(*asset, 320);
      const Result<CapturedImage> middle = copyImageAtTime(*generator, video.durationSeconds / 2);
      if (!middle.ok()) probed << "; " << middle.error().message;
    }
    EXPECT_EQ(probe.ok() ? probed.str() : probe.error().message, c.probed);
  }
}

// An edit list of one edit; a media time of -1 makes it empty.
std::string editList(bool wide, int64_t mediaTime) {
  const auto field = [wide](int64_t value) {
    return (wide ? bigEndian32(static_cast<uint32_t>(value >> 32)) : "") +
           bigEndian32(static_cast<uint32_t>(value));
  };
  // Version and flags, one entry of some duration, and a rate of 1.
  return mp4Box("edts", mp4Box("elst", bigEndian32(wide << 24) + bigEndian32(1) + field(4096) +
                                           field(mediaTime) + bigEndian32(1 << 16)));
}

// Only an empty first edit in some track moves time zero to the movie's start; boxes that claim
// more than their parent holds end the search.
TEST(EditList, LeadingEmptyEditIsFoundInAnyTrack) {
  const std::string header = mp4Box("tkhd", std::string(84, '\0'));
  const std::string delayed = mp4Box("trak", header + editList(false, -1));
  const auto size = [&delayed](size_t more) {
    return bigEndian32(uint32_t(delayed.size() + more));
  };
  const struct {
    const char* name;
    std::string file;
    bool found;
  } cases[] = {
      {"version 0", mp4Box("ftyp", "isom") + mp4Box("moov", delayed), true},
      {"version 1", mp4Box("moov", mp4Box("trak", header + editList(true, -1))), true},
      {"a starting offset", mp4Box("moov", mp4Box("trak", header + editList(false, 1024))), false},
      {"the second track", mp4Box("moov", mp4Box("trak", header) + delayed), true},
      {"no edit list", mp4Box("moov", mp4Box("trak", header)), false},
      {"a 64-bit size", bigEndian32(1) + "moov" + bigEndian32(0) + size(16) + delayed, true},
      {"a box longer than the file", size(9) + "moov" + delayed, false},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string& file = test.file;
    const ReadAt readAt = [&file](int64_t offset, unsigned char* bytes, int count) {
      if (offset < 0 || offset + count > static_cast<int64_t>(file.size())) return false;
      std::memcpy(bytes, file.data() + offset, static_cast<size_t>(count));
      return true;
    };
    EXPECT_EQ(hasLeadingEmptyEdit(static_cast<int64_t>(file.size()), readAt), test.found);
  }
}

}  // namespace
}  // namespace framepick::testing
