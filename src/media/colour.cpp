// Tone mapping, gamut mapping and alpha on 16-bit RGBA rows.

#include "media/colour.h"

#include <algorithm>
#include <cmath>

namespace framepick {
namespace {

// SDR pictures are made for a BT.1886 display; decoding and encoding with the same power keeps
// every SDR colour that needs no gamut change exactly where it was.
constexpr double kDisplayGamma = 2.4;
// HLG's nominal display, for which BT.2100 gives the system gamma.
constexpr double kHlgDisplayNits = 1000;
constexpr double kHlgSystemGamma = 1.2;
constexpr int kCodes = 65536;
constexpr int kRootSteps = 8192;

using Matrix3 = std::array<double, 9>;  // row major

// SMPTE ST 2084.
constexpr double kPqM1 = 2610.0 / 16384, kPqM2 = 2523.0 / 4096 * 128;
constexpr double kPqC1 = 3424.0 / 4096, kPqC2 = 2413.0 / 4096 * 32, kPqC3 = 2392.0 / 4096 * 32;

double pqFromNits(double nits) {
  const double y = std::pow(std::max(nits, 0.0) / 10000, kPqM1);
  return std::pow((kPqC1 + kPqC2 * y) / (1 + kPqC3 * y), kPqM2);
}

double nitsFromPq(double signal) {
  const double e = std::pow(std::clamp(signal, 0.0, 1.0), 1 / kPqM2);
  return 10000 * std::pow(std::max(e - kPqC1, 0.0) / (kPqC2 - kPqC3 * e), 1 / kPqM1);
}

double hlgSceneLight(double signal) {
  constexpr double a = 0.17883277, b = 0.28466892, c = 0.55991073;
  return signal <= 0.5 ? signal * signal / 3 : (std::exp((signal - c) / a) + b) / 12;
}

double linearOf(Transfer transfer, double signal) {
  switch (transfer) {
    case Transfer::kSdr:
      return std::pow(signal, kDisplayGamma);
    case Transfer::kPq:
      return nitsFromPq(signal) / kReferenceWhiteNits;
    case Transfer::kHlg:
      return hlgSceneLight(signal);
  }
  return 0;
}

Matrix3 multiply(const Matrix3& m, const Matrix3& n) {
  Matrix3 product{};
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) {
      for (int k = 0; k < 3; ++k) product[row * 3 + column] += m[row * 3 + k] * n[k * 3 + column];
    }
  }
  return product;
}

Matrix3 inverse(const Matrix3& m) {
  const double determinant = m[0] * (m[4] * m[8] - m[5] * m[7]) -
                             m[1] * (m[3] * m[8] - m[5] * m[6]) +
                             m[2] * (m[3] * m[7] - m[4] * m[6]);
  const Matrix3 adjugate{
      m[4] * m[8] - m[5] * m[7], m[2] * m[7] - m[1] * m[8], m[1] * m[5] - m[2] * m[4],
      m[5] * m[6] - m[3] * m[8], m[0] * m[8] - m[2] * m[6], m[2] * m[3] - m[0] * m[5],
      m[3] * m[7] - m[4] * m[6], m[1] * m[6] - m[0] * m[7], m[0] * m[4] - m[1] * m[3]};
  Matrix3 result;
  for (int i = 0; i < 9; ++i) result[i] = adjugate[i] / determinant;
  return result;
}

std::array<double, 3> multiply(const Matrix3& m, std::array<double, 3> v) {
  return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
          m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

std::array<double, 3> xyzOf(Chromaticity c) { return {c.x / c.y, 1, (1 - c.x - c.y) / c.y}; }

Matrix3 rgbToXyz(const Primaries& p) {
  const auto r = xyzOf(p.red), g = xyzOf(p.green), b = xyzOf(p.blue);
  const Matrix3 columns{r[0], g[0], b[0], r[1], g[1], b[1], r[2], g[2], b[2]};
  const auto scale = multiply(inverse(columns), xyzOf(p.white));
  Matrix3 m = columns;
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) m[row * 3 + column] *= scale[column];
  }
  return m;
}

