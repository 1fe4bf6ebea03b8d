#include "linesource.h"

#include <cstring>

#include "platform.h"

// A line of the run is at most this many characters; a longer one comes in
// pieces of this size.
enum { Piece = 255 };

// Where the next line feed or carriage return is not yet looked for.
static const size_t Unknown = (size_t)-1;

void
SrcOpen(Src *s, FILE *fp)
{
	s->fp = fp;
	s->end = 0;
	s->pos = s->len = 0;
	s->lf = s->cr = Unknown;
	s->cap = sizeof s->blk;
	// A regular file gives whole blocks at once.  Anything else (a pipe,
	// a terminal) is read no further than the next line feed, so a writer
	// that pauses after a line is not waited for, as a byte-wise reader
	// would not wait.
	s->whole = StreamKind(fp) == KindFile;
	if (s->whole)
		setvbuf(fp, NULL, _IONBF, 0);
}

// Reads the next block; 0 at the end of the stream.  A failed read ends the
// stream for good; what came before it in the block is still read.
static int
Fill(Src *s)
{
	size_t n = 0;
	int c;

	if (!s->end && !ferror(s->fp)) {
		if (s->whole)
			n = fread(s->blk, 1, s->cap, s->fp);
		else
			while (n < s->cap && (c = getc(s->fp)) != EOF)
				if ((s->blk[n++] = (char)c) == '\n')
					break;
	}
	s->pos = 0;
	s->len = n;
	s->lf = s->cr = Unknown;
	if (n == 0 || ferror(s->fp))
		s->end = 1;
	return n != 0;
}

// The index of the next line feed at or after pos in the block, len if
// there is none.  Found once and kept while pos has not passed it, so that
// a stretch without line feeds is searched once, not once per piece.
static size_t
NextLf(Src *s)
{
	const char *p;

	if (s->lf == Unknown || s->lf < s->pos) {
		p = (const char *)memchr(s->blk + s->pos, '\n', s->len - s->pos);
		s->lf = p ? (size_t)(p - s->blk) : s->len;
	}
	return s->lf;
}

// The next carriage return before lf (the next line feed, or len), else
// lf itself; kept the same way.  Looking no further than the line keeps a
// file without carriage returns from being searched to the block's end at
// every block.
static size_t
NextCr(Src *s, size_t lf)
{
	const char *p;

	if (s->cr == Unknown || s->cr < s->pos) {
		p = (const char *)memchr(s->blk + s->pos, '\r', lf - s->pos);
		s->cr = p ? (size_t)(p - s->blk) : lf;
	}
	return s->cr;
}

int
SrcLine(Src *s, char *buf)
{
	size_t lf, stop, m;
	int i = 0;

	for (;;) {
		if (s->pos == s->len && !Fill(s))
			break;
		// Plain characters up to a carriage return, the line feed or
		// the block's end.
		lf = NextLf(s);
		stop = NextCr(s, lf);
		m = stop - s->pos;
		if (m >= (size_t)(Piece - i)) {
			// The piece is full: stop right after its last
			// character, as ReadLine does, reading no further.
			m = Piece - i;
			if (buf) {
				memcpy(buf + i, s->blk + s->pos, m);
				buf[Piece] = 0;
			}
			s->pos += m;
			return -Piece;
		}
		if (buf)
			memcpy(buf + i, s->blk + s->pos, m);
		i += (int)m;
		s->pos = stop;
		if (stop == s->len)
			continue;
		s->pos++;
		if (stop == lf)
			break;
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

// Passes over lines and pieces from the block while fewer than n are done,
// as far as they can be told apart without a walk through carriage
// returns; returns how many.  In a run of chunks that each hold a line feed
// no line holds more than 2 * Chunk - 2 = 254 bytes, so each is a single
// piece: the line feeds need only be counted.  A stretch of plain bytes
// gives whole pieces of 255 by arithmetic.
static long
Count(Src *s, long n)
{
	const unsigned char *b, *p, *q, *e;
	size_t lf, stop, k;
	long done = 0, c;

	b = (const unsigned char *)s->blk;
	p = q = b + s->pos;
	e = b + s->len;
	while (e - q >= Chunk && (c = Feeds(q)) != 0 && done + c < n) {
		done += c;
		q += Chunk;
	}
	// Back to the start of a line, just past the last line feed counted.
	if (q > p)
		while (q[-1] != '\n')
			q--;
	s->pos = q - b;
	while (done < n && s->pos < s->len) {
		lf = NextLf(s);
		if (lf < s->len && lf - s->pos < Piece) {
			// Too short to be cut, carriage returns or not.
			s->pos = lf + 1;
			done++;
			continue;
		}
		stop = NextCr(s, lf);
		k = (stop - s->pos) / Piece;
		if (k == 0)
			break;
		if (k > (size_t)(n - done))
			k = n - done;
		s->pos += k * Piece;
		done += (long)k;
	}
	return done;
}

long
SrcSkip(Src *s, long n)
{
	long done = 0;

	while (done < n && !SrcAtEnd(s)) {
		done += Count(s, n - done);
		if (done < n && !SrcAtEnd(s)) {
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
	if (SrcSkip(s, n - 1) < n - 1 || SrcAtEnd(s))
		return 0;
	SrcLine(s, buf);
	return 1;
}

int
SrcAtEnd(Src *s)
{
	if (s->end && ferror(s->fp))
		return 1;
	return s->pos == s->len && !Fill(s);
}

int
SrcFailed(const Src *s)
{
	return ferror(s->fp) != 0;
}
