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

namespace {

uint32_t bigEndian32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void putBigEndian32(std::string& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

// The boxes from the top of an MP4 file down `path`, each found in the one before; throws when
// one is missing.
std::vector<size_t> boxPath(const std::string& bytes, const std::vector<const char*>& path) {
  std::vector<size_t> boxes;
  size_t from = 0, to = bytes.size();
  for (const char* name : path) {
    size_t at = from;
    while (at + 8 <= to && bytes.compare(at + 4, 4, name) != 0) at += bigEndian32(bytes, at);
    if (at + 8 > to) throw std::runtime_error(std::string("no ") + name + " box");
    boxes.push_back(at);
    from = at + 8;
    to = at + bigEndian32(bytes, at);
  }
  return boxes;
}

// Replaces the last box of `boxes` with `box`, growing the ones around it.
void replaceBox(std::string& bytes, std::vector<size_t> boxes, const std::string& box) {
  const uint32_t growth = static_cast<uint32_t>(box.size() - bigEndian32(bytes, boxes.back()));
  bytes.replace(boxes.back(), bigEndian32(bytes, boxes.back()), box);
  boxes.pop_back();
  for (const size_t at : boxes) putBigEndian32(bytes, at, bigEndian32(bytes, at) + growth);
}

}  // namespace

std::filesystem::path withSyncSamples(const std::filesystem::path& mp4, const std::string& fileName,
                                      const std::vector<uint32_t>& samples) {
  std::string bytes = readWholeFile(mp4);
  std::string table(16 + 4 * samples.size(), '\0');
  putBigEndian32(table, 0, static_cast<uint32_t>(table.size()));
  table.replace(4, 4, "stss");
  putBigEndian32(table, 12, static_cast<uint32_t>(samples.size()));
  for (size_t i = 0; i < samples.size(); ++i) putBigEndian32(table, 16 + 4 * i, samples[i]);
  replaceBox(bytes, boxPath(bytes, {"moov", "trak", "mdia", "minf", "stbl", "stss"}), table);
  const std::filesystem::path path = mp4.parent_path() / fileName;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::filesystem::path withEditList(const std::filesystem::path& mp4, const std::string& fileName,
                                   const std::vector<EditEntry>& edits) {
  std::string bytes = readWholeFile(mp4);
  // Version-0 headers: the time scales sit 12 bytes into mvhd's and mdhd's content.
  const uint32_t movieScale = bigEndian32(bytes, boxPath(bytes, {"moov", "mvhd"}).back() + 20);
  const uint32_t mediaScale =
      bigEndian32(bytes, boxPath(bytes, {"moov", "trak", "mdia", "mdhd"}).back() + 20);
  const std::vector<size_t> elst = boxPath(bytes, {"moov", "trak", "edts", "elst"});
  const uint32_t firstFrame = bigEndian32(bytes, elst.back() + 20);
  std::string box(16 + 12 * edits.size(), '\0');
  putBigEndian32(box, 0, static_cast<uint32_t>(box.size()));
  box.replace(4, 4, "elst");
  putBigEndian32(box, 12, static_cast<uint32_t>(edits.size()));
  for (size_t i = 0; i < edits.size(); ++i) {
    const EditEntry& edit = edits[i];
    putBigEndian32(box, 16 + 12 * i, static_cast<uint32_t>(edit.durationSeconds * movieScale));
    putBigEndian32(box, 20 + 12 * i,
                   edit.mediaSeconds < 0
                       ? UINT32_MAX
                       : firstFrame + static_cast<uint32_t>(edit.mediaSeconds * mediaScale));
    putBigEndian32(box, 24 + 12 * i, static_cast<uint32_t>(edit.rate) << 16);
  }
  replaceBox(bytes, elst, box);
  const std::filesystem::path path = mp4.parent_path() / fileName;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::filesystem::path withFragmentsFrom(const std::filesystem::path& mp4,
                                        const std::string& fileName, int first) {
  const std::string bytes = readWholeFile(mp4);
  std::string kept;
  int fragment = 0;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    const uint32_t size = bigEndian32(bytes, at);
    if (size < 8) throw std::runtime_error("a box of " + std::to_string(size) + " bytes");
    const std::string name = bytes.substr(at + 4, 4);
    if (name == "moof") ++fragment;
    if ((name != "moof" && name != "mdat") || fragment > first) kept += bytes.substr(at, size);
    at += size;
  }
  const std::filesystem::path path = mp4.parent_path() / fileName;
  std::ofstream(path, std::ios::binary) << kept;
  return path;
}

std::filesystem::path withoutStart(const std::filesystem::path& file, const std::string& fileName,
                                   size_t bytes) {
  const std::filesystem::path path = file.parent_path() / fileName;
  std::ofstream(path, std::ios::binary) << readWholeFile(file).substr(bytes);
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
