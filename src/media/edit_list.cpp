// MP4/MOV edit lists read from the boxes, where FFmpeg does not play them right.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "media/asset.h"

namespace framepick {
namespace {

// Big-endian integers as MP4 boxes store them.
uint64_t bigEndian(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

// Where a box's content lies in the file.
struct BoxContent {
  int64_t from;
  int64_t to;
};

// Calls `visit` with the content of every box at the end of `path` (from `depth` on) among the
// boxes in [from, to), until it returns true. A file can claim any number of boxes, so at most
// `boxesLeft` of them are read in all. False when no visit returned true or the boxes are
// malformed.
template <typename Visit>
bool findBoxes(const ReadAt& readAt, int64_t from, int64_t to, const std::vector<const char*>& path,
               size_t depth, int& boxesLeft, const Visit& visit) {
  unsigned char header[16];
  for (int64_t at = from; to - at >= 8 && boxesLeft-- > 0;) {
    if (!readAt(at, header, 8)) return false;
    int64_t headerSize = 8;
    uint64_t size = bigEndian(header, 4);
    if (size == 1) {
      if (!readAt(at + 8, header + 8, 8)) return false;
      size = bigEndian(header + 8, 8);
      headerSize = 16;
    } else if (size == 0) {
      size = static_cast<uint64_t>(to - at);  // the box runs to the end of its parent
    }
    if (size < static_cast<uint64_t>(headerSize) || size > static_cast<uint64_t>(to - at)) {
      return false;
    }
    const int64_t end = at + static_cast<int64_t>(size);
    if (std::memcmp(header + 4, path[depth], 4) == 0) {
      const BoxContent content{at + headerSize, end};
      if (depth + 1 < path.size()
              ? findBoxes(readAt, content.from, content.to, path, depth + 1, boxesLeft, visit)
              : visit(content)) {
        return true;
      }
    }
    at = end;
  }
  return false;
}

template <typename Visit>
bool findBoxes(const ReadAt& readAt, BoxContent within, const std::vector<const char*>& path,
               const Visit& visit) {
  int boxesLeft = 4096;
  return findBoxes(readAt, within.from, within.to, path, 0, boxesLeft, visit);
}

template <typename Visit>
bool findBoxes(int64_t fileSize, const ReadAt& readAt, const std::vector<const char*>& path,
               const Visit& visit) {
  return findBoxes(readAt, BoxContent{0, fileSize}, path, visit);
}

// The content of the first box at the end of `path` within `parent`, if there is one.
std::optional<BoxContent> firstBox(const ReadAt& readAt, BoxContent parent,
                                   const std::vector<const char*>& path) {
  std::optional<BoxContent> found;
  findBoxes(readAt, parent, path, [&found](BoxContent box) {
    found = box;
    return true;
  });
  return found;
}

// Reads the big-endian integer of `count` bytes at `at`, within the box.
std::optional<uint64_t> readNumber(const ReadAt& readAt, BoxContent box, int64_t at, int count) {
  unsigned char bytes[8];
  if (at < box.from || box.to - at < count || !readAt(at, bytes, count)) return std::nullopt;
  return bigEndian(bytes, count);
}

// A table of (count, value) runs, as stts and ctts store them.
class RunTable {
 public:
  RunTable(const ReadAt& readAt, std::optional<BoxContent> box) : readAt_(readAt), box_(box) {
    if (box_) runsLeft_ = readNumber(readAt_, *box_, box_->from + 4, 4).value_or(0);
  }
  // The next sample's value; none past the end of the table.
  std::optional<uint32_t> next() {
    while (countLeft_ == 0) {
      if (!box_ || runsLeft_ == 0) return std::nullopt;
      const int64_t at = box_->from + 8 + 8 * static_cast<int64_t>(run_++);
      const std::optional<uint64_t> count = readNumber(readAt_, *box_, at, 4);
      const std::optional<uint64_t> value = readNumber(readAt_, *box_, at + 4, 4);
      if (!count || !value) return std::nullopt;
      --runsLeft_;
      countLeft_ = *count;
      value_ = static_cast<uint32_t>(*value);
    }
    --countLeft_;
    return value_;
  }

 private:
  const ReadAt& readAt_;
  std::optional<BoxContent> box_;
  uint64_t runsLeft_ = 0;
  uint64_t run_ = 0;
  uint64_t countLeft_ = 0;
  uint32_t value_ = 0;
};

}  // namespace

bool hasLeadingEmptyEdit(int64_t fileSize, const ReadAt& readAt) {
  return findBoxes(fileSize, readAt, {"moov", "trak", "edts", "elst"}, [&](BoxContent elst) {
    // Version and flags, the entry count, then the first entry's duration and media time, 64
    // bits each in version 1, 32 in version 0.
    unsigned char entry[24];
    const bool wide = readAt(elst.from, entry, 1) && entry[0] == 1;
    const int length = wide ? 24 : 16;
    if (elst.to - elst.from < length || !readAt(elst.from, entry, length)) return false;
    const uint64_t mediaTime = wide ? bigEndian(entry + 16, 8) : bigEndian(entry + 12, 4);
    return bigEndian(entry + 4, 4) > 0 && mediaTime == (wide ? UINT64_MAX : UINT32_MAX);
  });
}

bool isFragmented(int64_t fileSize, const ReadAt& readAt) {
  return findBoxes(fileSize, readAt, {"moov", "mvex"}, [](BoxContent) { return true; });
}

namespace {

// A box's time scale: the 32 bits after its creation and modification times.
std::optional<uint64_t> timeScale(const ReadAt& readAt, std::optional<BoxContent> box) {
  if (!box) return std::nullopt;
  const bool wide = readNumber(readAt, *box, box->from, 1) == 1;
  const std::optional<uint64_t> scale = readNumber(readAt, *box, box->from + (wide ? 20 : 12), 4);
  return scale && *scale > 0 ? scale : std::nullopt;
}

}  // namespace

std::vector<Edit> editTimeline(int64_t fileSize, const ReadAt& readAt) {
  std::vector<Edit> edits;
  const std::optional<uint64_t> movieScale =
      timeScale(readAt, firstBox(readAt, {0, fileSize}, {"moov", "mvhd"}));
  if (!movieScale) return edits;
  findBoxes(fileSize, readAt, {"moov", "trak"}, [&](BoxContent trak) {
    const std::optional<BoxContent> handler = firstBox(readAt, trak, {"mdia", "hdlr"});
    if (!handler || readNumber(readAt, *handler, handler->from + 8, 4) != 0x76696465) {  // vide
      return false;
    }
    const std::optional<uint64_t> mediaScale =
        timeScale(readAt, firstBox(readAt, trak, {"mdia", "mdhd"}));
    const std::optional<BoxContent> elst = firstBox(readAt, trak, {"edts", "elst"});
    if (!mediaScale || !elst) return true;
    const bool wide = readNumber(readAt, *elst, elst->from, 1) == 1;
    const int field = wide ? 8 : 4;
    const std::optional<uint64_t> count = readNumber(readAt, *elst, elst->from + 4, 4);
    if (!count || *count > 4096) return true;
    double startSeconds = 0;
    for (uint64_t i = 0; i < *count; ++i) {
      const int64_t entry = elst->from + 8 + static_cast<int64_t>(i) * (2 * field + 4);
      const std::optional<uint64_t> duration = readNumber(readAt, *elst, entry, field);
      const std::optional<uint64_t> media = readNumber(readAt, *elst, entry + field, field);
      const std::optional<uint64_t> rate = readNumber(readAt, *elst, entry + 2 * field, 4);
      if (!duration || !media || !rate) {
        edits.clear();
        return true;
      }
      const bool empty = *media == (wide ? UINT64_MAX : UINT32_MAX);
      const double seconds = static_cast<double>(*duration) / static_cast<double>(*movieScale);
      edits.push_back({startSeconds, seconds,
                       empty ? -1 : static_cast<double>(*media) / static_cast<double>(*mediaScale),
                       static_cast<double>(*rate) / 0x10000});
      startSeconds += seconds;
    }
    return true;
  });
  // One edit at rate 1, after an empty one or not, FFmpeg plays itself.
  const size_t first = !edits.empty() && edits.front().mediaSeconds < 0 ? 1 : 0;
  if (edits.size() <= first + 1 && (edits.size() == first || edits.back().rate == 1)) {
    edits.clear();
  }
  return edits;
}

int64_t editLeadTicks(int64_t fileSize, const ReadAt& readAt, uint32_t trackId) {
  int64_t lead = 0;
  findBoxes(fileSize, readAt, {"moov", "trak"}, [&](BoxContent trak) {
    const std::optional<BoxContent> tkhd = firstBox(readAt, trak, {"tkhd"});
    if (!tkhd) return false;
    const bool wideHeader = readNumber(readAt, *tkhd, tkhd->from, 1) == 1;
    if (readNumber(readAt, *tkhd, tkhd->from + (wideHeader ? 20 : 12), 4) != trackId) return false;
    // One edit, played at rate 1 from a media time at or after the start.
    const std::optional<BoxContent> elst = firstBox(readAt, trak, {"edts", "elst"});
    if (!elst) return true;
    const bool wide = readNumber(readAt, *elst, elst->from, 1) == 1;
    const int field = wide ? 8 : 4;
    const int64_t entry = elst->from + 8;
    const std::optional<uint64_t> mediaTime = readNumber(readAt, *elst, entry + field, field);
    const std::optional<uint64_t> rate = readNumber(readAt, *elst, entry + 2 * field, 4);
    const uint64_t negative = wide ? uint64_t{1} << 63 : uint64_t{1} << 31;
    if (readNumber(readAt, *elst, elst->from + 4, 4) != 1 || !mediaTime || *mediaTime >= negative ||
        rate != 0x10000) {
      return true;
    }
    // The earliest composition time at or after the edit's media time. Frames come out of
    // reordering within a few samples, so those after 32 samples past it in decode order start
    // later.
    const std::vector<const char*> sampleTable = {"mdia", "minf", "stbl"};
    auto path = [&sampleTable](const char* table) {
      std::vector<const char*> full = sampleTable;
      full.push_back(table);
      return full;
    };
    RunTable durations(readAt, firstBox(readAt, trak, path("stts")));
    const std::optional<BoxContent> ctts = firstBox(readAt, trak, path("ctts"));
    const bool signedOffsets = ctts && readNumber(readAt, *ctts, ctts->from, 1) == 1;
    RunTable offsets(readAt, ctts);
    const int64_t media = static_cast<int64_t>(*mediaTime);
    int64_t decodeTime = 0;
    int64_t earliest = INT64_MAX;
    for (int samplesPast = 0; samplesPast < 32;) {
      const std::optional<uint32_t> duration = durations.next();
      if (!duration) break;
      const uint32_t offset = ctts ? offsets.next().value_or(0) : 0;
      const int64_t composition =
          decodeTime + (signedOffsets ? static_cast<int32_t>(offset) : int64_t{offset});
      if (composition >= media) earliest = std::min(earliest, composition);
      if (decodeTime >= media) ++samplesPast;
      decodeTime += *duration;
    }
    if (earliest != INT64_MAX) lead = earliest - media;
    return true;
  });
  return lead;
}

}  // namespace framepick
