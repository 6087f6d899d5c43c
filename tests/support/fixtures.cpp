#include "support/fixtures.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace framepick::testing {

std::filesystem::path fixtureVideo(const std::string& fileName, const std::string& ffmpegWords) {
  static const ScratchDirectory directory;
  const std::filesystem::path path = directory.path() / fileName;
  if (std::filesystem::exists(path)) return path;
  std::istringstream words("-v error -nostdin -y " + ffmpegWords + " " + path.string());
  const ProcessResult result =
      runProcess("ffmpeg", {std::istream_iterator<std::string>(words), {}});
  if (result.exitStatus != 0) {
    throw std::runtime_error("ffmpeg could not make " + fileName + ": " + result.err);
  }
  return path;
}

std::filesystem::path withDisplayMatrix(const std::filesystem::path& mp4,
                                        const std::string& fileName, int a, int b, int c, int d) {
  std::string bytes = readWholeFile(mp4);
  // The matrix sits 44 bytes past the name of a version-0 tkhd box, in 16.16 fixed point: a, b,
  // u, c, d.
  const size_t matrix = bytes.find("tkhd") + 44;
  if (matrix < 44 || bytes[matrix - 40] != 0 || matrix + 20 > bytes.size()) {
    throw std::runtime_error("no version-0 track header in " + mp4.string());
  }
  const auto put = [&bytes](size_t at, int value) {
    const uint32_t fixed = static_cast<uint32_t>(value) << 16;
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(fixed >> (24 - 8 * i));
  };
  put(matrix, a);
  put(matrix + 4, b);
  put(matrix + 12, c);
  put(matrix + 16, d);
  const std::filesystem::path path = mp4.parent_path() / fileName;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::filesystem::path numberedClip(const std::string& fileName, int width, int height, int rate,
                                   double seconds, const std::string& encoderWords) {
  // Drawn small and scaled up with nearest-neighbour: geq is slow on big pictures.
  const std::string bands = "if(lt(Y,H/2),if(bitand(N,pow(2,floor(X*12/W))),235,16),128)";
  return fixtureVideo(fileName, "-f lavfi -i nullsrc=s=96x54:r=" + std::to_string(rate) +
                                    ":d=" + std::to_string(seconds) + ",geq=lum='" + bands +
                                    "':cb=128:cr=128,scale=" + std::to_string(width) + ":" +
                                    std::to_string(height) + ":flags=neighbor,format=yuv420p " +
                                    encoderWords);
}

DecodedImage decodeJpegFile(const std::filesystem::path& path) {
  const std::string file = readWholeFile(path);
  const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
  const std::unique_ptr<void, int (*)(tjhandle)> decompressor(tjInitDecompress(), tjDestroy);
  DecodedImage image;
  int subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(decompressor.get(), bytes, file.size(), &image.width, &image.height,
                          &subsampling, &colorspace) != 0) {
    return {};
  }
  image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
  const bool decoded =
      tjDecompress2(decompressor.get(), bytes, file.size(), image.rgb.data(), image.width, 0,
                    image.height, TJPF_RGB, TJFLAG_ACCURATEDCT) == 0;
  return decoded ? image : DecodedImage{};
}

Stills captureStills(const std::filesystem::path& video, const std::vector<std::string>& options) {
  const ScratchDirectory output;
  std::vector<std::string> arguments = {"--input", video.string(), "--output-dir",
                                        output.path().string()};
  arguments.insert(arguments.end(), options.begin(), options.end());
  Stills stills{runFramepick(arguments), {}, {}};
  EXPECT_EQ(stills.result.err, "");
  stills.report = nlohmann::json::parse(stills.result.out);
  for (const nlohmann::json& frame : stills.report["frames"]) {
    stills.images.push_back(decodeJpegFile(output.path() / frame["fileName"].get<std::string>()));
    EXPECT_EQ(frame["width"], stills.images.back().width) << frame;
    EXPECT_EQ(frame["height"], stills.images.back().height) << frame;
  }
  return stills;
}

int readFrameNumber(const DecodedImage& image, Turn turn) {
  if (image.width == 0) return -1;
  const auto green = [&](double u, double v) {
    const auto [x, y] = turn(u, v);
    const int column = std::clamp(static_cast<int>(x * image.width), 0, image.width - 1);
    const int row = std::clamp(static_cast<int>(y * image.height), 0, image.height - 1);
    return image.rgb[(static_cast<size_t>(row) * image.width + column) * 3 + 1];
  };
  if (std::abs(green(0.5, 0.75) - 128) > 24) return -1;
  int number = 0;
  for (int bit = 0; bit < 12; ++bit) {
    if (green((bit + 0.5) / 12, 0.25) > 128) number |= 1 << bit;
  }
  return number;
}

}  // namespace framepick::testing
