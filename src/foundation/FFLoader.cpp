#include "foundation/FFLoader.h"

#include <sys/stat.h>

#include "foundation/Bindings.h"
#include "foundation/Errors.h"
#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "foundation/StrFormat.h"
#include "foundation/api/avcodec.h"
#include "foundation/api/avdevice.h"
#include "foundation/api/avfilter.h"
#include "foundation/api/avformat.h"
#include "foundation/api/avutil.h"
#include "foundation/api/swresample.h"
#include "foundation/api/swscale.h"

namespace corvane {
namespace {

#define CORVANE_SONAME(base, major) base ".so." #major
#define CORVANE_SONAME_OF(base, major) CORVANE_SONAME(base, major)

constexpr std::array<TLibraryItem, kLibraryCount> kLibraries = {{
    {avUtil, "avutil", false, LIBAVUTIL_VERSION_MAJOR,
     CORVANE_SONAME_OF("libavutil", LIBAVUTIL_VERSION_MAJOR)},
    {swScale, "swscale", false, LIBSWSCALE_VERSION_MAJOR,
     CORVANE_SONAME_OF("libswscale", LIBSWSCALE_VERSION_MAJOR)},
    {swResample, "swresample", false, LIBSWRESAMPLE_VERSION_MAJOR,
     CORVANE_SONAME_OF("libswresample", LIBSWRESAMPLE_VERSION_MAJOR)},
    {avCodec, "avcodec", false, LIBAVCODEC_VERSION_MAJOR,
     CORVANE_SONAME_OF("libavcodec", LIBAVCODEC_VERSION_MAJOR)},
    {avFormat, "avformat", false, LIBAVFORMAT_VERSION_MAJOR,
     CORVANE_SONAME_OF("libavformat", LIBAVFORMAT_VERSION_MAJOR)},
    {avFilter, "avfilter", false, LIBAVFILTER_VERSION_MAJOR,
     CORVANE_SONAME_OF("libavfilter", LIBAVFILTER_VERSION_MAJOR)},
    {avDevice, "avdevice", false, LIBAVDEVICE_VERSION_MAJOR,
     CORVANE_SONAME_OF("libavdevice", LIBAVDEVICE_VERSION_MAJOR)},
    {myUtil, "libc", true, 6, "libc.so.6"},
    {SDL2, "SDL2", false, -1, "libSDL2-2.0.so.0"},
    {libSoundTouch, "SoundTouch", false, -1, "libSoundTouchDll.so.1"},
    {libMFX, "libmfx", false, 1, "libmfx.so.1"},
}};

// Library versions as packed major << 16 | minor << 8 | micro.
constexpr std::array<std::int32_t, 7> kBuildVersions = {
    LIBAVUTIL_VERSION_INT,  LIBSWSCALE_VERSION_INT,  LIBSWRESAMPLE_VERSION_INT,
    LIBAVCODEC_VERSION_INT, LIBAVFORMAT_VERSION_INT, LIBAVFILTER_VERSION_INT,
    LIBAVDEVICE_VERSION_INT};

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string versionString(std::int32_t v) {
  return strprintf("%d.%d.%d", v >> 16, (v >> 8) & 0xFF, v & 0xFF);
}

}  // namespace

const TLibraryItem& libraryItem(TLibrary lib) { return kLibraries.at(lib); }

TFFLoader::TFFLoader() = default;

TFFLoader::~TFFLoader() {
  // A player thread still inside the library's open call would run into
  // unmapped code: leave everything loaded then.
  if (!openingInput()) UnloadAll();
}

std::string TFFLoader::libraryNameLocked(TLibrary lib) const {
  const std::string& name = FStatus[lib].Name;
  return name.empty() ? std::string(kLibraries[lib].DefaultFile) : name;
}

std::string TFFLoader::LibraryNames(TLibrary ALibrary) const {
  std::lock_guard g(FLock);
  return libraryNameLocked(ALibrary);
}

void TFFLoader::SetLibraryName(TLibrary ALibrary, const std::string& AValue) {
  std::lock_guard g(FLock);
  FStatus[ALibrary].Loads = 0;
  unloadLocked(ALibrary);
  FStatus[ALibrary].Name = AValue;
}

std::string TFFLoader::LastErrMsg() const {
  std::lock_guard g(FLock);
  return FLastErrMsg;
}

std::string TFFLoader::LibraryPath() const {
  std::lock_guard g(FLock);
  return FLibraryPath;
}

void TFFLoader::SetLibraryPath(const std::string& APath) {
  std::lock_guard g(FLock);
  FLibraryPath = APath;
}

bool TFFLoader::loadLocked(TLibrary lib) {
  TLibraryStatus& st = FStatus[lib];
  const TLibraryItem& item = kLibraries[lib];
  const std::string effective = libraryNameLocked(lib);

  if (!st.Handle) {
    std::string tried;
    const auto slash = effective.rfind('/');
    if (slash != std::string::npos) {
      tried = effective;  // an explicit path is used verbatim
    } else if (!FLibraryPath.empty() && !item.SysLib) {
      std::string dir = FLibraryPath;
      if (dir.back() != '/') dir += '/';
      tried = fileExists(dir + effective) ? dir + effective : effective;
    } else {
      tried = effective;
    }
    // libavdevice maps SDL2 as a dependency; never map a second copy of it.
    if (lib == SDL2 && tried != effective) {
      if (DynLib mapped = DynLib::openIfLoaded(item.DefaultFile)) {
        FFLogger().Log(nullptr, llInfo, "%s is already mapped; using it instead of %s",
                       item.DefaultFile, tried.c_str());
        st.Handle = std::move(mapped);
        st.Path = item.DefaultFile;
      }
    }
    if (!st.Handle) {
      DynLib::Error err;
      st.Handle = DynLib::open(tried, &err);
      st.Path = tried;
      if (!st.Handle) {
        FLastErrMsg =
            strprintf("Load library %s error(#%d): %s", tried.c_str(), err.code, err.text.c_str());
        return false;
      }
    }
  }

  if (!st.Fixuped) {
    try {
      fixupLibrary(lib, effective, st.Handle);
      st.Fixuped = true;
      st.Handle.keepMapped(st.Path);
    } catch (const EBindError& e) {
      FLastErrMsg = e.what();
    }
  }
  if (!st.Fixuped) {
    st.Handle.reset();
    return false;
  }
  if (lib == avUtil && FInstallLogger) FFLogger().InstallAVLogCallback();
  return true;
}

bool TFFLoader::Load(TLibrary ALibrary) {
  std::lock_guard g(FLock);
  if (!loadLocked(ALibrary)) return false;
  ++FStatus[ALibrary].Loads;
  return true;
}

bool TFFLoader::Load(TLibraries ALibraries) {
  CORVANE_ASSERT(!ALibraries.empty(), "Load of an empty library set");
  std::lock_guard g(FLock);
  TLibraries counted;
  for (int i = 0; i < kLibraryCount; ++i) {
    const auto lib = static_cast<TLibrary>(i);
    if (!ALibraries.contains(lib)) continue;
    if (!loadLocked(lib)) {
      // Roll back this call only: libraries that were loaded before stay.
      for (int j = kLibraryCount - 1; j >= 0; --j) {
        const auto done = static_cast<TLibrary>(j);
        if (!counted.contains(done)) continue;
        if (--FStatus[done].Loads <= 0) {
          FStatus[done].Loads = 0;
          unloadLocked(done);
        }
      }
      return false;
    }
    ++FStatus[lib].Loads;
    counted = counted | lib;
  }
  return true;
}

bool TFFLoader::loadedLocked(TLibrary lib) const {
  return FStatus[lib].Handle && FStatus[lib].Fixuped;
}

bool TFFLoader::Loaded(TLibrary ALibrary) const {
  std::lock_guard g(FLock);
  return loadedLocked(ALibrary);
}

bool TFFLoader::Loaded(TLibraries ALibraries) const {
  CORVANE_ASSERT(!ALibraries.empty(), "Loaded of an empty library set");
  std::lock_guard g(FLock);
  for (int i = 0; i < kLibraryCount; ++i) {
    const auto lib = static_cast<TLibrary>(i);
    if (ALibraries.contains(lib) && !loadedLocked(lib)) return false;
  }
  return true;
}

void TFFLoader::CheckLibAV(TLibraries ALibraries) const {
  std::lock_guard g(FLock);
  for (int i = 0; i < kLibraryCount; ++i) {
    const auto lib = static_cast<TLibrary>(i);
    if (ALibraries.contains(lib) && !loadedLocked(lib))
      throw ELibraryError(strprintf("Library %s not loaded.", kLibraries[lib].Name));
  }
}

void TFFLoader::unloadLocked(TLibrary lib) {
  TLibraryStatus& st = FStatus[lib];
  if (st.Fixuped) {
    unfixLibrary(lib);
    st.Fixuped = false;
  }
  st.Handle.reset();
}

void TFFLoader::Unload(TLibrary ALibrary) {
  std::lock_guard g(FLock);
  TLibraryStatus& st = FStatus[ALibrary];
  if (st.Loads > 1) {
    --st.Loads;
    return;
  }
  st.Loads = 0;
  unloadLocked(ALibrary);
}

void TFFLoader::Unload(TLibraries ALibraries) {
  CORVANE_ASSERT(!ALibraries.empty(), "Unload of an empty library set");
  for (int i = 0; i < kLibraryCount; ++i) {
    const auto lib = static_cast<TLibrary>(i);
    if (ALibraries.contains(lib)) Unload(lib);
  }
}

void TFFLoader::UnloadAll() {
  std::lock_guard g(FLock);
  for (int i = 0; i < kLibraryCount; ++i) {
    FStatus[i].Loads = 0;
    unloadLocked(static_cast<TLibrary>(i));
  }
}

std::int32_t TFFLoader::GetLibBuildVer(TLibrary ALibrary) {
  return ALibrary <= avDevice ? kBuildVersions[ALibrary] : -1;
}

std::string TFFLoader::GetLibBuildVerStr(TLibrary ALibrary) {
  return ALibrary <= avDevice ? versionString(GetLibBuildVer(ALibrary)) : "N/A";
}

std::int32_t TFFLoader::GetLibFileVer(TLibrary ALibrary) const {
  CheckLibAV(kEncoderLibraries);
  const MediaLibraryInfo* info = mediaLibraryInfo(ALibrary);
  return info ? static_cast<std::int32_t>((*info->version)()) : -1;
}

std::string TFFLoader::GetLibFileVerStr(TLibrary ALibrary) const {
  if (ALibrary > avDevice) return "N/A";
  return versionString(GetLibFileVer(ALibrary));
}

std::string TFFLoader::GetLibLicense(TLibrary ALibrary) const {
  CheckLibAV(kEncoderLibraries);
  const MediaLibraryInfo* info = mediaLibraryInfo(ALibrary);
  return info ? (*info->license)() : "";
}

std::string TFFLoader::GetLibConfiguration(TLibrary ALibrary) const {
  CheckLibAV(kEncoderLibraries);
  const MediaLibraryInfo* info = mediaLibraryInfo(ALibrary);
  return info ? (*info->configuration)() : "";
}

TFFLoader& FFLoader() {
  static TFFLoader loader;
  return loader;
}

}  // namespace corvane
