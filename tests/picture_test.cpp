// The picture a still shows. Its colours against those its source was made from: a chart goes
// through each source's matrix, range, depth, subsampling, primaries and transfer with zimg
// (ffmpeg's zscale), sharing nothing with the stills' swscale path; each case prints a README
// colour table row ("| ..."). Its field, and its size where the stream's changes.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <tuple>

#include "media/colour_tags.h"
#include "support/fixtures.h"

namespace framepick::testing {
namespace {

using Rgb = std::array<double, 3>;

// The 24 patches of the ColorChecker chart in sRGB, six across and four down, 64 pixels square.
constexpr const char* kChart[24] = {"735244", "C29682", "627A9D", "576C43", "8580B1", "67BDAA",
                                    "D67E2C", "505BA6", "C15A63", "5E3C6C", "9DBC40", "E0A32E",
                                    "383D96", "469449", "AF363C", "E7C71F", "BB5695", "0885A1",
                                    "F3F3F2", "C8C8C8", "A0A0A0", "7A7A79", "555555", "343434"};

Rgb labOf(const Rgb& srgb) {
  // sRGB to XYZ relative to the D65 white (1, 1, 1).
  constexpr double kToXyz[3][3] = {
      {0.43389, 0.37623, 0.18991}, {0.2126, 0.7152, 0.0722}, {0.01773, 0.10948, 0.87296}};
  Rgb f{};
  for (int row = 0; row < 3; ++row) {
    for (int c = 0; c < 3; ++c) {
      const double v = srgb[c] / 255;
      f[row] += kToXyz[row][c] * (v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4));
    }
    f[row] = f[row] > 216.0 / 24389 ? std::cbrt(f[row]) : (24389.0 / 27 * f[row] + 16) / 116;
  }
  return {116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])};
}

enum Kind { kSdr, kHdr, kHalfAlpha };  // HDR is tone mapped; half alpha: the bottom half at 128

// Name, coded as, tagged as (matrix / range / primaries / transfer), kind, ffmpeg's options.
using ColourCase = std::tuple<std::string, std::string, std::string, Kind, std::string>;

// zimg's conversion of the chart (BT.709 RGB, shown by a BT.1886 display) to a coded picture,
// tagged as converted; the options after it override BT.709 primaries and transfer.
const std::string kZimg = "-vf zscale=min=gbr:rin=pc:tin=bt709:pin=bt709:t=bt709:p=bt709:";
const std::string kX264 = " -c:v libx264 -preset ultrafast -crf 10";
const std::string kX265 = " -c:v libx265 -preset ultrafast -x265-params log-level=error:crf=8";
const std::string kHalfTransparent = kZimg + "m=709:r=tv,format=yuva420p,geq=lum='lum(X,Y)':" +
                                     "cb='cb(X,Y)':cr='cr(X,Y)':a='if(lt(Y,H/2),255,128)'";

const ColourCase kCases[] = {
    {"bt601_limited_8bit_420", "H.264 yuv420p", "BT.601 / limited / BT.601 / BT.601", kSdr,
     kZimg + "m=170m:r=tv,format=yuv420p,setparams=color_primaries=smpte170m:color_trc=smpte170m" +
         kX264},
    {"bt2020_full_10bit_420", "HEVC yuv420p10", "BT.2020 / full / BT.2020 / BT.2020", kSdr,
     kZimg + "m=2020_ncl:r=pc:p=2020:t=2020_10,format=yuv420p10le" + kX265},
    {"mjpeg", "MJPEG yuvj422p", "none (JPEG: BT.601 / full)", kSdr,
     kZimg + "m=170m:r=pc,format=yuvj422p -c:v mjpeg -q:v 2"},
    {"rgb", "FFV1 gbrp10", "none (RGB)", kSdr, "-vf format=gbrp10le -c:v ffv1"},
    {"alpha_yuva420p", "FFV1 yuva420p, half transparent", "BT.709 / limited / BT.709 / BT.709",
     kHalfAlpha, kHalfTransparent + " -c:v ffv1"},
    // FFmpeg's own VP9 decoder drops the alpha layer; libvpx's reads it.
    {"alpha_vp9", "VP9 yuva420p (lossless), half transparent", "BT.709 / limited / BT.709 / BT.709",
     kHalfAlpha, kHalfTransparent + " -c:v libvpx-vp9 -lossless 1 -deadline realtime"},
    // The chart's light with SDR white at BT.2408's 203 cd/m².
    {"pq_hevc_hdr10", "HEVC yuv420p10 + HDR10 metadata", "BT.2020 / limited / BT.2020 / PQ", kHdr,
     kZimg + "m=2020_ncl:r=tv:p=2020:t=smpte2084:npl=203,format=yuv420p10le" + kX265 +
         ":hdr10=1:master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)"
         "L(10000000,50):max-cll=1000,400"},
};

