// Fast line walking over a compare file: whole blocks are read and lines
// found with memchr, yet every line, every piece of a long line and the
// end of the stream come out exactly as repeated ReadLine calls with a
// 256-byte buffer would give them.
#ifndef TORQUELIN_LINESOURCE_H
#define TORQUELIN_LINESOURCE_H

#include <cstddef>
#include <cstdio>

enum { SrcBlock = 1 << 17 };

// One open compare file and the unread part of its last block.
struct Src {
	FILE *fp;
	int whole;            // fp is a regular file: read it in whole blocks
	int end;              // a read found nothing more: ReadLine's end of file
	size_t cap;           // block size in use, 1 to SrcBlock
	size_t pos, len;      // unread bytes are blk[pos] to blk[len - 1]
	char blk[SrcBlock];
};

// Starts walking fp from where it stands, in blocks of SrcBlock bytes;
// fp stays the caller's to close.
void SrcOpen(Src *s, FILE *fp);
// The next line or piece into buf (256 bytes), or only passed over when buf
// is null; returns what ReadLine with a 256-byte buffer would.
int SrcLine(Src *s, char *buf);
// Passes over up to n lines without storing them, stopping early where
// ReadLine's stream would be at end of file before a read; returns how
// many were passed over.
long SrcSkip(Src *s, long n);
// Reads n lines as a loop of "stop if at end of file, else ReadLine" would,
// the last into buf (256 bytes) and the others only counted; returns 0 when
// the loop would have stopped early.  With n of 0 nothing is read.
int SrcGoTo(Src *s, long n, char *buf);
// True where ReadLine's stream would be at end of file (or in error).
int SrcAtEnd(const Src *s);
// True once a read has failed.
int SrcFailed(const Src *s);

#endif
