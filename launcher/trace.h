// Moment stamps at the steps of a run, for the benchmark's trace build only: bench/ builds
// a launcher of its own with TAVRIN_TRACE_STEPS and supplies trace_step there. The shipped
// launcher compiles every call away and reads nothing for it.
#pragma once

#ifdef TAVRIN_TRACE_STEPS
void trace_step(const char* step);
#else
inline void trace_step(const char*) {}
#endif
