/* words.dll: a helper library of the example, written in C. hello.dll links against it, so
   Windows must find it beside hello.dll in the unpacked tree. */
#ifndef WORDS_H
#define WORDS_H

#ifdef WORDS_BUILDING_DLL
#define WORDS_API __declspec(dllexport)
#else
#define WORDS_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The number of words in text: runs of characters other than spaces, tabs and line ends. */
WORDS_API int count_words(const char* text);

#ifdef __cplusplus
}
#endif

#endif
