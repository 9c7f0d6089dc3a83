// corvane-libinfo: library versions and capability listings of the media libraries.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "foundation/Errors.h"
#include "foundation/FFLoader.h"
#include "foundation/api/sdl2.h"
#include "foundation/api/soundtouch.h"

using namespace corvane;

namespace {

using Listing = int (TFFLoader::*)(std::vector<std::string>&) const;

const std::map<std::string, Listing> kListings = {
    {"--codecs", &TFFLoader::GetCodecs},       {"--decoders", &TFFLoader::GetDecoders},
    {"--encoders", &TFFLoader::GetEncoders},   {"--formats", &TFFLoader::GetFormats},
    {"--demuxers", &TFFLoader::GetDemuxers},   {"--muxers", &TFFLoader::GetMuxers},
    {"--devices", &TFFLoader::GetDevices},     {"--filters", &TFFLoader::GetFilters},
    {"--protocols", &TFFLoader::GetProtocols}, {"--layouts", &TFFLoader::GetLayouts},
    {"--pixfmts", &TFFLoader::GetPixFmts},     {"--samplefmts", &TFFLoader::GetSampleFmts},
};

void usage(FILE* out) {
  std::fprintf(out,
               "usage: corvane-libinfo [--libdir DIR] [--libname LIB=FILE ...] [LISTING]\n"
               "LISTING is one of:");
  for (const auto& [flag, fn] : kListings) std::fprintf(out, " %s", flag.c_str());
  std::fprintf(out, "\nLIB is a library name: ");
  for (int i = 0; i < kLibraryCount; ++i)
    std::fprintf(out, "%s%s", i ? ", " : "", libraryItem(static_cast<TLibrary>(i)).Name);
  std::fprintf(out, "\n");
}

bool libraryByName(const std::string& name, TLibrary* lib) {
  for (int i = 0; i < kLibraryCount; ++i) {
    if (name == libraryItem(static_cast<TLibrary>(i)).Name) {
      *lib = static_cast<TLibrary>(i);
      return true;
    }
  }
  return false;
}

std::string fileVersion(TLibrary lib) {
  if (!FFLoader().Loaded(lib)) return "not loaded";
  if (lib == SDL2 && sdl::SDL_GetVersion) {
    SDL_version v{};
    sdl::SDL_GetVersion(&v);
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
  }
  if (lib == libSoundTouch && st::soundtouch_getVersionString)
    return st::soundtouch_getVersionString();
  return FFLoader().GetLibFileVerStr(lib);
}

std::string buildVersion(TLibrary lib) {
  if (lib == SDL2)
    return std::to_string(SDL_MAJOR_VERSION) + "." + std::to_string(SDL_MINOR_VERSION) + "." +
           std::to_string(SDL_PATCHLEVEL);
  return TFFLoader::GetLibBuildVerStr(lib);
}

}  // namespace

int main(int argc, char** argv) {
  TFFLoader& loader = FFLoader();
  Listing listing = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--libdir" || arg == "--libname") && i + 1 >= argc) {
      std::fprintf(stderr, "corvane-libinfo: %s needs a value\n", arg.c_str());
      return 2;
    }
    if (arg == "--libdir") {
      loader.SetLibraryPath(argv[++i]);
    } else if (arg == "--libname") {
      const std::string assignment = argv[++i];
      const auto eq = assignment.find('=');
      TLibrary lib;
      if (eq == std::string::npos || !libraryByName(assignment.substr(0, eq), &lib)) {
        std::fprintf(stderr, "corvane-libinfo: bad --libname %s (expected LIB=FILE)\n",
                     assignment.c_str());
        return 2;
      }
      loader.SetLibraryName(lib, assignment.substr(eq + 1));
    } else if (auto it = kListings.find(arg); it != kListings.end() && !listing) {
      listing = it->second;
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "corvane-libinfo: unexpected argument %s\n", arg.c_str());
      usage(stderr);
      return 2;
    }
  }

  if (!loader.Load(kEncoderLibraries)) {
    std::fprintf(stderr, "%s\n", loader.LastErrMsg().c_str());
    return 1;
  }

  try {
    if (listing) {
      std::vector<std::string> lines;
      (loader.*listing)(lines);
      for (const auto& l : lines) std::printf("%s\n", l.c_str());
      return 0;
    }
    // The optional libraries are reported, not required.
    std::vector<std::string> warnings;
    for (TLibrary lib : {SDL2, libSoundTouch, libMFX})
      if (!loader.Load(lib)) warnings.push_back(loader.LastErrMsg());
    for (int i = 0; i < kLibraryCount; ++i) {
      const auto lib = static_cast<TLibrary>(i);
      std::printf("%s %s build %s file %s\n", libraryItem(lib).Name,
                  loader.LibraryNames(lib).c_str(), buildVersion(lib).c_str(),
                  fileVersion(lib).c_str());
    }
    for (const auto& w : warnings) std::fprintf(stderr, "%s\n", w.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvane-libinfo: %s\n", e.what());
    return 1;
  }
  return 0;
}
