#include "foundation/Bindings.h"

#include <array>

#include "foundation/DynLib.h"
#include "foundation/StrFormat.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avdevice.h"
#include "foundation/api/avfilter.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"
#include "foundation/api/crt.h"
#include "foundation/api/mfx.h"
#include "foundation/api/sdl2.h"
#include "foundation/api/soundtouch.h"
#include "foundation/api/swresample.h"
#include "foundation/api/swscale.h"

namespace corvane {
namespace {

std::atomic<int> gSoundTouchVersion{0};
// Library-wide set-up steps that ran and must be undone on unfix.
std::array<bool, kLibraryCount> gSetupRan{};
std::array<std::atomic<TBindingObserver>, kLibraryCount> gObservers{};

void notify(TLibrary lib, bool bound) {
  if (TBindingObserver o = gObservers[lib].load()) o(lib, bound);
}

template <class F>
void bindOne(const DynLib& module, const std::string& file, const char* name, F& slot,
             bool optional) {
  std::string err;
  void* p = module.symbol(name, &err);
  if (!p && !optional)
    throw EBindError(strprintf("Load function %s@%s error: %s", name, file.c_str(), err.c_str()));
  slot = reinterpret_cast<F>(p);
}

#define CORVANE_BIND_SLOT(n, T, optional) bindOne(module, file, #n, n, optional);
#define CORVANE_CLEAR_SLOT(n, T, optional) n = nullptr;

}  // namespace
}  // namespace corvane

// The bind and clear functions live in each slot namespace, so that the
// unqualified names in the lists refer to the slots, not the library functions.
#define CORVANE_DEFINE_BINDER(ns, LIST, id)                                       \
  namespace ns {                                                                  \
  static void bind_##id(const corvane::DynLib& module, const std::string& file) { \
    using corvane::bindOne;                                                       \
    LIST(CORVANE_BIND_SLOT)                                                       \
  }                                                                               \
  static void clear_##id() { LIST(CORVANE_CLEAR_SLOT) }                           \
  }

CORVANE_DEFINE_BINDER(ff, CORVANE_AVUTIL_FUNCTIONS, avutil)
CORVANE_DEFINE_BINDER(ff, CORVANE_SWSCALE_FUNCTIONS, swscale)
CORVANE_DEFINE_BINDER(ff, CORVANE_SWRESAMPLE_FUNCTIONS, swresample)
CORVANE_DEFINE_BINDER(ff, CORVANE_AVCODEC_FUNCTIONS, avcodec)
CORVANE_DEFINE_BINDER(ff, CORVANE_AVFORMAT_FUNCTIONS, avformat)
CORVANE_DEFINE_BINDER(ff, CORVANE_AVFILTER_FUNCTIONS, avfilter)
CORVANE_DEFINE_BINDER(ff, CORVANE_AVDEVICE_FUNCTIONS, avdevice)
CORVANE_DEFINE_BINDER(crt, CORVANE_CRT_FUNCTIONS, crt)
CORVANE_DEFINE_BINDER(sdl, CORVANE_SDL2_FUNCTIONS, sdl2)
CORVANE_DEFINE_BINDER(st, CORVANE_SOUNDTOUCH_FUNCTIONS, soundtouch)
CORVANE_DEFINE_BINDER(mfx, CORVANE_MFX_FUNCTIONS, mfx)

