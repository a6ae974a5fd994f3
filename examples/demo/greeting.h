// greeting.dll: a second library of the demo application. zandoria.dll links against it,
// so Windows must find it next to zandoria.dll in the unpacked tree when the launcher
// loads the main library.
#pragma once

#include <cstddef>

#ifdef GREETING_BUILDING_DLL
#define GREETING_API __declspec(dllexport)
#else
#define GREETING_API __declspec(dllimport)
#endif

// Writes a greeting for name into output (capacity units, terminator included). Returns
// the number of units written without the terminator, or -1 when it does not fit.
extern "C" GREETING_API int compose_greeting(const wchar_t* name, wchar_t* output, size_t capacity);
