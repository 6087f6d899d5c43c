#include "support/fixtures.h"

#include <turbojpeg.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "support/process.h"
#include "support/scratch.h"

namespace framepick::testing {
namespace {

const std::filesystem::path& fixtureDirectory() {
  static const ScratchDirectory directory;
  return directory.path();
}

const uint8_t* pixelAt(const DecodedImage& image, std::pair<double, double> point) {
  const int x = std::clamp(static_cast<int>(point.first), 0, image.width - 1);
  const int y = std::clamp(static_cast<int>(point.second), 0, image.height - 1);
  return &image.rgb[(static_cast<size_t>(y) * image.width + x) * 3];
}

}  // namespace

std::filesystem::path fixtureVideo(const std::string& fileName,
                                   const std::vector<std::string>& ffmpegArguments) {
  const std::filesystem::path path = fixtureDirectory() / fileName;
  if (std::filesystem::exists(path)) return path;
  std::vector<std::string> arguments = {"-v", "error", "-nostdin", "-y"};
  arguments.insert(arguments.end(), ffmpegArguments.begin(), ffmpegArguments.end());
  arguments.push_back(path.string());
  const ProcessResult result = runProcess("ffmpeg", arguments);
  if (result.exitStatus != 0) {
    throw std::runtime_error("ffmpeg could not make " + fileName + ": " + result.err);
  }
  return path;
}

std::string numberedFramesSource(int width, int height, int rate, double seconds) {
  // Drawn small and scaled up with nearest-neighbour: geq is slow on big pictures.
  const std::string bands =
      "if(lt(Y,H/2),if(bitand(N,pow(2,floor(X*12/W))),235,16),128)";
  return "nullsrc=s=96x54:r=" + std::to_string(rate) + ":d=" + std::to_string(seconds) +
         ",geq=lum='" + bands + "':cb=128:cr=128,scale=" + std::to_string(width) + ":" +
         std::to_string(height) + ":flags=neighbor,format=yuv420p";
}

DecodedImage decodeJpegFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(stream)),
                                         std::istreambuf_iterator<char>());
  const std::unique_ptr<void, int (*)(tjhandle)> decompressor(tjInitDecompress(), tjDestroy);
  DecodedImage image;
  int subsampling = 0;
  int colorspace = 0;
  if (bytes.empty() ||
      tjDecompressHeader3(decompressor.get(), bytes.data(), bytes.size(), &image.width,
                          &image.height, &subsampling, &colorspace) != 0) {
    return {};
  }
  image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
  if (tjDecompress2(decompressor.get(), bytes.data(), bytes.size(), image.rgb.data(), image.width,
                    0, image.height, TJPF_RGB, TJFLAG_ACCURATEDCT) != 0) {
    return {};
  }
  return image;
}

PictureToStill upright(const DecodedImage& image) {
  return [&image](double u, double v) {
    return std::pair{u * image.width, v * image.height};
  };
}

PictureToStill turnedClockwise(const DecodedImage& image) {
  return [&image](double u, double v) {
    return std::pair{(1 - v) * image.width, u * image.height};
  };
}

PictureToStill mirrored(const DecodedImage& image) {
  return [&image](double u, double v) {
    return std::pair{(1 - u) * image.width, v * image.height};
  };
}

int readFrameNumber(const DecodedImage& image, const PictureToStill& place) {
  if (image.width == 0) return -1;
  const uint8_t* grey = pixelAt(image, place(0.5, 0.75));
  if (std::abs(grey[1] - 128) > 24) return -1;
  int number = 0;
  for (int bit = 0; bit < 12; ++bit) {
    if (pixelAt(image, place((bit + 0.5) / 12, 0.25))[1] > 128) number |= 1 << bit;
  }
  return number;
}

}  // namespace framepick::testing
