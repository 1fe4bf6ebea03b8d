// The word finder: how a check reads a line, word by word.
#ifndef TORQUELIN_WORDS_H
#define TORQUELIN_WORDS_H

// Prints line `line` of `file` as a check reads it and every word with the
// W that selects it and the number it reads as; the exit code, 0 or 5.
int Words(const char *file, int line);

#endif
