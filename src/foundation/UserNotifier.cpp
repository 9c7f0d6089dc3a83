#include "foundation/UserNotifier.h"

#include <cstdio>
#include <mutex>

namespace corvane {
namespace {
std::mutex gLock;
UserNotifier gNotifier;
}  // namespace

void setUserNotifier(UserNotifier notifier) {
  std::lock_guard g(gLock);
  gNotifier = std::move(notifier);
}

void notifyUser(const std::string& title, const std::string& text) {
  UserNotifier n;
  {
    std::lock_guard g(gLock);
    n = gNotifier;
  }
  if (n)
    n(title, text);
  else
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

}  // namespace corvane
