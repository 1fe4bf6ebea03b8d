// Parsex against a plain model of the word splitter: the count, every word
// (cut to its slot), the empty slots past the count, Command untouched.
#include "check.h"

static std::vector<std::string>
Model(const std::string &l)
{
	std::vector<std::string> w;
	size_t p = 0, q, n = l.size();

	if (n == 0)
		return { "" };
	for (;;) {
		while (p < n && Blank(l[p]))
			p++;
		if (p < n && l[p] == ',') {
			w.push_back("");
			p++;
		} else if (p == n) {
			return w;
		} else if (WordStart(l[p])) {
			q = l.find_first_of(" \t,", p);
			if (q == std::string::npos)
				q = n;
			w.push_back(l.substr(p, q - p));
			p = q < n ? q + 1 : q;
		} else {
			char d = l[p++];
			q = l.find(d, p);
			if (q == std::string::npos)
				q = n;
			w.push_back(l.substr(p, q - p));
			p = q;
			if (p < n && ++p < n && l[p] == ',')
				p++;
		}
		if (p >= n || w.size() == 20)
			return w;
	}
}

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	static const char mark[] = "untouched";
	size_t len;
	char *line = Text(data, size, &len);
	int n;

	SpoilPar();
	memcpy(Command, mark, sizeof mark);
	n = Parsex(line);
	CheckPar(n, Model(std::string(line, len)));
	Require(memcmp(Command, mark, sizeof mark) == 0);
	free(line);
	return 0;
}
