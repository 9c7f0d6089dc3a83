#include "player/NativeWindow.h"

#include <mutex>

#include "foundation/DynLib.h"
#include "foundation/Logger.h"
#include "foundation/StrFormat.h"

// Xlib last, for its types only: its macros clash with ordinary names.
#include <X11/Xlib.h>

namespace corvane {
namespace {

// The few Xlib functions used, bound from the process's libX11.
struct TXLib {
  DynLib lib;
  decltype(&::XOpenDisplay) OpenDisplay = nullptr;
  decltype(&::XCloseDisplay) CloseDisplay = nullptr;
  decltype(&::XSetErrorHandler) SetErrorHandler = nullptr;
  decltype(&::XGetWindowAttributes) GetWindowAttributes = nullptr;
  decltype(&::XSync) Sync = nullptr;
  decltype(&::XGetErrorText) GetErrorText = nullptr;

  TXLib() {
    lib = DynLib::open("libX11.so.6", nullptr);
    if (!lib) return;
    bind(OpenDisplay, "XOpenDisplay");
    bind(CloseDisplay, "XCloseDisplay");
    bind(SetErrorHandler, "XSetErrorHandler");
    bind(GetWindowAttributes, "XGetWindowAttributes");
    bind(Sync, "XSync");
    bind(GetErrorText, "XGetErrorText");
    if (!OpenDisplay || !CloseDisplay || !SetErrorHandler || !GetWindowAttributes || !Sync ||
        !GetErrorText)
      lib.reset();
  }
  template <class F>
  void bind(F& f, const char* name) {
    f = reinterpret_cast<F>(lib.symbol(name, nullptr));
  }
  bool Loaded() const { return static_cast<bool>(lib); }
};

const TXLib& xlib() {
  static const TXLib lib;
  return lib;
}

// The error of a window check, caught on the checking thread's own display.
struct TCapture {
  Display* display = nullptr;
  int code = Success;
};
thread_local TCapture* tCapture = nullptr;

// The last error logged and how often it came since: a window that vanished
// under a playing player fails every picture the same way.
struct TRepeats {
  std::mutex lock;
  int code = -1, request = -1, minor = -1;
  unsigned long resource = 0;
  unsigned long long count = 0;
};

TRepeats& repeats() {
  static TRepeats r;
  return r;
}

// The last window the server reported gone, and the report.
struct TLost {
  std::mutex lock;
  unsigned long id = 0;
  std::string why;
};

TLost& lost() {
  static TLost l;
  return l;
}

bool powerOfTen(unsigned long long n) {
  while (n >= 10 && n % 10 == 0) n /= 10;
  return n == 1;
}

int onXError(Display* display, XErrorEvent* e) {
  if (tCapture && tCapture->display == display) {
    if (tCapture->code == Success) tCapture->code = e->error_code;
    return 0;
  }
  char text[256] = {};
  xlib().GetErrorText(display, e->error_code, text, sizeof text);
  if (e->error_code == BadWindow || e->error_code == BadDrawable) {
    TLost& l = lost();
    std::lock_guard g(l.lock);
    l.id = e->resourceid;
    l.why = strprintf("The screen window 0x%lx is gone: %s", e->resourceid, text);
  }
  unsigned long long count = 1;
  {
    TRepeats& r = repeats();
    std::lock_guard g(r.lock);
    if (r.code == e->error_code && r.request == e->request_code && r.minor == e->minor_code &&
        r.resource == e->resourceid) {
      count = ++r.count;
    } else {
      r.code = e->error_code;
      r.request = e->request_code;
      r.minor = e->minor_code;
      r.resource = e->resourceid;
      r.count = 1;
    }
  }
  if (!powerOfTen(count)) return 0;
  const std::string what =
      strprintf("X error: %s; request %d.%d, resource 0x%lx", text,
                static_cast<int>(e->request_code), static_cast<int>(e->minor_code), e->resourceid);
  FFLogger().Log(nullptr, llError,
                 count == 1 ? what : strprintf("%s (%llu times)", what.c_str(), count));
  return 0;
}

// X resource ids have 29 bits.
constexpr std::uintptr_t kMaxXID = (std::uintptr_t{1} << 29) - 1;

}  // namespace

bool InstallXErrorHandler() {
  const TXLib& x = xlib();
  if (!x.Loaded()) return false;
  x.SetErrorHandler(onXError);
  return true;
}

bool ValidateNativeWindow(std::uintptr_t id, std::string& error) {
  const auto invalid = [&](const char* why) {
    error = strprintf("Invalid window handle 0x%llx: %s", static_cast<unsigned long long>(id), why);
    return false;
  };
  if (id == 0 || id > kMaxXID) return invalid("not an X window id");
  if (!InstallXErrorHandler()) return true;
  const TXLib& x = xlib();
  Display* display = x.OpenDisplay(nullptr);
  if (!display) return true;
  TCapture capture{display};
  tCapture = &capture;
  XWindowAttributes attributes{};
  const Status got = x.GetWindowAttributes(display, static_cast<Window>(id), &attributes);
  x.Sync(display, False);
  tCapture = nullptr;
  char text[256] = {};
  if (capture.code != Success) x.GetErrorText(display, capture.code, text, sizeof text);
  x.CloseDisplay(display);
  if (capture.code != Success) return invalid(text);
  if (!got) return invalid("no window attributes");
  if (attributes.c_class == InputOnly) return invalid("an input-only window");
  TLost& l = lost();
  std::lock_guard g(l.lock);
  if (l.id == id) l.id = 0;
  return true;
}

bool NativeWindowLost(std::uintptr_t id, std::string& why) {
  TLost& l = lost();
  std::lock_guard g(l.lock);
  if (id == 0 || l.id != id) return false;
  why = l.why;
  return true;
}

}  // namespace corvane
