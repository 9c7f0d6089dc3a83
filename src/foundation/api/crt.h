// The C runtime (the myUtil entry), bound from the running process.
//
// The components use these where the media libraries hand over C strings
// and variable argument lists. Functions that C++ overloads are typed with
// their C signatures.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/api/Slot.h"

namespace corvane::api {
using strchr_t = char* (*)(const char*, int);
using strstr_t = char* (*)(const char*, const char*);
}  // namespace corvane::api

#define CORVANE_CRT_FUNCTIONS(X)                    \
  CORVANE_REQ(X, atoi)                              \
  CORVANE_REQ(X, fclose)                            \
  CORVANE_REQ(X, ferror)                            \
  CORVANE_REQ(X, fopen)                             \
  CORVANE_REQ(X, fprintf)                           \
  CORVANE_REQ(X, fread)                             \
  CORVANE_REQ(X, fseek)                             \
  CORVANE_REQ(X, ftell)                             \
  CORVANE_REQ(X, fwrite)                            \
  CORVANE_REQ(X, snprintf)                          \
  CORVANE_REQ(X, sscanf)                            \
  CORVANE_REQ_T(X, strchr, corvane::api::strchr_t)  \
  CORVANE_REQ(X, strcmp)                            \
  CORVANE_REQ(X, strcspn)                           \
  CORVANE_REQ(X, strncmp)                           \
  CORVANE_REQ_T(X, strrchr, corvane::api::strchr_t) \
  CORVANE_REQ_T(X, strstr, corvane::api::strstr_t)  \
  CORVANE_REQ(X, strtod)                            \
  CORVANE_REQ(X, strtok)                            \
  CORVANE_REQ(X, strtol)                            \
  CORVANE_REQ(X, vsprintf)                          \
  CORVANE_REQ(X, vsnprintf)

namespace crt {
CORVANE_CRT_FUNCTIONS(CORVANE_DECLARE_SLOT)
}  // namespace crt
