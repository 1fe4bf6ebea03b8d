#include "statuslog.h"

#include <climits>
#include <cstdio>
#include <sys/stat.h>

#include "platform.h"
#include "settings.h"
#include "textutil.h"

int CStatus;
int LStatus;
int LStatusX;

static Replacement Log;
static int LogOpen;

// One decimal integer as a "%d" read takes it: white space first, then an
// optional sign and digits; saturated where "%d" would be undefined.
static int
ScanInt(FILE *f, int *v)
{
	long long n = 0;
	int c, neg = 0, digits = 0;

	while ((c = getc(f)) == ' ' || (c >= '\t' && c <= '\r'))
		;
	if (c == '-' || c == '+') {
		neg = c == '-';
		c = getc(f);
	}
	for (; c >= '0' && c <= '9'; c = getc(f), digits++)
		if (n <= (long long)INT_MAX + 1)
			n = n * 10 + (c - '0');
	if (c != EOF)
		ungetc(c, f);
	if (digits == 0)
		return 0;
	if (neg)
		n = -n;
	*v = n > INT_MAX ? INT_MAX : n < INT_MIN ? INT_MIN : (int)n;
	return 1;
}

void
ReadStatus(const char *name)
{
	struct stat st;
	FILE *f;

	CStatus = 0;
	// A pipe keeps no state between runs, and opening one to read would
	// wait for a writer that may never come.
	if (stat(name, &st) == 0 && S_ISFIFO(st.st_mode))
		f = NULL;
	else
		f = fopen(name, "r");
	if (f != NULL) {
		if (ScanInt(f, &CStatus))
			ScanInt(f, &LStatusX);
		fclose(f);
	}
	LStatus = CStatus;
}

int
OpenStatus(const char *name)
{
	if (!ReplaceOpen(&Log, name)) {
		fputs("\nLog file open error.\n\n", stderr);
		return 0;
	}
	LogOpen = 1;
	return 1;
}

void
WordCountError(const char *line)
{
	fprintf(stderr, "Word count >%d error.\n >%s<\n", Word, line);
	if (LogOpen)
		fprintf(Log.fp, "Word count >%d error.\n >%s<\n", Word, line);
}

int
WriteStatus(void)
{
	FILE *f = Log.fp;

	if (!LogOpen)
		return 1;
	LogOpen = 0;
	fprintf(f, "%d\n", CStatus);
	fprintf(f, "%d\n", LStatus);
	fprintf(f, "Compare value = %f\n", ValueC);
	fprintf(f, "Target value  = %s\n", Word < 20 ? Par[Word] : "");
	fprintf(f, "Difference    = %f\n", Diff);
	if (!ReplaceCommit(&Log)) {
		fputs("\nLog file write error.\n\n", stderr);
		return 0;
	}
	return 1;
}
