// Taking the samples: one record each, from one decoder or several at once.

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

#include "clock.h"
#include "extract/plan.h"
#include "extract/still_maker.h"

namespace framepick {
namespace {

// Finds the sample's frame and hands it to the maker of its still.
void takeSample(FrameGenerator& generator, StillMaker& maker, int64_t index,
                double requestedSeconds, SampleOutcome& outcome) {
  try {
    Result<ShownFrameHandle> shown = findFrameAtTime(generator, requestedSeconds);
    if (!shown.ok()) {
      outcome.failure.emplace(FailureRecord{index, requestedSeconds, shown.error().message});
      return;
    }
    maker.make(StillJob{std::move(shown.value()), index, requestedSeconds, &outcome});
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

// Takes the samples of the chains in `order` on `generator`, the next chain from `next` until
// none is left. Returns the time spent encoding and writing their stills.
double takeChains(FrameGenerator& generator, const std::vector<Chain>& chains,
                  const std::vector<size_t>& order, std::atomic<size_t>& next,
                  const std::vector<double>& targets, const std::filesystem::path& outputURL,
                  std::vector<SampleOutcome>& outcomes, std::vector<double>& chainSeconds) {
  StillMaker maker(generator, outputURL);
  for (size_t taken; (taken = next++) < order.size();) {
    const Chain& chain = chains[order[taken]];
    const Clock::time_point start = Clock::now();
    for (const size_t position : chain.samples) {
      takeSample(generator, maker, static_cast<int64_t>(position + 1), targets[position],
                 outcomes[position]);
    }
    chainSeconds[order[taken]] = std::chrono::duration<double>(Clock::now() - start).count();
  }
  maker.finish();
  return maker.writingSeconds();
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

  // Room for every outcome up front: once memory runs out, a failure must still find its place.
  std::vector<SampleOutcome> outcomes(targets.size());
  records.frames.reserve(targets.size());
  records.failures.reserve(targets.size());
  const std::vector<Chain>& chains = records.work.chains;
  std::vector<size_t> order(chains.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::atomic<size_t> next = 0;
  records.work.workers = 1;
  if (workers > 1) {
    // Longest first, each on a single-threaded decoder of its own, opened on its thread. A
    // worker that cannot have one takes nothing; the first generator takes what is left.
    std::stable_sort(order.begin(), order.end(), [&chains](size_t a, size_t b) {
      return chains[a].decodeSeconds > chains[b].decodeSeconds;
    });
    std::vector<DecodeCounters> counters(static_cast<size_t>(workers));
    std::vector<double> writingSeconds(static_cast<size_t>(workers));
    std::vector<std::exception_ptr> failures(static_cast<size_t>(workers));
    std::atomic<int> decoders = 0;
    const auto work = [&](size_t worker) {
      try {
        FrameGeneratorHandle own;
        try {
          own = makeSiblingGenerator(generator, 1);
        } catch (const std::bad_alloc&) {
          return;  // short of memory: one decoder fewer
        }
        if (!own) return;
        ++decoders;
        writingSeconds[worker] = takeChains(*own, chains, order, next, targets, outputURL, outcomes,
                                            records.work.chainSeconds);
        counters[worker] = decodeCounters(*own);
      } catch (...) {
        failures[worker] = std::current_exception();
      }
    };
    std::vector<std::thread> threads;
    for (size_t worker = 1; worker < counters.size(); ++worker) {
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
    for (const DecodeCounters& some : counters) addCounters(records.work.counters, some);
    for (const double seconds : writingSeconds) records.work.writingSeconds += seconds;
    records.work.workers = std::max(decoders.load(), 1);
    // Without a decoder of their own (a file only one reading can time, AVI), the chains go to
    // the first generator in the order of their samples, as a lone decoder takes them.
    if (decoders == 0) std::sort(order.begin(), order.end());
  }
  records.work.writingSeconds += takeChains(generator, chains, order, next, targets, outputURL,
                                            outcomes, records.work.chainSeconds);
  addCounters(records.work.counters, decodeCounters(generator));
  for (SampleOutcome& outcome : outcomes) {
    if (outcome.frame) records.frames.push_back(std::move(*outcome.frame));
    if (outcome.failure) records.failures.push_back(std::move(*outcome.failure));
  }
  return records;
}

}  // namespace framepick
