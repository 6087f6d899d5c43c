#include <cstring>
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
bool findBoxes(int64_t fileSize, const ReadAt& readAt, const std::vector<const char*>& path,
               const Visit& visit) {
  int boxesLeft = 4096;
  return findBoxes(readAt, 0, fileSize, path, 0, boxesLeft, visit);
}

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

}  // namespace framepick
