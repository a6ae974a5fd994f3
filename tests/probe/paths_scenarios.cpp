// Scenarios for environment access and spec expansion: the cases that end the process, and
// those that depend on the argument vector or on variables set before the start.
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "paths/env.h"
#include "paths/spec.h"
#include "probe/probe.h"

namespace {

constexpr size_t guard_units = 64;
constexpr size_t largest_capacity = 8192;
constexpr wchar_t guard_unit = L'#';

}  // namespace

// Sets a variable whose name has argv[0] characters, reads it back and prints the value.
PROBE_SCENARIO(env_name_length) {
  const size_t length = wcstoul(argv[0], nullptr, 10);
  const std::string name(length, 'N');
  env_set(name.c_str(), L"set");
  wchar_t* value = env_get(name.c_str());
  printf("value %ls\n", value != nullptr ? value : L"(absent)");
  return 0;
}

// Expands argv[0] into a buffer of argv[1] units between two guard areas and prints the
// result, the output and whether the guards are intact.
PROBE_SCENARIO(expand) {
  const size_t capacity = wcstoul(argv[1], nullptr, 10);
  if (capacity == 0 || capacity > largest_capacity) return 100;
  static wchar_t area[2 * guard_units + largest_capacity];
  for (auto& unit : area) unit = guard_unit;
  wchar_t* output = area + guard_units;
  const bool expanded = expand_spec(output, argv[0], capacity);
  bool guards_intact = true;
  for (size_t i = 0; i < guard_units; ++i) {
    guards_intact = guards_intact && area[i] == guard_unit && output[capacity + i] == guard_unit;
  }
  printf("%s [%ls] guards %s\n", expanded ? "true" : "false", output, guards_intact ? "intact" : "broken");
  return 0;
}
