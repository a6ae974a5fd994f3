// Scenarios of tavrin_probe.exe: each runs one piece of launcher code that ends the process
// (or returns an exit code), so that a test can watch the outcome from outside.
// Add a scenario with PROBE_SCENARIO(name) { ... return code; } in any tests/probe/*.cpp.
#pragma once

using ProbeScenario = int (*)(int argc, wchar_t** argv);  // argv[0] is the first argument after the name

struct ProbeRegistration {
  ProbeRegistration(const wchar_t* name, ProbeScenario scenario);
};

#define PROBE_SCENARIO(name)                                                   \
  static int probe_scenario_##name(int argc, wchar_t** argv);                  \
  static ProbeRegistration probe_registration_##name(L## #name, probe_scenario_##name); \
  static int probe_scenario_##name([[maybe_unused]] int argc, [[maybe_unused]] wchar_t** argv)
