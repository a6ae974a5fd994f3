#include <stdio.h>
#include <string.h>
#include <tavrin/app.h>
#include <zlib.h>

TAVRIN_APP int run_code(int argc, wchar_t** argv) {
  const char text[] = "tavrin";
  (void)argc;
  (void)argv;
  printf("zlib %s crc32 %08lx\n", zlibVersion(), crc32(0, (const Bytef*)text, (uInt)strlen(text)));
  return 0;
}
