// What every fuzz target shares: a property that fails stops the run with
// a crash that libFuzzer keeps as an artifact.
#ifndef TORQUELIN_FUZZ_CHECK_H
#define TORQUELIN_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "textutil.h"

#define Require(cond) do { \
	if (!(cond)) { \
		fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, \
		    __LINE__, #cond); \
		abort(); \
	} \
} while (0)

// Fills the word table with bytes and no NUL, so that a slot the splitter
// forgets to end or to empty shows.
static inline void
SpoilPar(void)
{
	memset(Par, 'Z', sizeof Par);
}

// The table after a split of n words: count 0 to 20, every slot ended
// within its 256 bytes, each word a piece of the line, every slot past
// the count empty.
static inline void
CheckPar(int n, const std::string &line)
{
	Require(n >= 0 && n <= 20);
	for (int k = 0; k < 20; k++) {
		Require(memchr(Par[k], 0, sizeof Par[k]) != NULL);
		if (k >= n)
			Require(Par[k][0] == 0);
		else
			Require(line.find(Par[k]) != std::string::npos);
	}
}

// The input up to its first NUL in a block of exactly that size, so that a
// read past the NUL is caught.
static inline char *
Text(const unsigned char *data, size_t size, size_t *len)
{
	char *t;

	*len = strnlen((const char *)data, size);
	if ((t = (char *)malloc(*len + 1)) == NULL)
		abort();
	memcpy(t, data, *len);
	t[*len] = 0;
	return t;
}

#endif
