// Parse against a plain model of the command splitter: the command word
// (cut to 31), the parameters (cut to their slots) and the empty slots.
#include "check.h"

static std::vector<std::string>
Model(const std::string &l, std::string *cmd)
{
	std::vector<std::string> w;
	size_t p, q, n = l.size();

	cmd->clear();
	if (n == 0 || (unsigned char)l[0] < 0x41 || (unsigned char)l[0] > 0x7A)
		return w;
	q = l.find_first_of(" \t");
	if (q == std::string::npos)
		q = n;
	*cmd = l.substr(0, q);
	if (q == n)
		return w;
	for (p = q;;) {
		while (p < n && (Blank(l[p]) || l[p] == ','))
			p++;
		if (p == n) {
			w.push_back("");
			return w;
		}
		if (WordStart(l[p])) {
			q = l.find_first_of(" \t,", p);
		} else {
			// The closing delimiter stays and opens the next parameter.
			q = l.find(l[p], p + 1);
			p++;
		}
		if (q == std::string::npos)
			q = n;
		w.push_back(l.substr(p, q - p));
		p = q;
		if (p == n || w.size() == 20)
			return w;
	}
}

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	std::string cmd;
	size_t len;
	char *line = Text(data, size, &len);
	int n;

	SpoilPar();
	memset(Command, 'Z', sizeof Command);
	n = Parse(line);
	CheckPar(n, Model(std::string(line, len), &cmd));
	Require(memchr(Command, 0, sizeof Command) != NULL);
	Require(Cut(cmd, sizeof Command) == Command);
	free(line);
	return 0;
}
