// Which samples one decoder takes in turn, and how many decoders pay.

#include "extract/chains.h"

#include <algorithm>
#include <functional>
#include <map>

namespace framepick {
namespace {

// Each frame thread beyond the first adds this much of a core's speed: they keep two cores only
// 70 to 75 % busy on H.264 and VP9. Frame threads do not pay beyond four.
constexpr double kFrameThreadGain = 0.4;
constexpr int kMostFrameThreads = 4;

}  // namespace

std::vector<Chain> planChains(const std::vector<double>& targets,
                              const std::vector<double>& keyframes) {
  if (keyframes.empty()) {
    Chain all{{}, 0};
    for (size_t position = 0; position < targets.size(); ++position) {
      all.samples.push_back(position);
      all.decodeSeconds = std::max(all.decodeSeconds, targets[position]);
    }
    return {all};
  }
  std::vector<Chain> chains;
  std::map<size_t, size_t> chainOfKeyframe;  // keyframe number to chain number
  for (size_t position = 0; position < targets.size(); ++position) {
    // The last keyframe at or before the target; a target before the first goes with the first.
    const auto after = std::upper_bound(keyframes.begin(), keyframes.end(), targets[position]);
    const size_t keyframe = after == keyframes.begin() ? 0 : after - keyframes.begin() - 1;
    const auto [entry, added] = chainOfKeyframe.try_emplace(keyframe, chains.size());
    if (added) chains.push_back({{}, 0});
    Chain& chain = chains[entry->second];
    chain.samples.push_back(position);
    chain.decodeSeconds = std::max(chain.decodeSeconds, targets[position] - keyframes[keyframe]);
  }
  return chains;
}

double criticalPath(std::vector<double> chainCosts, int workers) {
  std::sort(chainCosts.begin(), chainCosts.end(), std::greater<>());
  std::vector<double> load(static_cast<size_t>(std::max(workers, 1)), 0.0);
  for (const double cost : chainCosts) *std::min_element(load.begin(), load.end()) += cost;
  return *std::max_element(load.begin(), load.end());
}

int workerCount(const std::vector<Chain>& chains, int maxWorkers, int cores) {
  std::vector<double> costs;
  for (const Chain& chain : chains) costs.push_back(chain.decodeSeconds);
  const int threads = std::clamp(cores, 1, kMostFrameThreads);
  double best = criticalPath(costs, 1) / (1 + kFrameThreadGain * (threads - 1));
  int chosen = 1;
  const int most = std::min(maxWorkers, static_cast<int>(chains.size()));
  for (int workers = 2; workers <= most; ++workers) {
    const double wall = criticalPath(costs, workers);
    if (wall < best) {
      best = wall;
      chosen = workers;
    }
  }
  return chosen;
}

}  // namespace framepick
