// Steps of the run's setup shared by its files: the opened-codec lists and
// the check for options no codec took.
#pragma once

#include "foundation/Dictionary.h"

namespace corvane {

class TCustomFFmpeg;
struct TInputStream;
struct TOutputStream;

// Bits of TInputStream::decoding_needed.
constexpr int kDecodeForOutput = 1;
constexpr int kDecodeForFilter = 2;

// Opened codecs, one list per engine; one lock guards all engines' lists.
void LinkEncoder(TCustomFFmpeg& e, TOutputStream& ost);
void LinkDecoder(TCustomFFmpeg& e, TInputStream& ist);
// Closes the decoders (then their hardware uninit hook) and frees the
// encoders' two-pass statistics; both lists end empty.
void CloseOpenedCodecs(TCustomFFmpeg& e);

// An option left in opts after a codec opened is unknown: fatal with
// HaltOnInvalidOption, else a warning.
void CheckLeftoverOptions(TCustomFFmpeg& e, const TDictionary& opts);

}  // namespace corvane
