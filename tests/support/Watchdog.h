// Ends the process when a step does not return in time, so that a deadlock
// fails the test run instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>

namespace testrig {

template <class F>
void withinDeadline(std::chrono::seconds limit, const char* what, F&& fn) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  auto watchdog = std::async(std::launch::async, [&] {
    std::unique_lock g(m);
    if (!cv.wait_for(g, limit, [&] { return done; })) {
      std::fprintf(stderr, "watchdog: %s did not finish within %lld s\n", what,
                   static_cast<long long>(limit.count()));
      std::abort();
    }
  });
  fn();
  {
    std::lock_guard g(m);
    done = true;
  }
  cv.notify_all();
}

}  // namespace testrig
