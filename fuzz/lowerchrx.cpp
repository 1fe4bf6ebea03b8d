// LowerChrx changes the 26 capital letters that are no second byte of a
// double-byte character and nothing else, and never reads or writes past
// the terminating NUL.
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
	Require(memcmp(tail + len, data + len, size - len) == 0);
	for (i = 0; i < len; i++) {
		unsigned char was = data[i], now = text[i];

		if (second)
			Require(now == was);
		else if (was >= 'A' && was <= 'Z')
			Require(now == was - 'A' + 'a');
		else
			Require(now == was);
		second = !second && (was & 0x80);
		Require(tail[i] == now);
	}
	Require(text[len] == 0);
	free(text);
	free(tail);
	return 0;
}
