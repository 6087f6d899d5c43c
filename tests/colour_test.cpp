// Stills measured against the colours their sources were made from. A colour chart goes through
// each source's matrix, range, depth, subsampling, primaries and transfer with zimg (ffmpeg's
// zscale), which shares nothing with the swscale path the stills take, then through framepick.
// Each case prints a row of the README's colour table: lines starting with "| ".

#include "extract/colour.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "support/fixtures.h"
#include "support/process.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

using nlohmann::json;
using Rgb = std::array<double, 3>;

// The 24 patches of the ColorChecker chart in sRGB, six across and four down.
constexpr std::array<Rgb, 24> kChart = {{
    {115, 82, 68},   {194, 150, 130}, {98, 122, 157}, {87, 108, 67},   {133, 128, 177},
    {103, 189, 170}, {214, 126, 44},  {80, 91, 166},  {193, 90, 99},   {94, 60, 108},
    {157, 188, 64},  {224, 163, 46},  {56, 61, 150},  {70, 148, 73},   {175, 54, 60},
    {231, 199, 31},  {187, 86, 149},  {8, 133, 161},  {243, 243, 242}, {200, 200, 200},
    {160, 160, 160}, {122, 122, 121}, {85, 85, 85},   {52, 52, 52},
}};
// Dark and light skin and the middle greys: what an HDR still must put where SDR has them.
constexpr std::array<int, 5> kSkinAndGrey = {0, 1, 20, 21, 22};

// The chart as a one-second lavfi source of exact 8-bit RGB, patches filling the picture.
std::string chartSource(int width, int height) {
  std::string source = "color=c=black:s=" + std::to_string(width) + "x" + std::to_string(height) +
                       ":r=5:d=1,format=gbrp";
  for (int i = 0; i < 24; ++i) {
    const int column = i % 6, row = i / 6;
    const int left = column * width / 6, top = row * height / 4;
    char colour[16];
    std::snprintf(colour, sizeof colour, "0x%02X%02X%02X", static_cast<int>(kChart[i][0]),
                  static_cast<int>(kChart[i][1]), static_cast<int>(kChart[i][2]));
    source += ",drawbox=x=" + std::to_string(left) + ":y=" + std::to_string(top) +
              ":w=" + std::to_string((column + 1) * width / 6 - left) +
              ":h=" + std::to_string((row + 1) * height / 4 - top) + ":color=" + colour + ":t=fill";
  }
  return source;
}

// Mean colour of the middle of a patch.
Rgb patchColour(const DecodedImage& still, int patch) {
  const double cellWidth = still.width / 6.0, cellHeight = still.height / 4.0;
  const double centreX = (patch % 6 + 0.5) * cellWidth, centreY = (patch / 6 + 0.5) * cellHeight;
  Rgb sum{};
  int count = 0;
  for (int y = static_cast<int>(centreY - cellHeight / 4); y < centreY + cellHeight / 4; ++y) {
    for (int x = static_cast<int>(centreX - cellWidth / 4); x < centreX + cellWidth / 4; ++x) {
      for (int c = 0; c < 3; ++c) {
        sum[c] += still.rgb[(static_cast<size_t>(y) * still.width + x) * 3 + c];
      }
      ++count;
    }
  }
  for (double& channel : sum) channel /= count;
  return sum;
}

Rgb labOf(const Rgb& srgb) {
  Rgb linear;
  for (int c = 0; c < 3; ++c) {
    const double v = srgb[c] / 255;
    linear[c] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  }
  // XYZ relative to the D65 white, so white is (1, 1, 1).
  const Rgb xyz = {(0.4124 * linear[0] + 0.3576 * linear[1] + 0.1805 * linear[2]) / 0.95047,
                   0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2],
                   (0.0193 * linear[0] + 0.1192 * linear[1] + 0.9505 * linear[2]) / 1.08883};
  Rgb f;
  for (int c = 0; c < 3; ++c) {
    f[c] = xyz[c] > 216.0 / 24389 ? std::cbrt(xyz[c]) : (24389.0 / 27 * xyz[c] + 16) / 116;
  }
  return {116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])};
}

