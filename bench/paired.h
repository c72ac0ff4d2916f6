// Paired timing for the benchmarks that compare two ways of doing the same
// work.  The two run alternately on the same input, the one going first
// changing from pair to pair, and each run is timed in thread CPU time, so
// that other work on the shared machine weighs on both sides alike and a
// run that was preempted does not count the time it waited.  The figures
// are the minimum, median and maximum of the pairs' ratios and the median
// time per unit (point) of each side.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace fieldscan::bench {

inline double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t h = v.size() / 2;
  return v.size() % 2 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

// One pair per iteration of `state`: a(i) and b(i) run on the input of pair
// i, each taking `units` units of work.  Sets the counters ratio_min,
// ratio_med and ratio_max of a / b, and ns_<a_name> and ns_<b_name>, the
// median nanoseconds per unit of each.
template <class A, class B>
void run_pairs(benchmark::State& state, double units, const std::string& a_name, A&& a,
               const std::string& b_name, B&& b) {
  const auto ns = [units](auto& run, std::size_t i) {
    const double start = thread_seconds();
    run(i);
    return (thread_seconds() - start) / units * 1e9;
  };
  std::vector<double> ta, tb, ratio;
  for (auto _ : state) {
    const std::size_t i = ratio.size();
    double na, nb;
    if (i % 2 == 0) {
      na = ns(a, i), nb = ns(b, i);
    } else {
      nb = ns(b, i), na = ns(a, i);
    }
    ta.push_back(na), tb.push_back(nb), ratio.push_back(na / nb);
  }
  state.counters["ratio_min"] = *std::min_element(ratio.begin(), ratio.end());
  state.counters["ratio_med"] = median(ratio);
  state.counters["ratio_max"] = *std::max_element(ratio.begin(), ratio.end());
  state.counters["ns_" + a_name] = median(ta);
  state.counters["ns_" + b_name] = median(tb);
}

}  // namespace fieldscan::bench
