// Runs every file of the corpus directories given on the command line through the fuzz
// target it is linked with, without libFuzzer, so the corpus also runs in the ordinary
// test suite. A finding aborts the program; a seed named "ok-*" that the target does not
// read to the end fails it, and so does an empty corpus (a replay of nothing proves nothing).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> list_inputs(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path root(argv[i]);
    if (fs::is_directory(root)) {
      for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else {
      inputs.push_back(root);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

bool replay_input(const fs::path& input) {
  std::ifstream file(input, std::ios::binary);
  if (!file) {
    fprintf(stderr, "replay: cannot read %s\n", input.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  const bool must_complete = input.filename().string().rfind("ok-", 0) == 0;
  if (must_complete && last_fuzz_outcome() != FuzzOutcome::completed) {
    fprintf(stderr, "replay: %s is a valid seed but was not read to its end\n", input.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<fs::path> inputs = list_inputs(argc, argv);
  size_t passed = 0;
  for (const fs::path& input : inputs) {
    if (replay_input(input)) ++passed;
  }
  printf("%zu passed, %zu failed\n", passed, inputs.size() - passed);
  if (inputs.empty()) fprintf(stderr, "replay: no input found\n");
  return !inputs.empty() && passed == inputs.size() ? 0 : 1;
}
