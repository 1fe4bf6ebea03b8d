// Fast line walking over a compare file: whole blocks are read and lines
// found with memchr, yet every line and every piece of a long line come out
// exactly as repeated ReadLine calls with a 256-byte buffer would give them.
// A line exists only where reading it takes at least one byte of the file:
// the end of a file that ends in a line feed is the end, with no empty line
// after it.
#ifndef TORQUELIN_LINESOURCE_H
#define TORQUELIN_LINESOURCE_H

#include <cstddef>
#include <cstdio>

enum { SrcBlock = 1 << 17 };

// One open compare file and the unread part of its last block.
struct Src {
	FILE *fp;
	int whole;            // fp is a regular file: read it in whole blocks
	int end;              // a read found nothing more (or failed)
	size_t cap;           // block size in use, 1 to SrcBlock
	size_t pos, len;      // unread bytes are blk[pos] to blk[len - 1]
	size_t lf, cr;        // next line feed (len: none in the block) and
	                      // next carriage return before it (lf: none),
	                      // as last looked for
	char blk[SrcBlock];
};

// Starts walking fp from where it stands, in blocks of SrcBlock bytes;
// fp stays the caller's to close.
void SrcOpen(Src *s, FILE *fp);
// The next line or piece into buf (256 bytes), or only passed over when buf
// is null; returns what ReadLine with a 256-byte buffer would.
int SrcLine(Src *s, char *buf);
// Passes over up to n lines without storing them, stopping early where no
// line is left; returns how many were passed over.
long SrcSkip(Src *s, long n);
// Reads lines 1 to n, the last into buf (256 bytes) and the others only
// counted; returns 0 when the file has fewer than n lines.  With n of 0 or
// less nothing is read, buf is left alone and the result is 1.
int SrcGoTo(Src *s, long n, char *buf);
// True when no further line exists: no unread byte is left, or a read has
// failed.  It may read the next block to know; from a pipe that is no more
// than the next SrcLine would read.
int SrcAtEnd(Src *s);
// True once a read has failed: the walk ended early, not at the file's end.
int SrcFailed(const Src *s);

#endif
