// The moment stamps of the benchmark helpers. A stamp is the wall clock in 100-ns units
// since 1601 (GetSystemTimePreciseAsFileTime), written as decimal text to the file that
// TAVRIN_BENCH_STAMP names; the benchmark script reads it against CLOCK_REALTIME, which
// wine maps to the same clock.
#pragma once

// Appends one stamp line; does nothing when TAVRIN_BENCH_STAMP is unset.
void write_time_stamp();
// Sleeps for TAVRIN_BENCH_HOLD_MS milliseconds when it is set, so that the script can
// read the peak memory of a process that would otherwise end at once.
void hold_if_asked();
// One "step ticks" line into the file that TAVRIN_BENCH_TRACE names (the trace build).
void trace_step(const char* step);
