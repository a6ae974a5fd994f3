#include "words.h"

static int is_separator(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int count_words(const char* text) {
  int count = 0;
  int in_word = 0;
  for (; *text != '\0'; ++text) {
    if (is_separator(*text)) {
      in_word = 0;
    } else if (!in_word) {
      in_word = 1;
      ++count;
    }
  }
  return count;
}
