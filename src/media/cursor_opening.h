#pragma once

// Opening a cursor on the video track: its decoder, where the track ends, where it can start.

#include <memory>

#include "error.h"
#include "media/asset.h"
#include "media/decode_cursor.h"
#include "media/picture_budget.h"

namespace framepick {

// A cursor that reads the first video track through `demuxer`, timed and decoded as the probed
// stream says, or why the video cannot be decoded.
Result<std::unique_ptr<DecodeCursor>> openCursor(const Asset& asset, const AVStream& probed,
                                                 Demuxer& demuxer, PictureBudget& budget,
                                                 int threads);

}  // namespace framepick