// Bradford adaptation: how a colour seen under one white looks the same under another.
Matrix3 whiteAdaptation(Chromaticity from, Chromaticity to) {
  const Matrix3 bradford{0.8951, 0.2664, -0.1614, -0.7502, 1.7135, 0.0367, 0.0389, -0.0685, 1.0296};
  const auto source = multiply(bradford, xyzOf(from));
  const auto target = multiply(bradford, xyzOf(to));
  const Matrix3 gain{target[0] / source[0], 0, 0, 0, target[1] / source[1], 0, 0, 0,
                     target[2] / source[2]};
  return multiply(inverse(bradford), multiply(gain, bradford));
}

// The entry of a square-root-indexed table for a light in [0, its last entry's light].
int rootIndex(float light, float stepsPerRoot) {
  return static_cast<int>(std::sqrt(light) * stepsPerRoot + 0.5f);
}

// Moves the colour towards the grey of its own luminance until every component lies in
// [0, 1]: out-of-gamut colours keep their luminance and hue and lose saturation.
void intoGamut(float& r, float& g, float& b) {
  const float y = 0.2126f * r + 0.7152f * g + 0.0722f * b;
  if (y <= 0) {
    r = g = b = 0;
    return;
  }
  if (y >= 1) {
    r = g = b = 1;
    return;
  }
  const float lowest = std::min({r, g, b});
  const float highest = std::max({r, g, b});
  float keep = 1;
  if (lowest < 0) keep = y / (y - lowest);
  if (highest > 1) keep = std::min(keep, (1 - y) / (highest - y));
  r = y + keep * (r - y);
  g = y + keep * (g - y);
  b = y + keep * (b - y);
}

}  // namespace

double toneMappedNits(double nits, double peakNits) {
  if (peakNits <= kReferenceWhiteNits) return std::min(nits, kReferenceWhiteNits);
  // BT.2390: the curve works on PQ signals relative to the grade's peak; maxLum is where
  // the reference white lies on that scale, and the knee starts half its distance below it.
  const double peakSignal = pqFromNits(peakNits);
  const double maxLum = pqFromNits(kReferenceWhiteNits) / peakSignal;
  const double kneeStart = 1.5 * maxLum - 0.5;
  const double e1 = pqFromNits(std::min(nits, peakNits)) / peakSignal;
  if (e1 <= kneeStart) return nits;
  const double t = (e1 - kneeStart) / (1 - kneeStart);
  const double t2 = t * t, t3 = t2 * t;
  const double e2 = (2 * t3 - 3 * t2 + 1) * kneeStart + (t3 - 2 * t2 + t) * (1 - kneeStart) +
                    (-2 * t3 + 3 * t2) * maxLum;
  return nitsFromPq(e2 * peakSignal);
}