double deltaE(const Rgb& expected, const Rgb& measured) {
  const Rgb a = labOf(expected), b = labOf(measured);
  return std::hypot(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
}

// What a patch must look like in the still.
enum class Expectation {
  kChart,           // its chart colour
  kToneMapped,      // its chart colour on skin and grey, a tone-mapped one elsewhere (HDR)
  kLuma,            // the grey of its BT.709 luma: the source kept luma alone
  kHalfAlphaBelow,  // its chart colour, the bottom half at alpha 128/255 over black
};

struct ColourCase {
  std::string name;
  std::string codedAs;
  std::string tagging;  // matrix, range, primaries, transfer as the file says them
  int width;
  int height;
  std::string source;  // lavfi
  std::string fileName;
  std::vector<std::string> ffmpegArguments;  // after the chart input
  Expectation expectation;
};

void PrintTo(const ColourCase& colourCase, std::ostream* stream) { *stream << colourCase.name; }

// zimg's conversion of the chart (BT.709 RGB, shown by a BT.1886 display) to a coded picture;
// the options override BT.709 primaries and transfer.
std::string zimg(const std::string& options, const std::string& pixelFormat) {
  return "zscale=min=gbr:rin=pc:tin=bt709:pin=bt709:t=bt709:p=bt709:" + options +
         ",format=" + pixelFormat;
}

// The chart coded as BT.2100 HLG R'G'B' in 16 bits, for the same light as the SDR chart with SDR
// white at 203 cd/m² on HLG's nominal 1000 cd/m² display. zimg's HLG applies the system gamma
// to each component rather than to luminance, which desaturates, so the test codes it itself.
std::string hlgChartSource(int width, int height) {
  constexpr double kBt709ToBt2020[9] = {0.6274, 0.3293, 0.0433, 0.0691, 0.9195,
                                        0.0114, 0.0164, 0.0880, 0.8956};
  const auto oetf = [](double scene) {
    constexpr double a = 0.17883277, b = 0.28466892, c = 0.55991073;
    return scene <= 1.0 / 12 ? std::sqrt(3 * scene) : a * std::log(12 * scene - b) + c;
  };
  std::array<std::string, 3> planes;
  for (int i = 23; i >= 0; --i) {
    Rgb display;
    for (int c = 0; c < 3; ++c) {
      display[c] = 0;
      for (int k = 0; k < 3; ++k) {
        display[c] += kBt709ToBt2020[c * 3 + k] * std::pow(kChart[i][k] / 255, 2.4) * 203 / 1000;
      }
    }
    const double luminance = 0.2627 * display[0] + 0.6780 * display[1] + 0.0593 * display[2];
    for (int c = 0; c < 3; ++c) {
      const double scene = display[c] * std::pow(luminance, 1 / 1.2 - 1);
      const std::string code = std::to_string(std::lround(oetf(scene) * 65535));
      planes[c] =
          i == 23 ? code : "if(eq(ld(0)," + std::to_string(i) + ")," + code + "," + planes[c] + ")";
    }
  }
  const std::string patch = "st(0,floor(X*6/W)+6*floor(Y*4/H));";
  return "color=c=black:s=" + std::to_string(width) + "x" + std::to_string(height) +
         ":r=5:d=1,format=gbrp16le,geq=r='" + patch + planes[0] + "':g='" + patch + planes[1] +
         "':b='" + patch + planes[2] + "'";
}

std::vector<std::string> joined(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

std::vector<std::string> tags(const std::string& matrix, const std::string& range,
                              const std::string& primaries, const std::string& transfer) {
  return {"-colorspace",      matrix,    "-color_range", range,
          "-color_primaries", primaries, "-color_trc",   transfer};
}

const std::string kUntagged =
    "setparams=range=unknown:colorspace=unknown:color_primaries=unknown:color_trc=unknown";
const std::vector<std::string> kX264 = {"-c:v", "libx264", "-preset", "ultrafast", "-crf", "10"};
const std::vector<std::string> kFfv1 = {"-c:v", "ffv1"};
std::vector<std::string> x265(const std::string& parameters) {
  return {"-c:v",      "libx265",      "-preset",
          "ultrafast", "-x265-params", "log-level=error:crf=8" + parameters};
}
const std::vector<std::string> kVp9 = {"-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used",
                                       "8",    "-crf",       "4",         "-b:v",     "0"};
// Straight alpha: the top half opaque, the bottom half at 128/255.
const std::string kHalfAlpha =
    "format=gbrap,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='if(lt(Y,H/2),255,128)'";
const std::string kHdr10 =
    ":hdr10=1:master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)"
    "L(10000000,50):max-cll=1000,400";

ColourCase chartCase(std::string name, std::string codedAs, std::string tagging,
                     std::string fileName, const std::string& filters,
                     const std::vector<std::string>& encoder,
                     Expectation expectation = Expectation::kChart, int width = 384,
                     int height = 256) {
  return {std::move(name), std::move(codedAs), std::move(tagging), width, height,
          chartSource(width, height), std::move(fileName),
          // A filter graph, with labels, needs -filter_complex.
          joined({filters.find(';') == std::string::npos ? "-vf" : "-filter_complex", filters},
                 encoder),
          expectation};
}

std::vector<ColourCase> colourCases() {
  std::vector<ColourCase> cases = {
      // Every matrix with both ranges, every depth and every subsampling (a Latin square).
      chartCase("bt601-limited-8bit-420", "H.264 yuv420p", "BT.601 / limited / BT.601 / BT.601",
                "601-l-8-420.mp4", zimg("m=170m:r=tv", "yuv420p"),
                joined(kX264, tags("smpte170m", "tv", "smpte170m", "smpte170m"))),
      chartCase("bt601-full-10bit-422", "H.264 yuv422p10", "BT.601 / full / BT.601 625 / BT.709",
                "601-f-10-422.mkv", zimg("m=170m:r=pc", "yuv422p10le"),
                joined(kX264, tags("bt470bg", "pc", "bt470bg", "bt709"))),
      chartCase("bt601-limited-12bit-444", "HEVC yuv444p12", "BT.601 / limited / BT.601 / BT.601",
                "601-l-12-444.mkv", zimg("m=170m:r=tv", "yuv444p12le"),
                joined(x265(""), tags("smpte170m", "tv", "smpte170m", "smpte170m"))),
      chartCase("bt709-full-8bit-422", "FFV1 yuv422p", "BT.709 / full / BT.709 / BT.709",
                "709-f-8-422.mkv", zimg("m=709:r=pc", "yuv422p"),
                joined(kFfv1, tags("bt709", "pc", "bt709", "bt709"))),
      chartCase("bt709-limited-10bit-444", "ProRes 4444 yuv444p10",
                "BT.709 / limited / BT.709 / BT.709", "709-l-10-444.mov",
                zimg("m=709:r=tv", "yuv444p10le"),
                joined({"-c:v", "prores_ks", "-profile:v", "4444"},
                       tags("bt709", "tv", "bt709", "bt709"))),
      chartCase("bt709-full-12bit-420", "FFV1 yuv420p12", "BT.709 / full / BT.709 / BT.709",
                "709-f-12-420.mkv", zimg("m=709:r=pc", "yuv420p12le"),
                joined(kFfv1, tags("bt709", "pc", "bt709", "bt709"))),
      chartCase("bt2020-limited-8bit-444", "FFV1 yuv444p", "BT.2020 / limited / BT.2020 / BT.2020",
                "2020-l-8-444.mkv", zimg("m=2020_ncl:r=tv:p=2020:t=2020_10", "yuv444p"),
                joined(kFfv1, tags("bt2020nc", "tv", "bt2020", "bt2020-10"))),
      chartCase("bt2020-full-10bit-420", "HEVC yuv420p10", "BT.2020 / full / BT.2020 / BT.2020",
                "2020-f-10-420.mkv", zimg("m=2020_ncl:r=pc:p=2020:t=2020_10", "yuv420p10le"),
                joined(x265(""), tags("bt2020nc", "pc", "bt2020", "bt2020-10"))),
      chartCase("bt2020-limited-12bit-422", "FFV1 yuv422p12",
                "BT.2020 / limited / BT.2020 / BT.2020", "2020-l-12-422.mkv",
                zimg("m=2020_ncl:r=tv:p=2020:t=2020_12", "yuv422p12le"),
                joined(kFfv1, tags("bt2020nc", "tv", "bt2020", "bt2020-12"))),
      // Untagged: BT.601 for SD, BT.709 for HD by either side.
      chartCase("untagged-sd", "H.264 yuv420p 720x480", "none (taken as BT.601 / limited)",
                "untagged-sd.mp4", zimg("m=170m:r=tv", "yuv420p") + "," + kUntagged, kX264,
                Expectation::kChart, 720, 480),
      chartCase("untagged-hd-scope", "H.264 yuv420p 1280x544", "none (taken as BT.709 / limited)",
                "untagged-hd.mp4", zimg("m=709:r=tv", "yuv420p") + "," + kUntagged, kX264,
                Expectation::kChart, 1280, 544),
      chartCase("mjpeg", "MJPEG yuvj422p", "none (JPEG: BT.601 / full)", "mjpeg.avi",
                zimg("m=170m:r=pc", "yuv422p"),
                {"-c:v", "mjpeg", "-q:v", "2", "-color_range", "pc"}),
      chartCase("display-p3", "FFV1 yuv444p10", "BT.709 / limited / Display P3 / BT.709",
                "display-p3.mkv", zimg("m=709:r=tv:p=smpte432", "yuv444p10le"),
                joined(kFfv1, tags("bt709", "tv", "smpte432", "bt709"))),
      chartCase("odd-size", "FFV1 yuv420p 333x187", "BT.709 / limited / BT.709 / BT.709",
                "odd-size.mkv", zimg("m=709:r=tv", "yuv444p") + ",format=yuv420p",
                joined(kFfv1, tags("bt709", "tv", "bt709", "bt709")), Expectation::kChart, 333,
                187),
      chartCase("rgb", "FFV1 gbrp10", "none (RGB)", "rgb.mkv", "format=gbrp10le", kFfv1),
      chartCase("palette", "PNG pal8", "none (RGB palette)", "palette.mkv",
                "split[a][b];[a]palettegen=max_colors=32:reserve_transparent=0[p];"
                "[b][p]paletteuse=dither=none",
                {"-c:v", "png"}),

      chartCase("grey-limited-8bit", "HEVC gray (4:0:0), luma expected",
                "BT.709 / limited / BT.709 / BT.709", "grey.mkv",
                zimg("m=709:r=tv", "yuv444p") + ",extractplanes=y",
                joined(x265(""), tags("bt709", "tv", "bt709", "bt709")), Expectation::kLuma),
      chartCase("grey-full-12bit", "FFV1 gray12, luma expected", "full range only", "grey12.mkv",
                zimg("m=709:r=pc", "yuv444p12le") + ",extractplanes=y",
                joined(kFfv1, {"-color_range", "pc"}), Expectation::kLuma),
      chartCase("alpha-yuva420p", "FFV1 yuva420p, half transparent",
                "BT.709 / limited / BT.709 / BT.709", "alpha-ffv1.mkv",
                kHalfAlpha + "," + zimg("m=709:r=tv", "yuva420p"),
                joined(kFfv1, tags("bt709", "tv", "bt709", "bt709")), Expectation::kHalfAlphaBelow),
      chartCase("alpha-prores-4444", "ProRes 4444 yuva444p10, half transparent",
                "BT.709 / limited / BT.709 / BT.709", "alpha-prores.mov",
                kHalfAlpha + "," + zimg("m=709:r=tv", "yuva444p10le"),
                joined({"-c:v", "prores_ks", "-profile:v", "4444", "-alpha_bits", "16"},
                       tags("bt709", "tv", "bt709", "bt709")),
                Expectation::kHalfAlphaBelow),
      chartCase("alpha-rgba", "PNG rgba, half transparent", "none (RGB)", "alpha-png.mkv",
                kHalfAlpha, {"-c:v", "png", "-pix_fmt", "rgba"}, Expectation::kHalfAlphaBelow),
      // HDR: the chart's light with SDR white at BT.2408's 203 cd/m².
      chartCase("pq-hevc-hdr10", "HEVC yuv420p10 + HDR10 metadata",
                "BT.2020 / limited / BT.2020 / PQ", "pq.mkv",
                zimg("m=2020_ncl:r=tv:p=2020:t=smpte2084:npl=203", "yuv420p10le"),
                joined(x265(kHdr10), tags("bt2020nc", "tv", "bt2020", "smpte2084")),
                Expectation::kToneMapped),
      chartCase("pq-vp9", "VP9 profile 2 yuv420p10",
                "BT.2020 / limited / none (taken as BT.2020) / PQ", "pq.webm",
                zimg("m=2020_ncl:r=tv:p=2020:t=smpte2084:npl=203", "yuv420p10le") +
                    ",setparams=color_primaries=unknown",
                joined(kVp9, tags("bt2020nc", "tv", "unknown", "smpte2084")),
                Expectation::kToneMapped),
      chartCase("hlg-hevc", "HEVC yuv420p10", "BT.2020 / limited / BT.2020 / HLG", "hlg.mkv",
                "zscale=min=gbr:rin=pc:m=2020_ncl:r=tv,format=yuv420p10le",
                joined(x265(""), tags("bt2020nc", "tv", "bt2020", "arib-std-b67")),
                Expectation::kToneMapped),
  };
  // The HLG chart is coded by the test itself.
  cases.back().source = hlgChartSource(cases.back().width, cases.back().height);
  return cases;
}

Rgb expectedColour(const ColourCase& colourCase, int patch) {
  const Rgb& chart = kChart[patch];
  switch (colourCase.expectation) {
    case Expectation::kChart:
    case Expectation::kToneMapped:
      return chart;
    case Expectation::kLuma: {
      const double luma = 0.2126 * chart[0] + 0.7152 * chart[1] + 0.0722 * chart[2];
      return {luma, luma, luma};
    }
    case Expectation::kHalfAlphaBelow: {
      const double opacity = patch < 12 ? 1 : 128.0 / 255;
      return {chart[0] * opacity, chart[1] * opacity, chart[2] * opacity};
    }
  }
  return chart;
}

class ColourTest : public ::testing::TestWithParam<ColourCase> {};

// The colour table: ΔE (CIE76) of every patch against what it must look like. SDR sources must
// land within 3 everywhere; HDR ones within 3 on skin and grey, and tone mapping must keep the
// rest recognisable.
TEST_P(ColourTest, PatchesLandWhereTheSourceHasThem) {
  const ColourCase& colourCase = GetParam();
  std::vector<std::string> arguments = {"-f", "lavfi", "-i", colourCase.source};
  arguments.insert(arguments.end(), colourCase.ffmpegArguments.begin(),
                   colourCase.ffmpegArguments.end());
  const std::filesystem::path video = fixtureVideo(colourCase.fileName, arguments);
  ScratchDirectory output;
  const ProcessResult result = runFramepick(
      {"--input", video.string(), "--output-dir", output.path().string(), "--max-frames", "1"});
  ASSERT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_EQ(result.err, "");
  const json report = json::parse(result.out);
  const DecodedImage still =
      decodeJpegFile(output.path() / report["frames"][0]["fileName"].get<std::string>());
  ASSERT_EQ(still.width, colourCase.width);
  ASSERT_EQ(still.height, colourCase.height);

  double worst = 0, sum = 0, worstSkinAndGrey = 0;
  for (int patch = 0; patch < 24; ++patch) {
    const Rgb expected = expectedColour(colourCase, patch);
    const Rgb measured = patchColour(still, patch);
    const double difference = deltaE(expected, measured);
    SCOPED_TRACE("patch " + std::to_string(patch + 1) + ": expected " + json(expected).dump() +
                 ", measured " + json(measured).dump());
    EXPECT_LE(difference, colourCase.expectation == Expectation::kToneMapped ? 12 : 3);
    if (std::find(kSkinAndGrey.begin(), kSkinAndGrey.end(), patch) != kSkinAndGrey.end()) {
      EXPECT_LE(difference, 3);
      worstSkinAndGrey = std::max(worstSkinAndGrey, difference);
    }
    worst = std::max(worst, difference);
    sum += difference;
  }
  char row[256];
  std::snprintf(row, sizeof row, "| %s | %s | %.2f | %.2f | %.2f |", colourCase.codedAs.c_str(),
                colourCase.tagging.c_str(), worst, sum / 24, worstSkinAndGrey);
  std::cout << row << '\n';
}

INSTANTIATE_TEST_SUITE_P(Sources, ColourTest, ::testing::ValuesIn(colourCases()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// The tone curve for grades of several peaks: light below the knee kept, no step or reversal,
// and the peak (or anything brighter) lands exactly on the reference white.
TEST(ToneCurve, KeepsMidTonesAndRollsOffToWhiteAtThePeak) {
  for (const double peak : {400.0, 1000.0, 4000.0, 10000.0}) {
    SCOPED_TRACE(peak);
    EXPECT_EQ(toneMappedNits(20, peak), 20);
    EXPECT_NEAR(toneMappedNits(26, peak), 26, 0.1);  // BT.2408's 18 % grey
    EXPECT_NEAR(toneMappedNits(peak, peak), kReferenceWhiteNits, 1e-6);
    EXPECT_NEAR(toneMappedNits(2 * peak, peak), kReferenceWhiteNits, 1e-6);
    double previousNits = 0, previous = 0;
    for (double nits = 0.5; nits <= peak; nits *= 1.01) {
      const double mapped = toneMappedNits(nits, peak);
      // Rising, never faster than the input: no reversal, no step.
      ASSERT_GE(mapped, previous) << nits;
      ASSERT_LE(mapped - previous, (nits - previousNits) * (1 + 1e-9)) << nits;
      previousNits = nits;
      previous = mapped;
    }
  }
  EXPECT_EQ(toneMappedNits(150, 180), 150);  // grades no brighter than white are only clipped
  EXPECT_EQ(toneMappedNits(300, 180), kReferenceWhiteNits);
}

// BT.2020 primaries lie outside BT.709: they come out desaturated towards the grey of the same
// luminance, not clipped channel by channel.
TEST(GamutMapping, ColoursOutsideBt709KeepTheirLuminance) {
  const Primaries bt2020{{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, {0.3127, 0.3290}};
  const ColourMapping mapping = makeColourMapping({Transfer::kSdr, bt2020, 0});
  const double bt2020Luminance[3] = {0.2627, 0.6780, 0.0593};
  for (int primary = 0; primary < 3; ++primary) {
    SCOPED_TRACE(primary);
    uint16_t rgba[4] = {0, 0, 0, 65535};
    rgba[primary] = 65535;
    uint8_t rgb[3];
    mapRow(mapping, rgba, rgb, 1);
    double luminance = 0;
    const double bt709Luminance[3] = {0.2126, 0.7152, 0.0722};
    for (int c = 0; c < 3; ++c) luminance += bt709Luminance[c] * std::pow(rgb[c] / 255.0, 2.4);
    EXPECT_NEAR(luminance, bt2020Luminance[primary], 0.01);
    EXPECT_EQ(std::max_element(rgb, rgb + 3) - rgb, primary);
  }
}

}  // namespace
}  // namespace framepick::testing
