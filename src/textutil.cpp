#include "textutil.h"

#include <climits>
#include <cstdlib>
#include <cstring>

char Par[20][256];
char Command[32];

// Bytes are classed by their unsigned value so that the lead byte of a
// double-byte character (0x80 and up) starts a word like a letter does.
static int
IsBlank(unsigned char c)
{
	return c == ' ' || c == '\t';
}

static int
IsWordStart(unsigned char c)
{
	return c >= 0x41 || (c >= '0' && c <= '9') || c == '+' || c == '-';
}

// Copies n bytes into a slot of the given size, cutting what does not fit.
static void
Store(char *slot, int size, const unsigned char *from, size_t n)
{
	if (n > (size_t)size - 1)
		n = size - 1;
	memcpy(slot, from, n);
	slot[n] = 0;
}

static void
ClearPar(void)
{
	for (int i = 0; i < 20; i++)
		Par[i][0] = 0;
}

// End of a plain word: the next blank, comma or NUL.
static const unsigned char *
PlainEnd(const unsigned char *p)
{
	while (*p && !IsBlank(*p) && *p != ',')
		p++;
	return p;
}

// End of a delimited word: the next byte equal to d, or the NUL.
static const unsigned char *
DelimEnd(const unsigned char *p, unsigned char d)
{
	while (*p && *p != d)
		p++;
	return p;
}

int
ReadLine(FILE *stream, char *buf, int size)
{
	int i = 0, c;

	if (size < 2) {
		if (size == 1)
			buf[0] = 0;
		return 0;
	}
	for (;;) {
		c = getc(stream);
		if (c == EOF || c == '\n') {
			buf[i] = 0;
			return i;
		}
		if (c == '\r')
			continue;
		buf[i++] = (char)c;
		if (i == size - 1) {
			buf[i] = 0;
			return -i;
		}
	}
}

char *
ReadLineX(FILE *stream, int *length)
{
	char piece[256];
	char *block, *bigger;
	size_t kept, cap;
	int r, n;

	*length = 0;
	// A stream in error would give empty lines for ever; it has ended too.
	if (feof(stream) || ferror(stream))
		return NULL;
	r = ReadLine(stream, piece, sizeof piece);
	n = r < 0 ? -r : r;
	cap = n + 1;
	if ((block = (char *)malloc(cap)) == NULL)
		return NULL;
	memcpy(block, piece, n + 1);
	kept = n;
	*length = n;
	// A whole line, an empty one included, is done; only a cut one goes on.
	while (r < 0) {
		if (feof(stream) || ferror(stream))
			break;
		r = ReadLine(stream, piece, sizeof piece);
		if (r == 0)
			break;
		n = r < 0 ? -r : r;
		*length = *length > INT_MAX - n ? INT_MAX : *length + n;
		if (kept + n + 1 > cap) {
			size_t want = cap * 2 > kept + n + 1 ? cap * 2 : kept + n + 1;
			if ((bigger = (char *)realloc(block, want)) == NULL)
				continue;	// drop the piece, keep counting to the line's end
			block = bigger;
			cap = want;
		}
		memcpy(block + kept, piece, n + 1);
		kept += n;
	}
	return block;
}

int
Parse(const char *line)
{
	const unsigned char *p = (const unsigned char *)line, *q;
	unsigned char d;
	int n = 0;

	Command[0] = 0;
	ClearPar();
	if (*p < 0x41 || *p > 0x7A)
		return 0;
	for (q = p; *q && !IsBlank(*q); q++)
		;
	Store(Command, sizeof Command, p, q - p);
	if (*q == 0)
		return 0;
	p = q;
	for (;;) {
		while (IsBlank(*p) || *p == ',')
			p++;
		if (*p == 0)
			return n + 1;	// trailing separators: one last, empty parameter
		if (IsWordStart(*p)) {
			q = PlainEnd(p);
			Store(Par[n], 256, p, q - p);
		} else {
			// The closing delimiter stays: it opens the next parameter.
			d = *p++;
			q = DelimEnd(p, d);
			Store(Par[n], 256, p, q - p);
		}
		p = q;
		n++;
		if (*p == 0 || n == 20)
			return n;
	}
}

int
Parsex(const char *line)
{
	const unsigned char *p = (const unsigned char *)line, *q;
	unsigned char d;
	int n = 0;

	ClearPar();
	if (*p == 0)
		return 1;
	for (;;) {
		while (IsBlank(*p))
			p++;
		if (*p == ',') {
			p++;	// a comma where a word would begin is an empty word
		} else if (*p == 0) {
			return n;
		} else if (IsWordStart(*p)) {
			q = PlainEnd(p);
			Store(Par[n], 256, p, q - p);
			p = *q ? q + 1 : q;
		} else {
			d = *p++;
			q = DelimEnd(p, d);
			Store(Par[n], 256, p, q - p);
			p = q;
			if (*p) {
				p++;
				if (*p == ',')
					p++;
			}
		}
		n++;
		if (*p == 0 || n == 20)
			return n;
	}
}

void
LowerChrx(char *text)
{
	unsigned char *p = (unsigned char *)text;
	int skip = 0;

	for (;; p++) {
		if (skip)
			skip = 0;
		else if (*p & 0x80)
			skip = 1;
		else if (*p >= 'A' && *p <= 'Z')
			*p = "abcdefghijklmnopqrstuvwxyz"[*p - 'A'];
		if (*p == 0)
			break;
	}
}
