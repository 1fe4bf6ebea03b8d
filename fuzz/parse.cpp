// Parse on any line: the table's shape (see CheckPar), the line untouched,
// and a command word that is the line's start, ended within its 32 bytes,
// with no blank in it; no parameters without a command word.
#include "check.h"

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	size_t len, c;
	char *line = Text(data, size, &len);
	const std::string copy(line, len);
	int n;

	SpoilPar();
	memset(Command, 'Z', sizeof Command);
	n = Parse(line);
	Require(copy == line);
	CheckPar(n, copy);
	Require(memchr(Command, 0, sizeof Command) != NULL);
	c = strlen(Command);
	Require(copy.compare(0, c, Command) == 0);
	Require(strpbrk(Command, " \t") == NULL);
	if (c == 0)
		Require(n == 0);
	free(line);
	return 0;
}
