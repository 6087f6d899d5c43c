#include "extract/capture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "extract/plan.h"
#include "files/frame_file.h"

namespace framepick {
namespace {

constexpr const char* kOutOfMemoryReason = "memory ran out while taking this sample";

using Clock = std::chrono::steady_clock;

// What one sample came to: exactly one of the two is set.
struct SampleOutcome {
  std::optional<FrameRecord> frame;
  std::optional<FailureRecord> failure;
};

void takeSample(FrameGenerator& generator, int64_t index, double requestedSeconds,
                const std::filesystem::path& outputURL, SampleOutcome& outcome) {
  try {
    const Result<CapturedImage> captured = copyImageAtTime(generator, requestedSeconds);
    if (!captured.ok()) {
      outcome.failure.emplace(FailureRecord{index, requestedSeconds, captured.error().message});
      return;
    }
    const Image& image = captured.value().image;
    const Result<std::string> fileName = writeFrameFile(image, index, outputURL);
    if (!fileName.ok()) {
      outcome.failure.emplace(FailureRecord{index, requestedSeconds, fileName.error().message});
      return;
    }
    outcome.frame.emplace(FrameRecord{index, requestedSeconds, captured.value().actualSeconds,
                                      image.width, image.height, fileName.value()});
  } catch (const std::bad_alloc&) {
    // What the sample held is released by now; the next one may fit.
    outcome.failure.emplace(FailureRecord{index, requestedSeconds, kOutOfMemoryReason});
  }
}

void addCounters(DecodeCounters& total, const DecodeCounters& more) {
  total.seeks += more.seeks;
  total.packetsRead += more.packetsRead;
  total.framesDecoded += more.framesDecoded;
  total.convertingSeconds += more.convertingSeconds;
}

// Takes the chains on the generators, one thread each. A lone generator takes them in the order
// of their samples; several take the longest chain left. The first exception a thread meets is
// rethrown here, once all have ended.
void takeChains(std::vector<FrameGenerator*> generators, const std::vector<Chain>& chains,
                const std::vector<double>& targets, const std::filesystem::path& outputURL,
                std::vector<SampleOutcome>& outcomes, std::vector<double>& chainSeconds) {
  std::vector<size_t> order(chains.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  if (generators.size() > 1) {
    std::stable_sort(order.begin(), order.end(), [&chains](size_t a, size_t b) {
      return chains[a].decodeSeconds > chains[b].decodeSeconds;
    });
  }
  std::atomic<size_t> nextChain = 0;
  std::vector<std::exception_ptr> failures(generators.size());
  const auto work = [&](size_t worker) {
    try {
      for (size_t taken; (taken = nextChain++) < order.size();) {
        const Chain& chain = chains[order[taken]];
        const Clock::time_point start = Clock::now();
        for (const size_t position : chain.samples) {
          takeSample(*generators[worker], static_cast<int64_t>(position + 1), targets[position],
                     outputURL, outcomes[position]);
        }
        chainSeconds[order[taken]] = std::chrono::duration<double>(Clock::now() - start).count();
      }
    } catch (...) {
      failures[worker] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  for (size_t worker = 1; worker < generators.size(); ++worker) {
    try {
      threads.emplace_back(work, worker);
    } catch (const std::system_error&) {
      break;  // no thread to be had: the workers already running share the chains
    }
  }
  work(0);
  for (std::thread& thread : threads) thread.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace

CaptureRecords captureFrames(FrameGenerator& generator, const std::vector<double>& fractions,
                             double durationSeconds, const std::filesystem::path& outputURL,
                             int maxWorkers) {
  std::vector<double> targets;
  for (const double fraction : fractions)
    targets.push_back(requestedTime(fraction, durationSeconds));
  CaptureRecords records;
  records.work.chains = planChains(targets, keyframeSeconds(generator));
  records.work.chainSeconds.assign(records.work.chains.size(), 0);
  const int workers = workerCount(records.work.chains, maxWorkers, parallelRoom(generator).cores);

  // Single-threaded decoders of their own when several work at once; the first generator, with
  // its frame threads, when one does.
  std::vector<FrameGeneratorHandle> siblings;
  std::vector<FrameGenerator*> generators;
  for (int worker = 0; workers > 1 && worker < workers; ++worker) {
    FrameGeneratorHandle sibling = makeSiblingGenerator(generator, 1);
    if (!sibling) break;
    generators.push_back(sibling.get());
    siblings.push_back(std::move(sibling));
  }
  if (generators.size() < 2) generators = {&generator};
  records.work.workers = static_cast<int>(generators.size());

  // Room for every outcome up front: once memory runs out, a failure must still find its place.
  std::vector<SampleOutcome> outcomes(targets.size());
  records.frames.reserve(targets.size());
  records.failures.reserve(targets.size());
  takeChains(generators, records.work.chains, targets, outputURL, outcomes,
             records.work.chainSeconds);
  for (SampleOutcome& outcome : outcomes) {
    if (outcome.frame) records.frames.push_back(std::move(*outcome.frame));
    if (outcome.failure) records.failures.push_back(std::move(*outcome.failure));
  }
  records.work.counters = decodeCounters(generator);
  for (const FrameGeneratorHandle& sibling : siblings) {
    addCounters(records.work.counters, decodeCounters(*sibling));
  }
  return records;
}

}  // namespace framepick
