// How many threads a batch of points is shared among: the one rule for
// every batch evaluation (FieldMap::field, the gradient, the queries and
// the Python module).
#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>

namespace fieldscan {

// Below this many points a thread costs more to start than its share of a
// batch saves: a thread starts in tens of microseconds, and this many
// points take a few hundred to evaluate.
inline constexpr std::size_t kPointsPerThread = 8192;

// More threads than this would only wait for each other.
inline constexpr unsigned kMaxBatchThreads = 64;

// The threads for a batch of `count` points: `requested` (0: one per core),
// but no more than one per kPointsPerThread points and kMaxBatchThreads,
// and at least one.
inline unsigned batch_threads(std::size_t count, unsigned requested = 0) {
  const unsigned wanted = requested != 0 ? requested : std::thread::hardware_concurrency();
  const std::size_t useful = std::max<std::size_t>(1, count / kPointsPerThread);
  return static_cast<unsigned>(
      std::max<std::size_t>(1, std::min<std::size_t>({wanted, useful, kMaxBatchThreads})));
}

}  // namespace fieldscan
