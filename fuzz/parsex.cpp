// Parsex on any line: the table's shape (see CheckPar), the line and the
// command word untouched, and a second call on the same line giving the
// same table.
#include "check.h"

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	static const char mark[] = "untouched";
	static char first[20][256];
	size_t len;
	char *line = Text(data, size, &len);
	const std::string copy(line, len);
	int n;

	SpoilPar();
	memcpy(Command, mark, sizeof mark);
	n = Parsex(line);
	Require(copy == line);
	CheckPar(n, copy);
	Require(memcmp(Command, mark, sizeof mark) == 0);
	for (int k = 0; k < 20; k++)
		strcpy(first[k], Par[k]);
	SpoilPar();
	Require(Parsex(line) == n);
	for (int k = 0; k < 20; k++)
		Require(strcmp(first[k], Par[k]) == 0);
	free(line);
	return 0;
}
