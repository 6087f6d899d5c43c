#pragma once

// A decoded frame turned into the upright, scaled RGB still a player shows.

#include "error.h"
#include "media/handles.h"
#include "media/media.h"

namespace framepick {

// The picture a player shows for a decoded frame: colours converted with the frame's own matrix
// and range, the sample aspect ratio applied, scaled down (never up) to fit maximumDimension on
// both sides, then turned upright by the display transform. The scaler is reused between calls.
Result<Image> renderPicture(const AVFrame& frame, AVRational sampleAspectRatio,
                            AffineTransform displayTransform, int64_t maximumDimension,
                            UniqueSwsContext& scaler);

}  // namespace framepick
