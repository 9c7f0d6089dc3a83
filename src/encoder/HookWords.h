// The hook switches of an output's option text.
#pragma once

#include <string>

#include "encoder/EncoderTypes.h"

namespace corvane {

// Each hook word, matched case-insensitively as a whole word, written in its
// canonical form; the result is trimmed.
std::string NormaliseHookWords(const std::string& AOptions);
// A reset record with the hook flags whose words occur in the text.
TOutputOptions HookFlagsFromText(const std::string& AOptions);

}  // namespace corvane
