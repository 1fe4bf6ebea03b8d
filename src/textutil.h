// Text utilities: bounded line reading, word and command splitting,
// long line reading and case folding over a process-wide word table.
#ifndef TORQUELIN_TEXTUTIL_H
#define TORQUELIN_TEXTUTIL_H

#include <cstdio>

extern char Par[20][256];   // words of the last Parsex or Parse
extern char Command[32];    // command word of the last Parse

// One line (or a size-1 piece of a longer one) without CRs; negative when cut.
int ReadLine(FILE *stream, char *buf, int size);
// A whole line of any length in a malloc block; null at end of stream.
char *ReadLineX(FILE *stream, int *length);
// Command word into Command, up to 20 parameters into Par; returns their count.
int Parse(const char *line);
// Up to 20 words of a line into Par; returns their count.
int Parsex(const char *line);
// Capital letters A-Z to small ones in place, skipping double-byte second bytes.
void LowerChrx(char *text);

#endif