class ColourTest : public ::testing::TestWithParam<ColourCase> {};

// ΔE (CIE76) of the middle of every patch against what it must look like: within 3 everywhere for
// SDR; for HDR within 3 on skin and grey, and tone mapping must keep the rest recognisable.
TEST_P(ColourTest, PatchesLandWhereTheSourceHasThem) {
  const auto& [name, codedAs, tagging, kind, ffmpeg] = GetParam();
  std::string arguments = "-f lavfi -i color=c=black:s=384x256:r=5:d=1,format=gbrp";
  for (int i = 0; i < 24; ++i) {
    arguments += ",drawbox=x=" + std::to_string(i % 6 * 64) + ":y=" + std::to_string(i / 6 * 64) +
                 ":w=64:h=64:t=fill:color=0x" + kChart[i];
  }
  arguments += " " + ffmpeg;
  const Stills run =
      captureStills(fixtureVideo("colour-" + name + ".mkv", arguments), {"--max-frames", "1"});
  ASSERT_EQ(run.images.size(), 1u) << run.result.out;
  const Image& still = run.images[0];
  ASSERT_EQ(sizeOf(still), "384x256");

  double worst = 0, sum = 0, worstSkinAndGrey = 0;
  for (int patch = 0; patch < 24; ++patch) {
    Rgb expected, measured{};
    for (int c = 0; c < 3; ++c) {
      expected[c] = std::stoi(std::string(kChart[patch] + 2 * c, 2), nullptr, 16) *
                    (kind == kHalfAlpha && patch >= 12 ? 128.0 / 255 : 1);
      for (int i = 0; i < 32 * 32; ++i) {  // the middle of the patch
        const int x = patch % 6 * 64 + 16 + i % 32, y = patch / 6 * 64 + 16 + i / 32;
        measured[c] += still.rgb[(y * 384 + x) * 3 + c] / 1024.0;
      }
    }
    const Rgb a = labOf(expected), b = labOf(measured);
    const double difference = std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
    // Dark and light skin and the middle greys: what an HDR still must put where SDR has them.
    const bool skinOrGrey = patch < 2 || (patch >= 20 && patch <= 22);
    EXPECT_LE(difference, kind == kHdr && !skinOrGrey ? 12 : 3)
        << "patch " << patch + 1 << " measured " << nlohmann::json(measured);
    worstSkinAndGrey = std::max(worstSkinAndGrey, skinOrGrey ? difference : 0);
    worst = std::max(worst, difference);
    sum += difference;
  }
  std::printf("| %s | %s | %.2f | %.2f | %.2f |\n", codedAs.c_str(), tagging.c_str(), worst,
              sum / 24, worstSkinAndGrey);
}

INSTANTIATE_TEST_SUITE_P(Sources, ColourTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::get<0>(info.param); });

// BT.2390's curve for grades of several peaks: mid-tones kept, the peak and anything brighter on
// the reference white, and between them no reversal or step (never rising faster than the input).
TEST(ToneCurve, KeepsMidTonesAndRollsOffToWhiteAtThePeak) {
  for (const double peak : {400.0, 1000.0, 10000.0}) {
    EXPECT_NEAR(toneMappedNits(26, peak), 26, 0.1) << peak;  // BT.2408's 18 % grey
    EXPECT_NEAR(toneMappedNits(peak, peak), kReferenceWhiteNits, 1e-6) << peak;
    EXPECT_EQ(toneMappedNits(2 * peak, peak), toneMappedNits(peak, peak)) << peak;
    for (double nits = 0.5; nits <= 2 * peak; nits *= 1.01) {
      const double rise = toneMappedNits(nits * 1.01, peak) - toneMappedNits(nits, peak);
      ASSERT_TRUE(rise >= 0 && rise <= nits * 0.01 * (1 + 1e-9)) << nits << " of " << peak;
    }
  }
  EXPECT_EQ(toneMappedNits(150, 180), 150);  // grades no brighter than white are only clipped
}

