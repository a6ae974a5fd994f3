#include <cstdio>
#include <cwchar>

#include "probe/probe.h"

namespace {

struct Entry {
  const wchar_t* name;
  ProbeScenario scenario;
};

constexpr int max_scenarios = 256;

Entry* table() {
  static Entry entries[max_scenarios];
  return entries;
}

int& count() {
  static int n = 0;
  return n;
}

}  // namespace

ProbeRegistration::ProbeRegistration(const wchar_t* name, ProbeScenario scenario) {
  if (count() < max_scenarios) table()[count()++] = Entry{name, scenario};
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: tavrin_probe SCENARIO [ARGUMENTS...]\n");
    return 100;
  }
  for (int i = 0; i < count(); ++i) {
    if (wcscmp(table()[i].name, argv[1]) == 0) return table()[i].scenario(argc - 2, argv + 2);
  }
  fprintf(stderr, "tavrin_probe: no scenario %ls\n", argv[1]);
  return 101;
}
