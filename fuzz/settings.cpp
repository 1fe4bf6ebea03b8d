// The command line reader over argument lists cut from the input at its NUL
// bytes.  Whatever the arguments: 0 with nothing printed, or 5 with the
// usage last on standard output; the slots ended within their 256 bytes,
// each one of the arguments in the order given, the slots past the count
// empty; the numbers within their clamps; one-value mode exactly when a V
// option was given; V and D finite numbers; every role a string that fits
// its slot.
#include <cmath>
#include <vector>

#include "check.h"
#include "settings.h"

static void
Reset(void)
{
	Voff = 1;
	Line = Word = Loop = 0;
	Diff = ValueC = Num();
	Inverse = 0;
	ParmCount = 0;
	memset(Parms, 'Z', sizeof Parms);
}

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	std::vector<std::string> args = { "torquelin" };
	std::vector<char *> argv;
	FILE *realout = stdout, *realerr = stderr;
	char *obuf, *ebuf;
	size_t olen, elen, i, next;
	bool value = false;
	int ret, k;

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
	const std::string out(obuf, olen), err(ebuf, elen), help = Help;
	free(obuf);
	free(ebuf);

	Require(ret == 0 || ret == 5);
	Require(ret == 5 || args.size() > 1);
	Require(ParmCount >= 0 && ParmCount <= 5);
	// With no arguments at all the usage comes before anything is read.
	for (k = 0, next = 1; k < 5 && args.size() > 1; k++) {
		Require(memchr(Parms[k], 0, sizeof Parms[k]) != NULL);
		if (k >= ParmCount) {
			Require(Parms[k][0] == 0);
			continue;
		}
		while (next < args.size() && args[next] != Parms[k])
			next++;
		Require(next++ < args.size());
	}
	if (ret == 5) {
		Require(out.size() >= help.size());
		Require(out.compare(out.size() - help.size(), help.size(), help) == 0);
		Require(err.empty() || err.compare(0, 18, "\n Parameter error>") == 0);
		return 0;
	}
	Require(out.empty() && err.empty());
	for (i = 1; i < args.size(); i++)
		value |= args[i].size() >= 2 && (args[i][0] | 0x20) == 'v' && args[i][1] == '=';
	Require(Voff == !value);
	Require(Inverse == 0 || Inverse == 1);
	Require(Line >= 0 && Word >= 0 && Loop >= 0);
	Require(std::isfinite(Dbl(&Diff)) && std::isfinite(Dbl(&ValueC)));
	Require(strlen(CompareFile1()) < 256 && strlen(ErrProc()) < 256);
	Require(strlen(RetProc()) < 256 && strlen(LogFile()) < 256);
	Require(LogFile()[0] != 0);
	if (Voff)
		Require(strlen(CompareFile2()) < 256);
	return 0;
}