namespace corvane {
namespace {

using BindFn = void (*)(const DynLib&, const std::string&);
using ClearFn = void (*)();

struct Binder {
  BindFn bind;
  ClearFn clear;
};

constexpr std::array<Binder, kLibraryCount> kBinders = {{
    {ff::bind_avutil, ff::clear_avutil},
    {ff::bind_swscale, ff::clear_swscale},
    {ff::bind_swresample, ff::clear_swresample},
    {ff::bind_avcodec, ff::clear_avcodec},
    {ff::bind_avformat, ff::clear_avformat},
    {ff::bind_avfilter, ff::clear_avfilter},
    {ff::bind_avdevice, ff::clear_avdevice},
    {crt::bind_crt, crt::clear_crt},
    {sdl::bind_sdl2, sdl::clear_sdl2},
    {st::bind_soundtouch, st::clear_soundtouch},
    {mfx::bind_mfx, mfx::clear_mfx},
}};

std::string versionText(unsigned v) {
  return strprintf("%u.%u.%u", AV_VERSION_MAJOR(v), AV_VERSION_MINOR(v), AV_VERSION_MICRO(v));
}

// Run-time major of the bound library against the header's; "" when they agree.
std::string majorMismatch(TLibrary lib, const std::string& file) {
  if (lib == SDL2) {
    SDL_version v{};
    sdl::SDL_GetVersion(&v);
    if (v.major == SDL_MAJOR_VERSION) return {};
    return strprintf("Library %s is version %d.%d.%d, but major version %d is required",
                     file.c_str(), v.major, v.minor, v.patch, SDL_MAJOR_VERSION);
  }
  const MediaLibraryInfo* info = mediaLibraryInfo(lib);
  if (!info) return {};
  const unsigned runtime = (*info->version)();
  if (static_cast<int>(AV_VERSION_MAJOR(runtime)) == info->headerMajor) return {};
  return strprintf("Library %s is version %s, but major version %d is required", file.c_str(),
                   versionText(runtime).c_str(), info->headerMajor);
}

void runSetup(TLibrary lib) {
  switch (lib) {
    case avFormat:
      ff::avformat_network_init();
      break;
    case avDevice:
      ff::avdevice_register_all();
      break;
    case libSoundTouch:
      gSoundTouchVersion = static_cast<int>(st::soundtouch_getVersionId());
      break;
    default:
      break;
  }
  gSetupRan[lib] = true;
}

void undoSetup(TLibrary lib) {
  if (!gSetupRan[lib]) return;
  gSetupRan[lib] = false;
  switch (lib) {
    case avUtil:
      // Library threads may still log: hand them back the library's own callback.
      ff::av_log_set_callback(ff::av_log_default_callback);
      break;
    case avFormat:
      ff::avformat_network_deinit();
      break;
    case SDL2:
      if (sdl::SDL_WasInit(SDL_INIT_EVERYTHING) != 0) sdl::SDL_Quit();
      break;
    case libSoundTouch:
      gSoundTouchVersion = 0;
      break;
    default:
      break;
  }
}

}  // namespace

const MediaLibraryInfo* mediaLibraryInfo(TLibrary lib) {
  static const std::array<MediaLibraryInfo, 7> table = {{
      {&ff::avutil_version, &ff::avutil_license, &ff::avutil_configuration,
       LIBAVUTIL_VERSION_MAJOR},
      {&ff::swscale_version, &ff::swscale_license, &ff::swscale_configuration,
       LIBSWSCALE_VERSION_MAJOR},
      {&ff::swresample_version, &ff::swresample_license, &ff::swresample_configuration,
       LIBSWRESAMPLE_VERSION_MAJOR},
      {&ff::avcodec_version, &ff::avcodec_license, &ff::avcodec_configuration,
       LIBAVCODEC_VERSION_MAJOR},
      {&ff::avformat_version, &ff::avformat_license, &ff::avformat_configuration,
       LIBAVFORMAT_VERSION_MAJOR},
      {&ff::avfilter_version, &ff::avfilter_license, &ff::avfilter_configuration,
       LIBAVFILTER_VERSION_MAJOR},
      {&ff::avdevice_version, &ff::avdevice_license, &ff::avdevice_configuration,
       LIBAVDEVICE_VERSION_MAJOR},
  }};
  return lib <= avDevice ? &table[lib] : nullptr;
}

void fixupLibrary(TLibrary lib, const std::string& fileName, const DynLib& module) {
  const Binder& b = kBinders[lib];
  try {
    b.bind(module, fileName);
    if (std::string mismatch = majorMismatch(lib, fileName); !mismatch.empty())
      throw EBindError(mismatch);
  } catch (...) {
    b.clear();
    throw;
  }
  runSetup(lib);
  notify(lib, true);
}

void unfixLibrary(TLibrary lib) {
  undoSetup(lib);
  kBinders[lib].clear();
  notify(lib, false);
}

void setBindingObserver(TLibrary lib, TBindingObserver observer) { gObservers[lib] = observer; }

int soundTouchVersionId() { return gSoundTouchVersion; }

}  // namespace corvane
