#pragma once

// Colour for pictures that RGB24 cannot show as they are: HDR transfers, primaries wider than
// BT.709, and alpha. Pure arithmetic on the 16-bit RGBA rows the scaler writes; the media layer
// says what the source is.

#include <array>
#include <cstdint>
#include <vector>

namespace framepick {

enum class Transfer { kSdr, kPq, kHlg };

struct Chromaticity {
  double x;
  double y;
};

struct Primaries {
  Chromaticity red;
  Chromaticity green;
  Chromaticity blue;
  Chromaticity white;
};

inline constexpr Primaries kBt709Primaries{
    {0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}, {0.3127, 0.3290}};

// HDR reference white (BT.2408): the light that becomes the white of an SDR picture.
inline constexpr double kReferenceWhiteNits = 203;

struct ColourSource {
  Transfer transfer;
  Primaries primaries;
  double peakNits;  // the brightest light of the grade; only HDR transfers use it
};

// The tables for one source, made once per still. Tables of light are indexed by the square
// root of the light, which keeps their steps fine near black.
struct ColourMapping {
  Transfer transfer;
  // 16-bit code to linear light, 1 = SDR white; scene light for HLG, whose display light
  // depends on the pixel's luminance.
  std::vector<float> linearOfCode;
  std::array<float, 9> toBt709;         // linear source RGB to linear BT.709 RGB, row major
  std::array<float, 3> sourceLuma;      // luminance of each source primary
  float kneeLinear;                     // HDR light above this is compressed
  float peakLinear;                     // HDR light at and above this becomes white
  std::vector<float> toneMappedOfRoot;  // tone-mapped light of (root · √peakLinear)²
  std::vector<uint8_t> codeOfRoot;      // 8-bit code of SDR light root²
  std::vector<float> hlgGainOfRoot;     // HLG's display light per scene light at luminance root²
};

ColourMapping makeColourMapping(const ColourSource& source);

// One row of native-endian 16-bit RGBA (straight alpha) to RGB24, flattened onto black.
void mapRow(const ColourMapping& mapping, const uint16_t* rgba, uint8_t* rgb, int width);

// BT.2390's EETF for a grade whose light reaches peakNits: light below the knee stays as it is,
// brighter light rolls off smoothly to reach the reference white at the peak.
double toneMappedNits(double nits, double peakNits);

}  // namespace framepick
