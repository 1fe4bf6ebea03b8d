// The command line reader over argument lists cut from the input at its NUL
// bytes: the result, the messages, the positional slots and the option
// values against a plain model of the command line rules.
#include <algorithm>
#include <climits>

#include "check.h"
#include "settings.h"

static void
Reset(void)
{
	Voff = 1;
	Line = Word = Loop = 0;
	Diff = ValueC = 0;
	Inverse = 0;
	ParmCount = 0;
	memset(Parms, 'Z', sizeof Parms);
}

static int
Clamped(const std::string &v)
{
	long n = strtol(v.c_str(), NULL, 10);

	return n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : (int)n;
}

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	std::vector<std::string> args = { "torquelin" };
	std::vector<std::string> parms;
	std::vector<char *> argv;
	std::string out, err;
	int ret, want = 0, line = 0, word = 0, loop = 0, voff = 1, inverse = 0;
	FILE *realout = stdout, *realerr = stderr;
	char *obuf, *ebuf;
	size_t olen, elen, i;

	// Every NUL ends an argument; an input without one is one argument.
	if (size > 0) {
		args.emplace_back();
		for (i = 0; i < size; i++)
			if (data[i] == 0)
				args.emplace_back();
			else
				args.back() += (char)data[i];
	}
	if (args.size() > 64)
		return 0;
	argv.reserve(args.size() + 1);
	for (auto &a : args)
		argv.push_back(&a[0]);
	argv.push_back(NULL);

	if (args.size() == 1)
		want = 5;
	for (i = 1; i < args.size() && want == 0; i++) {
		const std::string &a = args[i];

		if (a.size() >= 2 && a[1] == '=') {
			switch (a[0]) {
			case 'V': case 'v': voff = 0; break;
			case 'D': case 'd': break;
			case 'L': case 'l': line = std::max(Clamped(a.substr(2)), 0); break;
			case 'W': case 'w': word = std::max(Clamped(a.substr(2)), 1) - 1; break;
			case 'X': case 'x': loop = std::max(Clamped(a.substr(2)), 0); break;
			default:
				err = "\n Parameter error>" + a + "<\n";
				want = 5;
			}
		} else if (a == "i" || a == "I") {
			inverse = 1;
		} else if (parms.size() == 5) {
			out = "\n Too many Parameters error.\n";
			want = 5;
		} else if (a.size() > 255) {
			err = "\n Parameter error>" + a + "<\n";
			want = 5;
		} else {
			parms.push_back(a);
		}
	}
	if (want)
		out += Help;

	Reset();
	stdout = open_memstream(&obuf, &olen);
	stderr = open_memstream(&ebuf, &elen);
	if (stdout == NULL || stderr == NULL)
		abort();
	ret = ReadSettings((int)args.size(), argv.data());
	fclose(stdout);
	fclose(stderr);
	stdout = realout;
	stderr = realerr;

	Require(ret == want);
	Require(std::string(obuf, olen) == out);
	Require(std::string(ebuf, elen) == err);
	free(obuf);
	free(ebuf);
	if (ret != 0)
		return 0;
	Require(ParmCount == (int)parms.size());
	for (i = 0; i < 5; i++) {
		Require(memchr(Parms[i], 0, sizeof Parms[i]) != NULL);
		Require(Parms[i] == (i < parms.size() ? parms[i] : ""));
	}
	Require(Voff == voff && Inverse == inverse);
	Require(Line == line && Word == word && Loop == loop);
	Require(strlen(CompareFile1()) < 256 && strlen(ErrProc()) < 256);
	Require(strlen(RetProc()) < 256 && strlen(LogFile()) < 256);
	return 0;
}
