// The one place user messages and deliberate ends of the process go through.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "util/utl.h"

void utlReport(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}
