#include "support/fixtures.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace framepick::testing {

namespace fs = std::filesystem;

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory) {
  // exec does not change the strings it is given.
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const ScratchDirectory captures;
  const std::string out = captures.path() / "out", err = captures.path() / "err";
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start " + program);
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec. SIGXFSZ starts at its default action,
    // ending the process, whatever the test runner does: the program must turn it off itself.
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    signal(SIGXFSZ, SIG_DFL);
    if (workingDirectory.empty() || chdir(workingDirectory.c_str()) == 0)
      execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  pid_t ended = 0;
  while ((ended = wait4(pid, &status, 0, &usage)) < 0 && errno == EINTR) continue;
  const bool exited = ended == pid && WIFEXITED(status);
  return {exited ? WEXITSTATUS(status) : -1, readWholeFile(out), readWholeFile(err),
          usage.ru_maxrss};
}

ProcessResult runFramepick(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory,
                           const std::vector<std::string>& launcher) {
  std::vector<std::string> command = launcher;
  const char* wrapper = std::getenv("FRAMEPICK_TEST_WRAPPER");
  std::istringstream words(wrapper ? wrapper : "");
  for (std::string word; words >> word;) command.push_back(word);
  command.push_back(FRAMEPICK_BINARY);
  command.insert(command.end(), arguments.begin(), arguments.end());
  ProcessResult result =
      runProcess(command.front(), {command.begin() + 1, command.end()}, workingDirectory);
  // Callers are promised one schema-valid document and nothing on stderr, whatever the run met.
  if (result.exitStatus != 127) {
    EXPECT_EQ(result.err, "");
    const ScratchDirectory work;
    std::ofstream(work.path() / "report.json", std::ios::binary) << result.out;
    const ProcessResult checked =
        runProcess(FRAMEPICK_SCHEMA_PYTHON, {FRAMEPICK_REPORT_CHECKER, FRAMEPICK_REPORT_SCHEMA,
                                             (work.path() / "report.json").string()});
    EXPECT_EQ(checked.exitStatus, 0) << checked.out << checked.err << "the report:\n" << result.out;
  }
#ifndef FRAMEPICK_SANITIZED
  if (command.front() == FRAMEPICK_BINARY) return result;
#endif
  result.maxResidentKilobytes.reset();
  return result;
}

fs::path fixtureVideo(const std::string& fileName, const std::string& ffmpegWords) {
  static const ScratchDirectory directory;
  const fs::path path = directory.path() / fileName;
  if (fs::exists(path)) return path;
  std::istringstream words("-v error -nostdin -y " + ffmpegWords + " " + path.string());
  const ProcessResult result =
      runProcess("ffmpeg", {std::istream_iterator<std::string>(words), {}});
  if (result.exitStatus != 0) {
    throw std::runtime_error("ffmpeg could not make " + fileName + ": " + result.err);
  }
  return path;
}

fs::path numberedClip(const std::string& fileName, int width, int height, int rate, double seconds,
                      const std::string& encoderWords) {
  // Drawn small and scaled up with nearest-neighbour: geq is slow on big pictures.
  const std::string bands = "if(lt(Y,H/2),if(bitand(N,pow(2,floor(X*12/W))),235,16),128)";
  return fixtureVideo(fileName, "-f lavfi -i nullsrc=s=96x54:r=" + std::to_string(rate) +
                                    ":d=" + std::to_string(seconds) + ",geq=lum='" + bands +
                                    "':cb=128:cr=128,scale=" + std::to_string(width) + ":" +
                                    std::to_string(height) + ":flags=neighbor,format=yuv420p " +
                                    encoderWords);
}

fs::path bFramesClip() {
  return numberedClip("numbered-b-frames.mp4", 640, 360, 10, 6,
                      "-c:v libx264 -preset ultrafast -bf 3 -b-pyramid normal -g 10");
}

fs::path dvdClip() { return numberedClip("dvd.mpg", 720, 576, 25, 4, "-target pal-dvd"); }

