#include "settings.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

int Voff = 1;
int Line;
int Word;
int Loop;
Num Diff;
Num ValueC;
int Inverse;
int ParmCount;
char Parms[5][256];
int Timeout;
int After = 1;
int Syslog = 1;

const char Help[] =
    "\n"
    "\tUse:Torquelin [i|I] v|V=value d|D=XX l|L=Line-No.\n"
    "                  w|W=Word-No compare-file Err-Proc\n"
    "                  Ret-Proc [Log-file].\n"
    "        for one value compare.\n"
    "\n"
    "\tUse:Torquelin [i|I] d|D=XX l|L=Line-No. w|W=Word-No\n"
    "                  x|X=YY compare-file-1 compare-file-2\n"
    "                   Err-Proc Ret-Proc [Log-file].\n"
    "        for two files compare.\n"
    "\n"
    "        i|I         Set inverse alarm condition. Means same\n"
    "                    value will submit Err-Proc.\n"
    "        v|V value   Compare value, in case of\n"
    "                    compare value compare value is(are)\n"
    "                    bigger than the defined margin\n"
    "\t\t\t\t\tXX, Err-Proc will be submitted.\n"
    "\t\td|D XX      margin of value difference.\n"
    "\t\tl|L LIne-No. Define where the compare value\n"
    "\t\tw|W Word-No comes from Word-No of Line-No\n"
    "\t\t            of compare file.\n"
    "                    (start to compare for two files mode\n"
    "                    and loop YY times.)\n"
    "        x|X YY      define the do loop counter for\n"
    "                    two files compare.\n"
    "        Log-file    Log file for keep last status.\n"
    "                    default name is Plomt.log\n"
    "        Return Value:  0 Normal\n"
    "                      -1 Return to Normal\n"
    "                       1 First Alarm\n"
    "                       2 Continue Alarm\n"
    "                       5 Error return\n"
    "\n"
    "\n"
    ">";

const char More[] =
    "\n"
    "\tUse:Torquelin --words l|L=Line-No. compare-file\n"
    "        shows line Line-No. as a check reads it and every word\n"
    "        with its Word-No. and the number it reads as.\n"
    "\tUse:Torquelin [--timeout=SECONDS] [--after=N] [--no-syslog] check\n"
    "        --timeout=SECONDS  ends a command still running after SECONDS.\n"
    "        --after=N          Err-Proc when the counter reaches N, Ret-Proc\n"
    "                           only when such an alarm ends.\n"
    "        --no-syslog        nothing to the system log.\n"
    "\tUse:Torquelin --status Log-file...\n"
    "        prints a line per status log: name, state, counter,\n"
    "        compare value, target value, time last written.\n"
    "\tUse:Torquelin --help | --version\n";

int
Whole(const char *text)
{
	long v;

	v = strtol(text, NULL, 10);
	if (v > INT_MAX)
		return INT_MAX;
	if (v < INT_MIN)
		return INT_MIN;
	return (int)v;
}

static int
Usage(void)
{
	fputs(Help, stdout);
	fflush(stdout);
	return 5;
}

static int
ParmError(const char *arg)
{
	fprintf(stderr, "\n Parameter error>%s<\n", arg);
	fflush(stderr);
	return Usage();
}

// The value of --name=N in a, a whole number from 1 up; 0 when a is
// another option or its value is no such number.
static int
Count(const char *a, const char *name)
{
	size_t n = strlen(name);
	long long v = 0;
	const char *p;

	if (strncmp(a, name, n) != 0 || a[n] != '=' || a[n + 1] == 0)
		return 0;
	for (p = a + n + 1; *p; p++) {
		if (!isdigit((unsigned char)*p))
			return 0;
		v = v * 10 + (*p - '0');
		if (v > INT_MAX)
			return 0;
	}
	return (int)v;
}

// Reads one option of those that stand before a check; 0 when a is none.
static int
Option(const char *a)
{
	int v;

	if ((v = Count(a, "--timeout")) > 0 && CanTimeOut())
		Timeout = v;
	else if ((v = Count(a, "--after")) > 0)
		After = v;
	else if (strcmp(a, "--no-syslog") == 0)
		Syslog = 0;
	else
		return 0;
	return 1;
}

int
ReadSettings(int argc, char **argv)
{
	int i, v;

	if (argc <= 1)
		return Usage();
	for (i = 0; i < 5; i++)
		Parms[i][0] = 0;
	ParmCount = 0;
	Inverse = 0;
	// An argument that starts with -- ahead of the check's own is an
	// option: a file of such a name is given as ./--name.
	for (i = 1; i < argc && strncmp(argv[i], "--", 2) == 0; i++)
		if (!Option(argv[i]))
			return ParmError(argv[i]);
	for (; i < argc; i++) {
		const char *a = argv[i];

		if (a[0] != 0 && a[1] == '=') {
			const char *val = a + 2;

			switch (a[0]) {
			case 'V': case 'v':
				ValueC = Real(val);
				Voff = 0;
				break;
			case 'D': case 'd':
				Diff = Real(val);
				break;
			case 'L': case 'l':
				v = Whole(val);
				Line = v < 0 ? 0 : v;
				break;
			case 'W': case 'w':
				v = Whole(val);
				Word = v < 1 ? 0 : v - 1;
				break;
			case 'X': case 'x':
				v = Whole(val);
				Loop = v < 0 ? 0 : v;
				break;
			default:
				return ParmError(a);
			}
		} else if (strcmp(a, "i") == 0 || strcmp(a, "I") == 0) {
			Inverse = 1;
		} else if (ParmCount == 5) {
			puts("\n Too many Parameters error.");
			return Usage();
		} else if (strlen(a) > 255) {
			// Never cut a file name or a command silently.
			return ParmError(a);
		} else {
			strcpy(Parms[ParmCount++], a);
		}
	}
	return 0;
}

const char *
CompareFile1(void)
{
	return Parms[0];
}

const char *
CompareFile2(void)
{
	return Parms[1];
}

const char *
ErrProc(void)
{
	return Parms[1 + Voff];
}

const char *
RetProc(void)
{
	return Parms[2 + Voff];
}

const char *
LogFile(void)
{
	return Parms[3 + Voff][0] ? Parms[3 + Voff] : "Plomt.log";
}

int
Form(int argc, char **argv)
{
	if (argc >= 2 && strcmp(argv[1], "--words") == 0)
		return WordsForm;
	if (argc >= 2 && strcmp(argv[1], "--status") == 0)
		return StatusForm;
	if (argc == 2 && (strcmp(argv[1], "--help") == 0 ||
	    strcmp(argv[1], "-h") == 0))
		return HelpForm;
	if (argc == 2 && (strcmp(argv[1], "--version") == 0 ||
	    strcmp(argv[1], "-V") == 0))
		return VersionForm;
	return CheckForm;
}
