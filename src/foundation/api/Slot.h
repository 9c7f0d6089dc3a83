// Machinery for run-time bound function slots.
//
// Each library header lists its functions as X-macro entries
//   CORVANE_REQ(X, name)           required, typed from the library's header
//   CORVANE_OPT(X, name)           optional, typed from the library's header
//   CORVANE_REQ_T(X, name, type)   required, with an explicit type
//   CORVANE_OPT_T(X, name, type)   optional, with an explicit type
// and expands them with CORVANE_DECLARE_SLOT into process-wide slots of the
// same name inside a namespace (ff::, crt::, sdl::, st::, mfx::). Code calls
// ff::av_log(...), so every call is checked against the real headers while a
// direct call of the library function fails to link.
#pragma once

#define CORVANE_REQ(X, n) X(n, decltype(&::n), false)
#define CORVANE_OPT(X, n) X(n, decltype(&::n), true)
#define CORVANE_REQ_T(X, n, T) X(n, T, false)
#define CORVANE_OPT_T(X, n, T) X(n, T, true)

#define CORVANE_DECLARE_SLOT(n, T, optional) inline T n = nullptr;
