#pragma once

// Telling an H.264 index of intra-refresh points from one of pictures decoding can start at.

#include <cstdint>
#include <span>

#include "media/asset.h"

namespace framepick {

// Whether a length-prefixed H.264 access unit (`lengthBytes` before each NAL unit) holds a slice
// of a picture that is not IDR (an access unit's slices are all IDR or none). A unit it cannot
// read holds none: in doubt, the index is trusted.
bool holdsNonIdrSlice(std::span<const uint8_t> unit, int lengthBytes);

// What the keyframes of an index are: not looked at (the demuxer did not move), pictures decoding
// can start at, or the points where an intra refresh begins.
enum class IndexedKeyframes { kUnread, kPictures, kRefreshPoints };

// Note [intra refresh]: encoders that refresh a picture a column at a time have no IDR after the
// first, and MP4 writers list the points where a refresh begins as keyframes. A decoder started
// there shows nothing whole until the refresh is done, a keyframe interval later, so every seek
// misses and is retaken further back. Reads the stream's second keyframe through `demuxer`, which
// is left somewhere in the file unless the answer is kUnread.
IndexedKeyframes indexedKeyframes(Demuxer& demuxer, const AVStream& stream);

}  // namespace framepick
