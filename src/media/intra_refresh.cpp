// Telling an H.264 index of intra-refresh points from one of pictures decoding can start at.

#include "media/intra_refresh.h"

#include <vector>

#include "media/handles.h"

namespace framepick {
bool holdsNonIdrSlice(std::span<const uint8_t> unit, int lengthBytes) {
  constexpr int kNonIdrSlice = 1;
  size_t at = 0;
  while (at + static_cast<size_t>(lengthBytes) < unit.size()) {
    size_t length = 0;
    for (int i = 0; i < lengthBytes; ++i) length = length << 8 | unit[at++];
    if (length == 0 || length > unit.size() - at) return false;
    if ((unit[at] & 0x1f) == kNonIdrSlice) return true;
    at += length;
  }
  return false;
}

IndexedKeyframes indexedKeyframes(Demuxer& demuxer, const AVStream& stream) {
  const AVCodecParameters& codec = *stream.codecpar;
  // avcC extradata: version 1, and the NAL length size in the low bits of its fifth byte.
  if (codec.codec_id != AV_CODEC_ID_H264 || codec.extradata_size < 7 || codec.extradata[0] != 1) {
    return IndexedKeyframes::kUnread;
  }
  const int lengthBytes = (codec.extradata[4] & 3) + 1;
  // The second and third keyframes' decode times.
  std::vector<int64_t> keyframes;
  const int entries = avformat_index_get_entries_count(&stream);
  for (int i = 0; i < entries && keyframes.size() < 3; ++i) {
    const AVIndexEntry* entry = avformat_index_get_entry(const_cast<AVStream*>(&stream), i);
    if (entry != nullptr && (entry->flags & AVINDEX_KEYFRAME))
      keyframes.push_back(entry->timestamp);
  }
  const UniquePacket packet(av_packet_alloc());
  if (keyframes.size() < 2 || !packet) return IndexedKeyframes::kUnread;
  // A seek takes a presentation time, which a frame reordering decoder shows later than its
  // decode time: aim between the second keyframe and the next.
  const int64_t after = keyframes.size() > 2 ? keyframes[2] : 2 * keyframes[1] - keyframes[0];
  AVFormatContext* format = demuxer.format.get();
  if (av_seek_frame(format, stream.index, keyframes[1] + (after - keyframes[1]) / 2,
                    AVSEEK_FLAG_BACKWARD) < 0) {
    return IndexedKeyframes::kPictures;
  }
  // Other streams are discarded by now: the first packet read is the keyframe's.
  if (av_read_frame(format, packet.get()) < 0 || packet->stream_index != stream.index ||
      packet->dts != keyframes[1]) {
    return IndexedKeyframes::kPictures;
  }
  return holdsNonIdrSlice({packet->data, static_cast<size_t>(packet->size)}, lengthBytes)
             ? IndexedKeyframes::kRefreshPoints
             : IndexedKeyframes::kPictures;
}

}  // namespace framepick