// Single pixels through the colour tables, against values worked out from the standards: a grey
// keeps its light whatever white it was graded for (Bradford to D65), HLG follows BT.2100's system
// gamma of 1.2 at 1000 cd/m², and PQ light between knee and peak is compressed, not clipped.
TEST(ColourMapping, GreysKeepTheirLightAcrossWhitesAndHlgFollowsItsSystemGamma) {
  constexpr Primaries kDciP3{{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, {0.314, 0.351}};
  constexpr Primaries kBt2020{{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, {0.3127, 0.3290}};
  // What, the source, a code for R, G and B alike (opaque), and the 8-bit R, G and B it gives.
  const std::tuple<const char*, ColourSource, uint16_t, int> cases[] = {
      // Half the signal is half the code: SDR is decoded and encoded with the same power.
      {"DCI-P3 grey, graded for the DCI white", {Transfer::kSdr, kDciP3, 0}, 32768, 128},
      // Scene light 0.5² / 3 = 1/12; display light 1000 · (1/12)^1.2 = 50.6 cd/m², a quarter of
      // the reference white's 203: 255 · 0.249^(1/2.4) = 143.
      {"HLG grey at half signal", {Transfer::kHlg, kBt2020, 0}, 32768, 143},
      // BT.2390 maps 203 cd/m² of a 1000 grade to 159 (255 · (159/203)^(1/2.4) = 230), 400 to 194.
      {"PQ 203 cd/m² graded to 1000", {Transfer::kPq, kBt709Primaries, 1000}, 38055, 230},
      {"PQ 400 cd/m² graded to 1000", {Transfer::kPq, kBt709Primaries, 1000}, 42767, 250},
  };
  for (const auto& [what, source, code, expected] : cases) {
    SCOPED_TRACE(what);
    const uint16_t rgba[4] = {code, code, code, 65535};
    uint8_t rgb[3] = {};
    mapRow(makeColourMapping(source), rgba, rgb, 1);
    for (const uint8_t channel : rgb) EXPECT_NEAR(channel, expected, 1);
  }
}

// What a frame's tags make of it: the matrix and range swscale is told, and whether the still
// needs the colour tables, with which transfer, primaries (by their red's x) and peak.
TEST(ColourTags, NameTheConversionAStillNeeds) {
  const auto conversion = [](const ColourTags& tags) {
    std::ostringstream said;
    const int matrix = swsMatrix(tags);
    said << (matrix == SWS_CS_ITU709   ? "709"
             : matrix == SWS_CS_ITU601 ? "601"
                                       : "another")
         << (isFullRange(tags) ? " full" : " limited");
    if (const std::optional<ColourSource> source = colourSourceOf(tags, false)) {
      const char* transfers[] = {"SDR", "PQ", "HLG"};
      said << ", " << transfers[static_cast<int>(source->transfer)] << " "
           << source->primaries.red.x << " " << source->peakNits;
    }
    return said.str();
  };
  // Matrix, transfer and primaries unspecified (2) unless a row says otherwise.
  constexpr int yuv = AV_PIX_FMT_YUV420P, grey = AV_PIX_FMT_GRAY8, limited = AVCOL_RANGE_MPEG,
                hlg = AVCOL_TRC_ARIB_STD_B67, pq = AVCOL_TRC_SMPTE2084;
  // Format, range, matrix, transfer, primaries, size, content light, mastering peak.
  const std::pair<ColourTags, std::string> cases[] = {
      {{yuv, limited, 2, 2, 2, 720, 576, 0, 0}, "601 limited"},
      {{yuv, limited, 2, 2, 2, 1280, 544, 0, 0}, "709 limited"},    // scope HD
      {{yuv, limited, 200, 2, 2, 720, 1080, 0, 0}, "709 limited"},  // a matrix no standard has
      // A JPEG format is full range even where the frame's range tag says otherwise.
      {{AV_PIX_FMT_YUVJ420P, limited, 2, 2, 2, 720, 576, 0, 0}, "601 full"},
      {{yuv, limited, 2, hlg, 2, 720, 576, 0, 0}, "601 limited, HLG 0.708 1000"},
      {{yuv, limited, 2, pq, 2, 720, 576, 0, 0}, "601 limited, PQ 0.708 1000"},
      {{yuv, limited, 2, pq, 2, 720, 576, 0, 600}, "601 limited, PQ 0.708 600"},
      {{yuv, limited, 2, pq, 2, 720, 576, 4000, 600}, "601 limited, PQ 0.708 4000"},
      {{grey, limited, 2, 2, 2, 720, 576, 0, 0}, "601 limited, SDR 0.64 1000"},
      {{grey, AVCOL_RANGE_JPEG, 2, 2, 2, 720, 576, 0, 0}, "601 full"},
  };
  for (const auto& [tags, expected] : cases) EXPECT_EQ(conversion(tags), expected);
}

// Each interlaced frame weaves a field with a white box on the left (the source's first) and one
// with it on the right: the still is the field the flags put first, whole, without the other's box.
TEST(InterlacedFrames, StillsShowTheFirstFieldWithoutCombing) {
  for (const bool topFirst : {true, false}) {
    SCOPED_TRACE(topFirst ? "top first" : "bottom first");
    const std::string name = topFirst ? "top-first" : "bottom-first";
    const std::string arguments =
        "-f lavfi -i nullsrc=s=320x120:r=50:d=1,format=yuv420p,geq=cb=128:cr=128:lum='if("
        "between(Y,30,89)*between(X-160*mod(N,2),40,119),235,16)',tinterlace=mode=merge,setsar=1,"
        "setfield=" +
        std::string(topFirst ? "tff" : "bff") +
        " -c:v libx264 -preset ultrafast -flags +ildct+ilme";
    // FFmpeg 5.1's libx264 takes the field order from -top only, 7 from the frames; 9 refuses -top.
    std::filesystem::path video;
    try {
      video = fixtureVideo(name + "-top.mp4", arguments + (topFirst ? " -top 1" : " -top 0"));
    } catch (const std::runtime_error&) {
      video = fixtureVideo(name + ".mp4", arguments);
    }
    const auto stills = captureStills(video, {"--max-frames", "1"}).images;
    ASSERT_EQ(stills.size(), 1u);
    ASSERT_EQ(sizeOf(stills[0]), "320x240");
    for (int y = 70; y < 170; ++y) {  // green, in the middle of either box
      EXPECT_GT(stills[0].rgb[(y * 320 + (topFirst ? 80 : 240)) * 3 + 1], 200) << y;
      EXPECT_LT(stills[0].rgb[(y * 320 + (topFirst ? 240 : 80)) * 3 + 1], 55) << y;
    }
  }
}

// One second of 640x360 and then one of 320x240 in the same stream: each still has its own
// frame's size, with the picture where it belongs.
TEST(SizeChanges, EachStillHasItsOwnFramesSize) {
  const std::string encoder = "-vf setsar=1 -c:v libx264 -preset ultrafast -bf 0";
  const std::string parts =
      "concat:" + numberedClip("size-640.ts", 640, 360, 30, 1, encoder).string() + "|" +
      numberedClip("size-320.ts", 320, 240, 30, 1, encoder + " -output_ts_offset 1").string();
  const auto stills = captureStills(fixtureVideo("size-change.ts", "-i " + parts + " -c copy"),
                                    {"--max-frames", "4"})
                          .images;
  ASSERT_EQ(stills.size(), 4u);
  // Samples at 0.24, 0.75, 1.25 and 1.76 s; the second part numbers its frames from 0 again.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(sizeOf(stills[i]), i < 2 ? "640x360" : "320x240");
    EXPECT_EQ(readFrameNumber(stills[i]), i % 2 ? 22 : 7) << i;
  }
}

}  // namespace
}  // namespace framepick::testing
