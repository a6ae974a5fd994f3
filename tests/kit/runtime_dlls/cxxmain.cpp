#include <tavrin/app.h>

#include <iostream>
#include <string>

__declspec(dllimport) std::string make_greeting(const std::string& name);

TAVRIN_APP int run_code(int argc, wchar_t** argv) {
  (void)argv;
  std::cout << make_greeting("runtime") << " " << argc << std::endl;
  return 0;
}
