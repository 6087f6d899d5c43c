// Making stills on a thread of their own while the decoder moves on to the next sample.

#include "extract/still_maker.h"

#include <chrono>
#include <new>
#include <system_error>
#include <utility>

#include "clock.h"
#include "files/frame_file.h"

namespace framepick {

StillMaker::StillMaker(FrameGenerator& generator, std::filesystem::path outputURL)
    : generator_(generator), outputURL_(std::move(outputURL)) {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread: make() makes each still itself.
  }
}

StillMaker::~StillMaker() {
  {
    const std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void StillMaker::make(StillJob job) {
  if (!thread_.joinable()) {
    makeNow(job);
    return;
  }
  // One still at a time: a second decoded picture held for it would only add to the peak.
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !waiting_ && !busy_; });
  waiting_.emplace(std::move(job));
  changed_.notify_all();
}

void StillMaker::finish() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !waiting_ && !busy_; });
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

void StillMaker::makeNow(StillJob& job) {
  SampleOutcome& outcome = *job.outcome;
  try {
    const Result<CapturedImage> captured = makeStill(generator_, *job.shown);
    job.shown.reset();  // the decoder's picture, no longer needed while encoding
    if (!captured.ok()) {
      outcome.failure.emplace(
          FailureRecord{job.index, job.requestedSeconds, captured.error().message});
      return;
    }
    const Image& image = captured.value().image;
    const Clock::time_point writeStart = Clock::now();
    const Result<std::string> fileName = writeFrameFile(image, job.index, outputURL_);
    writingSeconds_ += std::chrono::duration<double>(Clock::now() - writeStart).count();
    if (!fileName.ok()) {
      outcome.failure.emplace(
          FailureRecord{job.index, job.requestedSeconds, fileName.error().message});
      return;
    }
    outcome.frame.emplace(FrameRecord{job.index, job.requestedSeconds,
                                      captured.value().actualSeconds, image.width, image.height,
                                      fileName.value()});
  } catch (const std::bad_alloc&) {
    // What the sample held is released by now; the next one may fit.
    job.shown.reset();
    outcome.failure.emplace(FailureRecord{job.index, job.requestedSeconds, kOutOfMemoryReason});
  }
}

void StillMaker::run() {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return waiting_ || closing_; });
    if (!waiting_) return;
    StillJob job = std::move(*waiting_);
    waiting_.reset();
    busy_ = true;
    changed_.notify_all();
    lock.unlock();
    try {
      makeNow(job);
    } catch (...) {
      job.shown.reset();
      const std::lock_guard failed(mutex_);
      if (!failure_) failure_ = std::current_exception();
    }
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace framepick
