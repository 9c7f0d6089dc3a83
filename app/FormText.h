// Texts of the demo window, and the conversions that need no toolkit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::app {

inline constexpr char kHomePage[] = "https://corvane.example.org";
inline constexpr char kLibraryDirName[] = "LibAV";
// The open dialog's filter: pairs of description and patterns.
// clang-format off
inline constexpr char kOpenFilter[] =
    "Video/Audio/Picture Files|"
    "*.3GP;*.ASF;*.AVI;*.AVM;*.AVS;*.DAT;*.FLV;*.MKV;*.MOV;*.MP4;*.MPEG;*.MPG;*.NSV;*.OGM;*.RM;"
    "*.RMVB;*.TP;*.TS;*.VOB;*.WMV;"
    "*.AAC;*.AC3;*.APE;*.DTS;*.FLAC;*.M4A;*.MKA;*.MP2;*.MP3;*.MPA;*.MPC;*.OFR;*.OGG;*.RA;*.TTA;"
    "*.WAV;*.WMA;"
    "*.BMP;*.GIF;*.JPEG;*.JPG;*.PNG;|"
    "Video Files|"
    "*.3GP;*.ASF;*.AVI;*.AVM;*.AVS;*.DAT;*.FLV;*.MKV;*.MOV;*.MP4;*.MPEG;*.MPG;*.NSV;*.OGM;*.RM;"
    "*.RMVB;*.TP;*.TS;*.VOB;*.WMV;|"
    "Audio Files|"
    "*.AAC;*.AC3;*.APE;*.DTS;*.FLAC;*.M4A;*.MKA;*.MP2;*.MP3;*.MPA;*.MPC;*.OFR;*.OGG;*.RA;*.TTA;"
    "*.WAV;*.WMA;|"
    "Picture Files|"
    "*.BMP;*.GIF;*.JPEG;*.JPG;*.PNG;|"
    "All Files|*.*";
// clang-format on

// "hh:mm:ss.zzz" of a position in microseconds; "N/A" for a negative value,
// which includes AV_NOPTS_VALUE.
std::string PositionText(std::int64_t APTS);

// Converts a "Desc|*.A;*.B;|Desc2|*.C" filter into Qt name filters joined by
// ";;" ("Desc (*.A *.a *.B *.b);;Desc2 (*.C *.c)"). Each pattern is listed in
// its own, lower and upper case, since file names are case-sensitive here;
// empty patterns are dropped and "*.*" becomes "*".
std::string NameFilters(std::string_view AFilter);

}  // namespace corvane::app
