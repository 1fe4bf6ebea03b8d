// ReadLine over an in-memory stream with a buffer of 2 bytes and up (the
// first input byte picks the size): every result, every stored byte and
// the end-of-file indicator against the input, nothing written past the
// NUL or the buffer, and all pieces together give back the input without
// its carriage returns and line feeds.
#include "check.h"

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	const unsigned char *in;
	std::string pieces, bare;
	size_t len, p = 0, calls;
	int bufsize, n, want;
	bool end = false;
	char *buf;
	FILE *f;

	if (size < 1)
		return 0;
	bufsize = 2 + data[0];
	in = data + 1;
	len = size - 1;
	if ((f = fmemopen((void *)in, len, "r")) == NULL ||
	    (buf = (char *)malloc(bufsize)) == NULL)
		abort();
	for (calls = 0; !end; calls++) {
		// One result of the model: a line, or a full buffer of one.
		std::string line;

		Require(calls <= len + 1);
		want = 0;
		for (;;) {
			if (p == len) {
				end = true;
				break;
			}
			unsigned char c = in[p++];
			if (c == '\n')
				break;
			if (c == '\r')
				continue;
			line += (char)c;
			if ((int)line.size() == bufsize - 1) {
				want = -1;
				break;
			}
		}
		want = want < 0 ? -(int)line.size() : (int)line.size();

		memset(buf, 0xA5, bufsize);
		n = ReadLine(f, buf, bufsize);
		Require(n == want);
		Require(memcmp(buf, line.data(), line.size()) == 0);
		Require(buf[line.size()] == 0);
		for (size_t i = line.size() + 1; i < (size_t)bufsize; i++)
			Require((unsigned char)buf[i] == 0xA5);
		Require(!feof(f) == !end);
		pieces += line;
	}
	for (size_t i = 0; i < len; i++)
		if (in[i] != '\r' && in[i] != '\n')
			bare += (char)in[i];
	Require(pieces == bare);
	// At the end every further call gives an empty line.
	Require(ReadLine(f, buf, bufsize) == 0 && buf[0] == 0);
	fclose(f);
	free(buf);
	return 0;
}
