#include <string>

__declspec(dllexport) std::string make_greeting(const std::string& name) { return "hello, " + name; }
