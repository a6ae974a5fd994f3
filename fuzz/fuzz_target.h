// What the fuzz targets share with their replay program.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// How the latest run of the target ended. The replay program holds the seed inputs
// named "ok-*" to completed: a valid payload must pass all the way.
enum class FuzzOutcome { rejected, completed, budget_reached };
FuzzOutcome last_fuzz_outcome();

// A broken property: ends the run as a crash so that the fuzzer keeps the input.
[[noreturn]] void report_finding(const char* what);
