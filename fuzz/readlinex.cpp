// ReadLineX over an in-memory stream: one block per line of the input,
// split at its line feeds and without its carriage returns, each with its
// length and a NUL after it; the read that meets the end gives the last
// (maybe empty) line, and from then on null with length 0.
#include <vector>

#include "check.h"

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	std::vector<std::string> lines(1);
	FILE *f;
	char *block;
	int length;

	for (size_t i = 0; i < size; i++) {
		if (data[i] == '\n')
			lines.emplace_back();
		else if (data[i] != '\r')
			lines.back() += (char)data[i];
	}
	if ((f = fmemopen((void *)data, size, "r")) == NULL)
		abort();
	for (const std::string &line : lines) {
		length = -1;
		block = ReadLineX(f, &length);
		Require(block != NULL);
		Require((size_t)length == line.size());
		Require(memcmp(block, line.data(), line.size()) == 0);
		Require(block[line.size()] == 0);
		free(block);
	}
	Require(feof(f));
	length = -1;
	Require(ReadLineX(f, &length) == NULL && length == 0);
	fclose(f);
	return 0;
}