ColourMapping makeColourMapping(const ColourSource& source) {
  ColourMapping mapping;
  mapping.transfer = source.transfer;
  mapping.linearOfCode.resize(kCodes);
  for (int code = 0; code < kCodes; ++code) {
    mapping.linearOfCode[code] = static_cast<float>(linearOf(source.transfer, code / 65535.0));
  }
  const Matrix3 sourceToXyz = rgbToXyz(source.primaries);
  const Matrix3 toBt709 = multiply(
      inverse(rgbToXyz(kBt709Primaries)),
      multiply(whiteAdaptation(source.primaries.white, kBt709Primaries.white), sourceToXyz));
  for (int i = 0; i < 9; ++i) mapping.toBt709[i] = static_cast<float>(toBt709[i]);
  for (int i = 0; i < 3; ++i) mapping.sourceLuma[i] = static_cast<float>(sourceToXyz[3 + i]);

  const double peakNits = source.transfer == Transfer::kHlg ? kHlgDisplayNits : source.peakNits;
  // The brightest light toneMappedNits leaves alone, found by halving; pixels at or below it
  // skip the curve.
  double kept = 0, changed = peakNits;
  for (int step = 0; step < 40; ++step) {
    const double middle = (kept + changed) / 2;
    (toneMappedNits(middle, peakNits) == middle ? kept : changed) = middle;
  }
  mapping.kneeLinear = static_cast<float>(kept / kReferenceWhiteNits);
  mapping.peakLinear = static_cast<float>(peakNits / kReferenceWhiteNits);
  mapping.toneMappedOfRoot.resize(kRootSteps + 1);
  for (int i = 0; i <= kRootSteps; ++i) {
    const double root = static_cast<double>(i) / kRootSteps;
    mapping.toneMappedOfRoot[i] =
        static_cast<float>(toneMappedNits(root * root * peakNits, peakNits) / kReferenceWhiteNits);
  }
  mapping.codeOfRoot.resize(kRootSteps + 1);
  mapping.hlgGainOfRoot.resize(kRootSteps + 1);
  for (int i = 0; i <= kRootSteps; ++i) {
    const double root = static_cast<double>(i) / kRootSteps;
    mapping.codeOfRoot[i] =
        static_cast<uint8_t>(std::lround(255 * std::pow(root * root, 1 / kDisplayGamma)));
    mapping.hlgGainOfRoot[i] = static_cast<float>(kHlgDisplayNits / kReferenceWhiteNits *
                                                  std::pow(root * root, kHlgSystemGamma - 1));
  }
  return mapping;
}

void mapRow(const ColourMapping& mapping, const uint16_t* rgba, uint8_t* rgb, int width) {
  const bool hdr = mapping.transfer != Transfer::kSdr;
  const float rootsPerPeak = kRootSteps / std::sqrt(mapping.peakLinear);
  const auto& m = mapping.toBt709;
  for (int x = 0; x < width; ++x, rgba += 4, rgb += 3) {
    float r = mapping.linearOfCode[rgba[0]];
    float g = mapping.linearOfCode[rgba[1]];
    float b = mapping.linearOfCode[rgba[2]];
    if (mapping.transfer == Transfer::kHlg) {
      // BT.2100's OOTF: display light grows with the pixel's own scene luminance.
      const float luminance = std::clamp(
          mapping.sourceLuma[0] * r + mapping.sourceLuma[1] * g + mapping.sourceLuma[2] * b, 0.0f,
          1.0f);
      const float gain = mapping.hlgGainOfRoot[rootIndex(luminance, kRootSteps)];
      r *= gain;
      g *= gain;
      b *= gain;
    }
    float r709 = m[0] * r + m[1] * g + m[2] * b;
    float g709 = m[3] * r + m[4] * g + m[5] * b;
    float b709 = m[6] * r + m[7] * g + m[8] * b;
    if (hdr) {
      // The curve applies to the brightest component and all three scale by
      // the same ratio, so highlights keep their hue instead of bleaching channel by channel.
      const float highest = std::max({r709, g709, b709});
      if (highest > mapping.kneeLinear) {
        const float mapped = highest >= mapping.peakLinear
                                 ? mapping.toneMappedOfRoot[kRootSteps]
                                 : mapping.toneMappedOfRoot[rootIndex(highest, rootsPerPeak)];
        const float ratio = mapped / highest;
        r709 *= ratio;
        g709 *= ratio;
        b709 *= ratio;
      }
    }
    intoGamut(r709, g709, b709);
    const uint32_t alpha = rgba[3];
    const float channels[3] = {r709, g709, b709};
    for (int c = 0; c < 3; ++c) {
      // Rounding can leave a hair outside [0, 1].
      const float light = std::clamp(channels[c], 0.0f, 1.0f);
      const uint32_t code = mapping.codeOfRoot[rootIndex(light, kRootSteps)];
      rgb[c] = static_cast<uint8_t>((code * alpha + 32767) / 65535);
    }
  }
}

}  // namespace framepick
