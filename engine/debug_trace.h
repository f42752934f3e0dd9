// The jobs' trace lines. The hook keeps the lines in the source, where they
// say what the job is doing, but prints nothing.
#pragma once

namespace kelb {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void debug_trace(const char* /*format*/, ...)
{
}

}  // namespace kelb
