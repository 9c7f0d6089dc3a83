// Native X11 windows handed to the player. Xlib's default error handler ends
// the process on any protocol error, such as the media layer touching a
// window that no longer exists; here a window id is checked before it is
// wrapped, and a handler that only logs is kept in place while foreign
// windows are in use. libX11 is opened at run time, never linked: the
// instance the media layer loads is the one configured.
#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// Puts the non-fatal handler in place (it logs the error text at error level,
// identical repeats only now and then, and returns). Xlib has one handler per
// process and the media layer restores the one it found when its video
// subsystem quits, so this is called before each use of a foreign window;
// installing it again is cheap. False when libX11 cannot be loaded.
bool InstallXErrorHandler();

// Checks that id names a window that can be drawn into on the X display
// ($DISPLAY), on a connection of its own, with the non-fatal handler
// installed (it stays installed). A bad id fails with error
// "Invalid window handle 0x...: <reason>" (the X error text, for example
// "BadWindow (invalid Window parameter)"). Without libX11 or without a
// display nothing can be checked: the result is true and the media layer's
// own failure is what the caller reports.
bool ValidateNativeWindow(std::uintptr_t id, std::string& error);

// True once the X server reported window id gone (a BadWindow or BadDrawable
// error on it, seen by the non-fatal handler); why then says so. A later
// successful check of the same id (ids are reused) clears it.
bool NativeWindowLost(std::uintptr_t id, std::string& why);

}  // namespace corvane
