// Library identities and sets known to the loader.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace corvane {

// Enumeration order is also load order and dependency order.
enum TLibrary : std::uint8_t {
  avUtil,
  swScale,
  swResample,
  avCodec,
  avFormat,
  avFilter,
  avDevice,
  myUtil,
  SDL2,
  libSoundTouch,
  libMFX,
};

inline constexpr int kLibraryCount = libMFX + 1;

// A set of libraries, stored as a 16-bit mask with bit n for value n.
class TLibraries {
 public:
  constexpr TLibraries() = default;
  constexpr TLibraries(std::initializer_list<TLibrary> libs) {
    for (TLibrary l : libs) mask_ |= bit(l);
  }
  static constexpr TLibraries fromMask(std::uint16_t m) {
    TLibraries s;
    s.mask_ = m;
    return s;
  }
  // All libraries from first to last inclusive.
  static constexpr TLibraries range(TLibrary first, TLibrary last) {
    TLibraries s;
    for (int l = first; l <= last; ++l) s.mask_ |= bit(static_cast<TLibrary>(l));
    return s;
  }

  constexpr bool contains(TLibrary l) const { return (mask_ & bit(l)) != 0; }
  constexpr bool empty() const { return mask_ == 0; }
  constexpr std::uint16_t mask() const { return mask_; }
  constexpr TLibraries operator|(TLibraries o) const { return fromMask(mask_ | o.mask_); }
  constexpr TLibraries operator|(TLibrary l) const { return fromMask(mask_ | bit(l)); }
  constexpr bool operator==(const TLibraries&) const = default;

 private:
  static constexpr std::uint16_t bit(TLibrary l) { return static_cast<std::uint16_t>(1u << l); }
  std::uint16_t mask_ = 0;
};

// Sets used by the components.
inline constexpr TLibraries kDecoderLibraries{avUtil,   swScale,  swResample, avCodec,
                                              avFormat, avFilter, myUtil};
inline constexpr TLibraries kEncoderLibraries = TLibraries::range(avUtil, myUtil);
inline constexpr TLibraries kPlayerLibraries = TLibraries::range(avUtil, myUtil) | SDL2;
inline constexpr TLibraries kAllLibraries = TLibraries::range(avUtil, libMFX);

}  // namespace corvane
