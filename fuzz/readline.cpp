// ReadLine over an in-memory stream with a buffer of 2 bytes and up (the
// first input byte picks the size).  After every call: the count within
// the buffer, a NUL after the text and nothing written past it, no CR or
// LF kept, a negative count exactly for a full buffer, and the count equal
// to the bytes the call consumed less their CRs and a closing LF.
// Together the pieces give back the input without its CRs and LFs.
#include "check.h"

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	const unsigned char *in;
	std::string pieces, bare;
	size_t len, calls, at = 0, now, k, got;
	int bufsize, n;
	char *buf;
	FILE *f;

	if (size < 1)
		return 0;
	bufsize = 2 + data[0];
	in = data + 1;
	len = size - 1;
	if ((f = fmemopen((void *)in, len, "r")) == NULL ||
	    (buf = (char *)malloc(bufsize + 1)) == NULL)
		abort();
	for (calls = 0; !feof(f); calls++) {
		Require(calls <= len + 1);
		memset(buf, 0xA5, bufsize + 1);
		n = ReadLine(f, buf, bufsize);
		got = n < 0 ? -(size_t)n : (size_t)n;
		Require(got < (size_t)bufsize);
		Require((n < 0) == (got == (size_t)bufsize - 1));
		Require(buf[got] == 0);
		for (k = got + 1; k <= (size_t)bufsize; k++)
			Require((unsigned char)buf[k] == 0xA5);
		Require(memchr(buf, '\r', got) == NULL && memchr(buf, '\n', got) == NULL);
		now = (size_t)ftell(f);
		Require(now >= at && now <= len);
		size_t kept = 0;
		for (k = at; k < now; k++)
			kept += in[k] != '\r' && in[k] != '\n';
		Require(kept == got);
		// Only the last byte consumed may be a line feed.
		Require(now == at || memchr(in + at, '\n', now - at - 1) == NULL);
		at = now;
		pieces.append(buf, got);
	}
	for (k = 0; k < len; k++)
		if (in[k] != '\r' && in[k] != '\n')
			bare += (char)in[k];
	Require(pieces == bare);
	// At the end every further call gives an empty line.
	Require(ReadLine(f, buf, bufsize) == 0 && buf[0] == 0);
	fclose(f);
	free(buf);
	return 0;
}
