/* The one header an application packed with tavrin includes.

   The launcher loads the application's main library and calls the function it exports as
   run_code with the user's arguments (argument 0 is the executable's full path); the
   value it returns becomes the process's exit code. Define it with TAVRIN_APP:

       #include <tavrin/app.h>

       TAVRIN_APP int run_code(int argc, wchar_t** argv) { ... }

   The declaration below makes a definition with any other signature fail to compile,
   from C and from C++ alike, instead of failing at run time when the launcher calls it. */
#ifndef TAVRIN_APP_H
#define TAVRIN_APP_H

#include <wchar.h>

#ifdef __cplusplus
#define TAVRIN_C_LINKAGE extern "C"
#else
#define TAVRIN_C_LINKAGE
#endif

/* Unmangled and exported: the launcher finds the entry point by its plain name. */
#define TAVRIN_APP TAVRIN_C_LINKAGE __declspec(dllexport)

/* The type of run_code, as the launcher calls it. */
typedef int (*tavrin_run_code_function)(int argc, wchar_t** argv);

TAVRIN_APP int run_code(int argc, wchar_t** argv);

#endif
