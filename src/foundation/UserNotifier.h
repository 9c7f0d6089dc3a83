// Messages shown to the user (message boxes in the app, stderr elsewhere).
#pragma once

#include <functional>
#include <string>

namespace corvane {

using UserNotifier = std::function<void(const std::string& title, const std::string& text)>;

// Installs the host's notifier; an empty one restores the stderr default.
void setUserNotifier(UserNotifier notifier);
void notifyUser(const std::string& title, const std::string& text);

}  // namespace corvane
