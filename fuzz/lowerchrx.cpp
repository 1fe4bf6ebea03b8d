// LowerChrx on any text: the length kept, the bytes after the NUL never
// read or written, a byte changed only from A-Z to its small letter, each
// of those changed, and never the second byte of a double-byte character
// (one after a byte with the high bit that is no second byte itself).
#include "check.h"

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	size_t len, i;
	char *text = Text(data, size, &len);
	unsigned char *tail = (unsigned char *)malloc(size + 1);
	bool second = false;

	if (tail == NULL)
		abort();
	// The same text with the input's bytes after its NUL, which must stay.
	memcpy(tail, data, size);
	tail[size] = 0;
	LowerChrx(text);
	LowerChrx((char *)tail);
	Require(strlen(text) == len);
	Require(memcmp(tail, text, len + 1) == 0);
	Require(memcmp(tail + len, data + len, size - len) == 0);
	for (i = 0; i < len; i++) {
		unsigned char was = data[i], now = text[i];

		Require(now == was || (was >= 'A' && was <= 'Z' && now == was + 32));
		if (second)
			Require(now == was);
		else if (was >= 'A' && was <= 'Z')
			Require(now == was + 32);
		second = !second && (was & 0x80);
	}
	free(text);
	free(tail);
	return 0;
}
