#include "foundation/FileNames.h"

#include <strings.h>

namespace corvane {

std::string to_library_file_name(const std::string& name) { return name; }

std::string from_library_file_name(const std::string& name) { return name; }

bool guess_image_codec(const std::string& name) {
  static constexpr const char* kExtensions[] = {
      "jpeg",     "jpg",      "jps",      "mpo",    "ljpg",   "jls",  "png",  "pns",   "mng",
      "ppm",      "pnm",      "pgm",      "pgmyuv", "pbm",    "pam",  "pix",  "dds",   "mpg1-img",
      "mpg2-img", "mpg4-img", "ffv1-img", "y",      "raw",    "bmp",  "tga",  "tiff",  "tif",
      "sgi",      "ptx",      "pcx",      "pic",    "pct",    "pict", "sun",  "ras",   "rs",
      "im1",      "im8",      "im24",     "im32",   "sunras", "svg",  "svgz", "j2c",   "jp2",
      "jpc",      "j2k",      "dpx",      "exr",    "yuv10",  "webp", "xbm",  "xface", "xwd"};
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  const char* ext = name.c_str() + dot + 1;
  for (const char* e : kExtensions)
    if (::strcasecmp(ext, e) == 0) return true;
  return false;
}

}  // namespace corvane
