// corvane-testmedia: writes test media files into a directory.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "foundation/FFLoader.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace corvane::testmedia;

namespace {

void usage(FILE* out) {
  std::fprintf(out, "usage: corvane-testmedia OUTDIR [KIND...]\nKIND is one of:");
  for (Kind k : kAllKinds) std::fprintf(out, " %s", kindName(k));
  std::fprintf(out, "\nWith no KIND every kind is written. Each path written is printed.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argv[1] == std::string("-h") || argv[1] == std::string("--help")) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const std::filesystem::path dir(argv[1]);
  std::vector<Kind> kinds;
  for (int i = 2; i < argc; ++i) {
    const auto kind = kindFromName(argv[i]);
    if (!kind) {
      std::fprintf(stderr, "corvane-testmedia: unknown kind \"%s\"\n", argv[i]);
      usage(stderr);
      return 2;
    }
    kinds.push_back(*kind);
  }
  if (kinds.empty()) kinds.assign(kAllKinds.begin(), kAllKinds.end());

  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "corvane-testmedia: creating %s: %s\n", dir.c_str(), ec.message().c_str());
    return 1;
  }
  // Held for the whole run, so that the libraries are bound once.
  if (!FFLoader().Load(kEncoderLibraries)) {
    std::fprintf(stderr, "corvane-testmedia: %s\n", FFLoader().LastErrMsg().c_str());
    return 1;
  }
  if (!haveH264Encoder())
    std::fprintf(stderr,
                 "corvane-testmedia: libx264 is not in the loaded avcodec; "
                 "the H.264 kinds are written with mpeg4\n");
  for (Kind kind : kinds) {
    const std::string path = (dir / fileName(kind)).string();
    try {
      generate(kind, path);
    } catch (const ETestMedia& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
  }
  return 0;
}
