#pragma once

// Making stills on a thread of their own while the decoder moves on to the next sample.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

#include "media/media.h"
#include "response/response.h"

namespace framepick {

// Why a sample failed when memory ran out while taking it.
inline constexpr const char* kOutOfMemoryReason = "memory ran out while taking this sample";

// What one sample came to: exactly one of the two is set.
struct SampleOutcome {
  std::optional<FrameRecord> frame;
  std::optional<FailureRecord> failure;
};

// A frame found for a sample, to be made into its still and file.
struct StillJob {
  ShownFrameHandle shown;
  int64_t index;
  double requestedSeconds;
  SampleOutcome* outcome;
};

// Makes the stills of one generator in the order given, converting, encoding and writing each
// while the generator decodes towards the next, one still at a time.
// Without a thread to be had, each still is made at once on the caller's thread. Must be
// destroyed before its generator.
class StillMaker {
 public:
  StillMaker(FrameGenerator& generator, std::filesystem::path outputURL);
  ~StillMaker();
  StillMaker(const StillMaker&) = delete;
  StillMaker& operator=(const StillMaker&) = delete;

  void make(StillJob job);

  // Waits for every still given; rethrows what went wrong beyond a sample's own failure.
  void finish();

  // Spent encoding and writing the stills, once finished.
  double writingSeconds() const { return writingSeconds_; }

 private:
  void makeNow(StillJob& job);
  void run();

  FrameGenerator& generator_;
  const std::filesystem::path outputURL_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<StillJob> waiting_;
  bool busy_ = false;
  bool closing_ = false;
  std::exception_ptr failure_;
  double writingSeconds_ = 0;
  std::thread thread_;
};

}  // namespace framepick
