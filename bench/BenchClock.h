// Process CPU and wall time of a piece of work, and scratch file names, for
// the benchmarks that compare a component with a bare loop in the same run.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace corvane::bench {

struct Cost {
  double cpu = 0;
  double wall = 0;
};

inline double processCpu() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

template <class F>
Cost measure(F&& work) {
  const double c0 = processCpu();
  const auto w0 = std::chrono::steady_clock::now();
  work();
  return {processCpu() - c0,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count()};
}

// CPU and wall time each the median of the rounds.
inline Cost median(const std::vector<Cost>& v) {
  const auto mid = [](std::vector<double> x) {
    std::sort(x.begin(), x.end());
    return x[x.size() / 2];
  };
  std::vector<double> cpu, wall;
  for (const Cost& c : v) {
    cpu.push_back(c.cpu);
    wall.push_back(c.wall);
  }
  return {mid(cpu), mid(wall)};
}

inline std::string scratch(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("corvane-bench-" + std::to_string(::getpid()) + "-" + name))
      .string();
}

}  // namespace corvane::bench
