#include "linesource.h"

#include <cstring>
#include <sys/stat.h>

// A line of the run is at most this many characters; a longer one comes in
// pieces of this size.
enum { Piece = 255 };

void
SrcOpen(Src *s, FILE *fp)
{
	struct stat st;

	s->fp = fp;
	s->end = 0;
	s->pos = s->len = 0;
	s->cap = sizeof s->blk;
	// A regular file gives whole blocks at once.  Anything else (a pipe,
	// a terminal) is read no further than the next line feed, so a writer
	// that pauses after a line is not waited for, as a byte-wise reader
	// would not wait.
	s->whole = fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode);
	if (s->whole)
		setvbuf(fp, NULL, _IONBF, 0);
}

// Reads the next block; 0 at the end of the stream.  A failed read ends the
// stream for good, as it ends ReadLine's.
static int
Fill(Src *s)
{
	size_t n = 0;
	int c;

	if (!ferror(s->fp)) {
		if (s->whole)
			n = fread(s->blk, 1, s->cap, s->fp);
		else
			while (n < s->cap && (c = getc(s->fp)) != EOF)
				if ((s->blk[n++] = (char)c) == '\n')
					break;
	}
	s->pos = 0;
	s->len = n;
	if (n == 0)
		s->end = 1;
	return n != 0;
}

int
SrcLine(Src *s, char *buf)
{
	const char *p, *q, *r, *nl;
	size_t m;
	int i = 0;

	for (;;) {
		if (s->pos == s->len && !Fill(s))
			break;
		p = s->blk + s->pos;
		nl = (const char *)memchr(p, '\n', s->len - s->pos);
		q = nl ? nl : s->blk + s->len;
		// A piece can only be cut where the raw bytes could reach it;
		// below that, passing over needs no count of carriage returns.
		if (buf == NULL && nl && (size_t)(q - p) < (size_t)(Piece - i)) {
			s->pos = nl + 1 - s->blk;
			return 0;
		}
		while (p < q) {
			r = (const char *)memchr(p, '\r', q - p);
			if (r == NULL)
				r = q;
			m = r - p;
			if (m >= (size_t)(Piece - i)) {
				// The piece is full: stop right after its last
				// character, as ReadLine does, reading no further.
				m = Piece - i;
				if (buf) {
					memcpy(buf + i, p, m);
					buf[Piece] = 0;
				}
				s->pos = p + m - s->blk;
				return -Piece;
			}
			if (buf)
				memcpy(buf + i, p, m);
			i += (int)m;
			p = r < q ? r + 1 : r;
		}
		if (nl) {
			s->pos = nl + 1 - s->blk;
			break;
		}
		s->pos = s->len;
	}
	if (buf)
		buf[i] = 0;
	return i;
}

// Line feeds in a chunk of Chunk bytes; a plain loop that compilers turn
// into vector compares.
enum { Chunk = 128 };

static long
Feeds(const unsigned char *p)
{
	unsigned char n = 0;

	for (int i = 0; i < Chunk; i++)
		n += p[i] == '\n';
	return n;
}

// Passes over whole lines from the block while fewer than n are done;
// returns how many.  In a run of chunks that each hold a line feed no line
// holds more than 2 * Chunk - 2 = 254 bytes, so each is a single piece:
// the line feeds need only be counted.
static long
Count(Src *s, long n)
{
	const unsigned char *p, *q, *e, *nl;
	long done = 0;
	long k;

	p = q = (const unsigned char *)s->blk + s->pos;
	e = (const unsigned char *)s->blk + s->len;
	while (e - q >= Chunk && (k = Feeds(q)) != 0 && done + k < n) {
		done += k;
		q += Chunk;
	}
	// Back to the start of a line, just past the last line feed counted.
	if (q > p)
		while (q[-1] != '\n')
			q--;
	// The rest one by one, as far as lines too short to be cut go.
	while (done < n && (nl = (const unsigned char *)memchr(q, '\n', e - q)) &&
	    nl - q < Piece) {
		q = nl + 1;
		done++;
	}
	s->pos = (const char *)q - s->blk;
	return done;
}

long
SrcSkip(Src *s, long n)
{
	long done = 0;

	while (done < n && !s->end) {
		done += Count(s, n - done);
		if (done < n) {
			SrcLine(s, NULL);
			done++;
		}
	}
	return done;
}

int
SrcGoTo(Src *s, long n, char *buf)
{
	if (n <= 0)
		return 1;
	if (SrcSkip(s, n - 1) < n - 1 || s->end)
		return 0;
	SrcLine(s, buf);
	return 1;
}

int
SrcAtEnd(const Src *s)
{
	return s->end;
}

int
SrcFailed(const Src *s)
{
	return ferror(s->fp) != 0;
}
