// Log lines that carry their place in the source, as the clean-up code writes them:
// formats beginning "%s.%d.%s: " take the source file's base name, the line and a
// function name, then the format's own values.
#pragma once

#include "trace.h"

// The enclosing function names the line.
#define VELMER_TRACE_HERE(level, format, ...) \
  trace_printf(level, 8, format, __FILE_NAME__, __LINE__, __func__ __VA_OPT__(, ) __VA_ARGS__)

// `function` names the line: for a helper that works on behalf of a named operation, so
// that the operation's lines keep its name whichever helper writes them.
#define VELMER_TRACE_FOR(function, level, format, ...) \
  trace_printf(level, 8, format, __FILE_NAME__, __LINE__, function __VA_OPT__(, ) __VA_ARGS__)
