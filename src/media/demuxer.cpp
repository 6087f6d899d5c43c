// A reading of the input file: FFmpeg's read, seek and interrupt callbacks on our descriptor.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "media/asset.h"

namespace framepick {
namespace {

constexpr int kReadBufferBytes = 64 * 1024;

int interruptWhenPastDeadline(void* opaque) {
  return Clock::now() > static_cast<const Demuxer*>(opaque)->deadline ? 1 : 0;
}

// Reads at the demuxer's own position (pread), so that readings of one descriptor never move
// each other.
int readInput(void* opaque, uint8_t* buffer, int size) {
  Demuxer& demuxer = *static_cast<Demuxer*>(opaque);
  if (Clock::now() > demuxer.deadline) return AVERROR_EXIT;
  while (true) {
    const ssize_t count = pread(demuxer.fd, buffer, static_cast<size_t>(size), demuxer.position);
    if (count > 0) {
      demuxer.position += count;
      return static_cast<int>(count);
    }
    if (count == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

int64_t seekInput(void* opaque, int64_t offset, int whence) {
  Demuxer& demuxer = *static_cast<Demuxer*>(opaque);
  if (whence == AVSEEK_SIZE) return demuxer.fileBytes;
  int64_t base = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
      break;
    case SEEK_CUR:
      base = demuxer.position;
      break;
    case SEEK_END:
      base = demuxer.fileBytes;
      break;
    default:
      return AVERROR(EINVAL);
  }
  if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return AVERROR(EINVAL);
  demuxer.position = base + offset;
  return demuxer.position;
}

// Note [one input]
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

}  // namespace

std::unique_ptr<Demuxer> openDemuxer(const Asset& asset, Clock::time_point deadline) {
  auto demuxer = std::make_unique<Demuxer>(Demuxer{.fd = asset.file.get(),
                                                   .fileBytes = asset.fileBytes,
                                                   .position = 0,
                                                   .deadline = deadline,
                                                   .input = nullptr,
                                                   .format = nullptr});
  UniqueBuffer buffer(static_cast<unsigned char*>(av_malloc(kReadBufferBytes)));
  if (!buffer) throw std::bad_alloc();
  demuxer->input.reset(avio_alloc_context(buffer.get(), kReadBufferBytes, 0, demuxer.get(),
                                          readInput, nullptr, seekInput));
  if (!demuxer->input) throw std::bad_alloc();
  (void)buffer.release();  // the context's now
  UniqueFormatContext format(avformat_alloc_context());
  if (!format) throw std::bad_alloc();
  // Note [one input]: playlists, concat lists, external data references and image sequences name
  // other files. Demuxers open them through io_open, which refuses, or through a nested context
  // that inherits the protocol whitelist, which names no protocol there is.
  format->io_open = refuseNestedOpen;
  format->protocol_whitelist = av_strdup("none");
  if (format->protocol_whitelist == nullptr) throw std::bad_alloc();
  // Set last: closing a context that was never opened would close its reader as its own.
  format->pb = demuxer->input.get();
  format->interrupt_callback = {interruptWhenPastDeadline, demuxer.get()};
  // The path only lends its extension to the guess of the format; on failure
  // avformat_open_input frees the context itself.
  AVDictionary* options = nullptr;
  if (!asset.edits.empty()) av_dict_set(&options, "ignore_editlist", "1", 0);
  AVFormatContext* opening = format.release();
  const int opened = avformat_open_input(&opening, asset.location.c_str(), nullptr, &options);
  const UniqueDictionary leftOver(options);
  if (opened == kAvSuccess) demuxer->format.reset(opening);
  return demuxer;
}

}  // namespace framepick