fs::path oneKeyframeClip() {
  return numberedClip("one-keyframe.mpg", 640, 360, 30, 10, "-c:v mpeg2video -g 300 -bf 2");
}

fs::path intraRefreshClip() {
  return numberedClip("intra-refresh.mp4", 320, 180, 30, 10,
                      "-c:v libx264 -x264-params intra-refresh=1:keyint=60:bframes=0");
}

fs::path writeBeside(const fs::path& beside, const std::string& fileName,
                     const std::string& bytes) {
  const fs::path path = beside.parent_path() / fileName;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

fs::path withoutAviIndex(const fs::path& avi) {
  std::string bytes = readWholeFile(avi);
  bytes.replace(bytes.rfind("idx1"), 4, "JUNK");
  return writeBeside(avi, "unindexed-" + avi.filename().string(), bytes);
}

std::string bigEndian32(uint32_t value) {
  return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

std::string mp4Box(const std::string& type, const std::string& content) {
  return bigEndian32(static_cast<uint32_t>(8 + content.size())) + type + content;
}

namespace {

uint32_t readBigEndian32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The boxes down `path` from the top of an MP4 file; throws when one is missing.
std::vector<size_t> boxPath(const std::string& bytes, const std::vector<const char*>& path) {
  std::vector<size_t> boxes;
  size_t from = 0, to = bytes.size();
  for (const char* name : path) {
    size_t at = from;
    while (at + 8 <= to && bytes.compare(at + 4, 4, name) != 0) at += readBigEndian32(bytes, at);
    if (at + 8 > to) throw std::runtime_error(std::string("no ") + name + " box");
    boxes.push_back(at);
    from = at + 8;
    to = at + readBigEndian32(bytes, at);
  }
  return boxes;
}

// Replaces the last box of `boxes` with `box`, growing the ones around it.
void replaceBox(std::string& bytes, std::vector<size_t> boxes, const std::string& box) {
  const uint32_t growth = static_cast<uint32_t>(box.size() - readBigEndian32(bytes, boxes.back()));
  bytes.replace(boxes.back(), readBigEndian32(bytes, boxes.back()), box);
  boxes.pop_back();
  for (const size_t at : boxes)
    bytes.replace(at, 4, bigEndian32(readBigEndian32(bytes, at) + growth));
}

}  // namespace

fs::path withDisplayMatrix(const fs::path& mp4, const std::string& fileName, int a, int b, int c,
                           int d) {
  std::string bytes = readWholeFile(mp4);
  // A version-0 track header's matrix is 40 bytes into its content, 16.16 fixed: a, b, u, c, d.
  const size_t header = boxPath(bytes, {"moov", "trak", "tkhd"}).back();
  if (bytes[header + 8] != 0) throw std::runtime_error("no version-0 track header");
  for (const auto& [at, value] : {std::pair{0, a}, {4, b}, {12, c}, {16, d}}) {
    bytes.replace(header + 48 + at, 4, bigEndian32(static_cast<uint32_t>(value) << 16));
  }
  return writeBeside(mp4, fileName, bytes);
}

fs::path withSyncSamples(const fs::path& mp4, const std::string& fileName,
                         const std::vector<uint32_t>& samples) {
  std::string bytes = readWholeFile(mp4);
  std::string table = bigEndian32(0) + bigEndian32(static_cast<uint32_t>(samples.size()));
  for (const uint32_t sample : samples) table += bigEndian32(sample);
  replaceBox(bytes, boxPath(bytes, {"moov", "trak", "mdia", "minf", "stbl", "stss"}),
             mp4Box("stss", table));
  return writeBeside(mp4, fileName, bytes);
}

fs::path withEditList(const fs::path& mp4, const std::string& fileName,
                      const std::vector<EditEntry>& edits) {
  std::string bytes = readWholeFile(mp4);
  // Version-0 headers: the time scales are 12 bytes into mvhd's and mdhd's content. The source's
  // own edit list gives the media time of its first frame.
  const uint32_t movieScale = readBigEndian32(bytes, boxPath(bytes, {"moov", "mvhd"}).back() + 20);
  const uint32_t mediaScale =
      readBigEndian32(bytes, boxPath(bytes, {"moov", "trak", "mdia", "mdhd"}).back() + 20);
  const std::vector<size_t> elst = boxPath(bytes, {"moov", "trak", "edts", "elst"});
  const uint32_t firstFrame = readBigEndian32(bytes, elst.back() + 20);
  std::string list = bigEndian32(0) + bigEndian32(static_cast<uint32_t>(edits.size()));
  for (const EditEntry& edit : edits) {
    list += bigEndian32(static_cast<uint32_t>(edit.durationSeconds * movieScale)) +
            bigEndian32(edit.mediaSeconds < 0
                            ? UINT32_MAX
                            : firstFrame + static_cast<uint32_t>(edit.mediaSeconds * mediaScale)) +
            bigEndian32(static_cast<uint32_t>(edit.rate) << 16);
  }
  replaceBox(bytes, elst, mp4Box("elst", list));
  return writeBeside(mp4, fileName, bytes);
}

fs::path withFragmentsFrom(const fs::path& mp4, const std::string& fileName, int first) {
  const std::string bytes = readWholeFile(mp4);
  std::string kept;
  int fragment = 0;
  for (size_t at = 0; at + 8 <= bytes.size();) {
    const uint32_t size = readBigEndian32(bytes, at);
    if (size < 8) throw std::runtime_error("a box of " + std::to_string(size) + " bytes");
    const std::string name = bytes.substr(at + 4, 4);
    if (name == "moof") ++fragment;
    if ((name != "moof" && name != "mdat") || fragment > first) kept += bytes.substr(at, size);
    at += size;
  }
  return writeBeside(mp4, fileName, kept);
}

Image decodeJpegFile(const fs::path& path) {
  const std::string file = readWholeFile(path);
  const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
  const std::unique_ptr<void, int (*)(tjhandle)> decompressor(tjInitDecompress(), tjDestroy);
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(decompressor.get(), bytes, file.size(), &width, &height, &subsampling,
                          &colorspace) != 0)
    return {};
  Image image{width, height, std::vector<uint8_t>(size_t(width) * height * 3)};
  const bool decoded = tjDecompress2(decompressor.get(), bytes, file.size(), image.rgb.data(),
                                     width, 0, height, TJPF_RGB, TJFLAG_ACCURATEDCT) == 0;
  return decoded ? image : Image{};
}

Stills captureStills(const fs::path& video, const std::vector<std::string>& options) {
  const ScratchDirectory output;
  std::vector<std::string> arguments = {"--input", video.string(), "--output-dir",
                                        output.path().string()};
  arguments.insert(arguments.end(), options.begin(), options.end());
  Stills stills{runFramepick(arguments), {}, {}};
  stills.report = nlohmann::json::parse(stills.result.out);
  for (const nlohmann::json& frame : stills.report["frames"]) {
    stills.images.push_back(decodeJpegFile(output.path() / frame["fileName"].get<std::string>()));
    EXPECT_EQ(frame["width"], stills.images.back().width) << frame;
    EXPECT_EQ(frame["height"], stills.images.back().height) << frame;
  }
  return stills;
}

int readFrameNumber(const Image& image, Turn turn) {
  if (image.width == 0) return -1;
  const auto green = [&](double u, double v) {
    const auto [x, y] = turn(u, v);
    const int64_t column = std::clamp<int64_t>(x * image.width, 0, image.width - 1);
    const int64_t row = std::clamp<int64_t>(y * image.height, 0, image.height - 1);
    return image.rgb[(row * image.width + column) * 3 + 1];
  };
  if (std::abs(green(0.5, 0.75) - 128) > 24) return -1;
  int number = 0;
  for (int bit = 0; bit < 12; ++bit) number |= (green((bit + 0.5) / 12, 0.25) > 128) << bit;
  return number;
}

}  // namespace framepick::testing
