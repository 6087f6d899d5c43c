#pragma once

// Which samples one decoder takes in turn, and how many decoders pay.

#include <cstddef>
#include <vector>

namespace framepick {

// Samples that one decoder takes in turn: those whose targets lie after the same keyframe.
struct Chain {
  std::vector<size_t> samples;  // positions in the list of targets, in order
  double decodeSeconds;         // of video from the chain's keyframe to its last target
};

// The chains of the targets, in the order of their first samples. Without keyframes to plan by
// all samples make one chain.
std::vector<Chain> planChains(const std::vector<double>& targets,
                              const std::vector<double>& keyframes);

// The time the chains take on `workers` decoders that each take the longest chain left: the
// wall time of the slowest worker, in the chains' units.
double criticalPath(std::vector<double> chainCosts, int workers);

// How many decoders to run, at most `maxWorkers` and one per chain: one decoder with frame
// threads on `cores`, or single-threaded decoders on separate chains where they finish sooner.
int workerCount(const std::vector<Chain>& chains, int maxWorkers, int cores);

}  // namespace framepick
