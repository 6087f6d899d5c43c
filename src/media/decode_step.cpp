// One step of the decoder: packets read, tagged and sent until a frame comes out.

#include <utility>

#include "media/decode_cursor.h"
#include "media/failure_text.h"
#include "media/ffmpeg_facts.h"

namespace framepick {
namespace {

// A decoder's failure: memory, or something in the file it cannot decode.
Error decoderError(int code) { return {"decoding failed: " + errorText(code)}; }

bool holdsPacket(const AVPacket& packet) { return packet.buf != nullptr || packet.data != nullptr; }

}  // namespace

// One step of the decoder: the next frame in presentation order, or the end of the stream, or
// (while a seek is watched, Note [entry points]) a sign that the seek landed where nothing
// decodes.
Result<DecodeCursor::DecodeStep> DecodeCursor::decodeNextFrame(AVFrame& frame) {
  while (true) {
    if (Clock::now() > parts_.demuxer->deadline) return Error{outOfTimeText()};
    const int received = avcodec_receive_frame(parts_.decoder.get(), &frame);
    if (received == kAvSuccess) {
      if (acceptFrame(frame)) return DecodeStep::kFrame;
      continue;
    }
    if (received == AVERROR_EOF || (received == AVERROR(EAGAIN) && demuxEnded_)) {
      decoderEnded_ = true;
      return DecodeStep::kEnd;
    }
    if (received != AVERROR(EAGAIN)) return decoderError(received);
    const Result<Feed> fed = feedDecoder();
    if (!fed.ok()) return fed.error();
    if (fed.value() == Feed::kMissed) return DecodeStep::kMissed;
  }
}

// Times and marks a frame out of the decoder; false when it is never on screen.
bool DecodeCursor::acceptFrame(AVFrame& frame) {
  ++counters_.framesDecoded;
  orderClock_.stamp(frame);
  damage_.noteFrame(frame);
  if (framePts(frame) != AV_NOPTS_VALUE) skips_.noteFrameOut(secondsOf(frame));
  // A frame without a time cannot be placed on the clock, and one stamped before the
  // presentation starts is never on screen (timestamps that wrapped or jumped back).
  if (framePts(frame) == AV_NOPTS_VALUE || secondsOf(frame) < -kToleranceSeconds) {
    av_frame_unref(&frame);
    return false;
  }
  return true;
}

// Reads the next packet of the stream and sends it, or starts draining at the end of the file.
Result<DecodeCursor::Feed> DecodeCursor::feedDecoder() {
  AVPacket& packet = *parts_.packet;
  const int read = readPacket(packet);
  if (read == AVERROR_EXIT) return Error{outOfTimeText()};
  // Anything but the end of the file, or a file cut short, is a failure to read it.
  if (read < 0 && read != AVERROR_EOF && read != AVERROR_INVALIDDATA) {
    return Error{"reading the file failed: " + errorText(read)};
  }
  if (read < 0) {
    // Either way, drain the frames the decoder still holds. Draining starts once, so the
    // only refusal (already draining) cannot happen here.
    demuxEnded_ = true;
    (void)avcodec_send_packet(parts_.decoder.get(), nullptr);
    return Feed::kMore;
  }
  const PacketReference unref(&packet);
  if (packet.stream_index != parts_.stream->index) return Feed::kMore;
  ++counters_.packetsRead;
  orderClock_.decide(packet);
  const int64_t start = packetStart(packet);
  if (start != AV_NOPTS_VALUE && missWatch_.missedAt(parts_.clock.secondsOf(start))) {
    return Feed::kMissed;
  }
  if (Result<> sent = sendPacket(packet); !sent.ok()) return sent.error();
  return Feed::kMore;
}

Result<> DecodeCursor::sendPacket(AVPacket& packet) {
  AVCodecContext& decoder = *parts_.decoder;
  damage_.tagPacket(decoder, packet);
  decoder.skip_frame = skips_.noteSent(packet, parts_.clock) ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
  const bool timedByDts = orderClock_.notePending(packet);
  const int sent = avcodec_send_packet(&decoder, &packet);
  // A damaged packet costs only the frames that depend on it: the next keyframe decodes.
  if (sent == AVERROR_INVALIDDATA) {
    damage_.notePacketRefused();
    ++packetsRejected_;
    if (timedByDts) orderClock_.forget(packet.dts);
    return {};
  }
  if (sent < 0) return decoderError(sent);
  return {};
}

// Note [intra-only skipping]: frames of a codec without inter prediction (MJPEG, ProRes, DV)
// need no frame before them, and come out in the order their packets go in. Each is shown until
// the next one starts, so a packet is left undecoded when the next starts later and by the
// target; a packet is held back until the next is read, as a slot left empty (a dropped frame)
// keeps it on screen.
int DecodeCursor::readPacket(AVPacket& packet) {
  AVFormatContext* format = parts_.demuxer->format.get();
  while (true) {
    const int read = av_read_frame(format, &packet);
    if (!intraOnly_ || !ahead_) return read;
    if (read < 0) {
      if (!holdsPacket(*ahead_)) return read;
      av_packet_move_ref(&packet, ahead_.get());
      return 0;
    }
    if (packet.stream_index != parts_.stream->index || packetStart(packet) == AV_NOPTS_VALUE) {
      return read;
    }
    const bool held = holdsPacket(*ahead_);
    const bool replaced = held && packetStart(*ahead_) != AV_NOPTS_VALUE &&
                          packetStart(packet) > packetStart(*ahead_) &&
                          skips_.byTarget(parts_.clock.secondsOf(packetStart(packet)));
    std::swap(*ahead_, packet);  // the packet read waits; the one held goes on, or is dropped
    if (!held) continue;
    if (!replaced) return 0;
    av_packet_unref(&packet);
    ++counters_.packetsRead;
  }
}

}  // namespace framepick
