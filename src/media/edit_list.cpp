#include <cstring>
#include <iterator>

#include "media/asset.h"

namespace framepick {
namespace {

// Big-endian integers as MP4 boxes store them.
uint64_t bigEndian(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

// The boxes on the way from the top of the file to a track's edit list.
constexpr const char* kEditListPath[] = {"moov", "trak", "edts", "elst"};

// Looks for the edit-list path from `depth` on among the boxes in [from, to). A file can claim
// any number of boxes, so at most `boxesLeft` of them are read in all.
bool findLeadingEmptyEdit(const ReadAt& readAt, int64_t from, int64_t to, size_t depth,
                          int& boxesLeft) {
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
    if (std::memcmp(header + 4, kEditListPath[depth], 4) == 0) {
      if (depth + 1 < std::size(kEditListPath)) {
        if (findLeadingEmptyEdit(readAt, at + headerSize, end, depth + 1, boxesLeft)) return true;
      } else {
        // Version and flags, the entry count, then the first entry's duration and media time,
        // 64 bits each in version 1, 32 in version 0.
        unsigned char entry[24];
        const int64_t content = at + headerSize;
        const bool wide = readAt(content, entry, 1) && entry[0] == 1;
        const int length = wide ? 24 : 16;
        if (end - content < length || !readAt(content, entry, length)) return false;
        const uint64_t mediaTime = wide ? bigEndian(entry + 16, 8) : bigEndian(entry + 12, 4);
        if (bigEndian(entry + 4, 4) > 0 && mediaTime == (wide ? UINT64_MAX : UINT32_MAX)) {
          return true;
        }
      }
    }
    at = end;
  }
  return false;
}

}  // namespace

bool hasLeadingEmptyEdit(int64_t fileSize, const ReadAt& readAt) {
  int boxesLeft = 4096;
  return findLeadingEmptyEdit(readAt, 0, fileSize, 0, boxesLeft);
}

}  // namespace framepick
