#include "statuslog.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform.h"

int CStatus;
int LStatus;
int LStatusX;

static int Writable;

// The new log: the run's word-count messages, then the report.  Messages
// beyond the room are still printed on standard error, but a file of a
// million short lines does not make a log of many megabytes.
enum { MessageRoom = 1 << 16, ReportRoom = 1024 };
static char Text[MessageRoom + ReportRoom];
static size_t Len;

static const char Message[] = "Word count >";

// Passes over white space; returns the first other byte, unread.
static int
Blanks(FILE *f)
{
	int c;

	while ((c = getc(f)) == ' ' || (c >= '\t' && c <= '\r'))
		;
	if (c != EOF)
		ungetc(c, f);
	return c;
}

// Passes over the rest of a line and its line feed.
static void
SkipLine(FILE *f)
{
	int c;

	while ((c = getc(f)) != EOF && c != '\n')
		;
}

// Passes over the word-count messages that a run wrote ahead of the
// counter, two lines each; 0 when the log starts with other text.
static int
SkipMessages(FILE *f)
{
	const char *m;

	while (Blanks(f) == 'W') {
		for (m = Message; *m; m++)
			if (getc(f) != *m)
				return 0;
		SkipLine(f);
		SkipLine(f);
	}
	return 1;
}

// One decimal integer as a "%d" read takes it: white space first, then an
// optional sign and digits; saturated where "%d" would be undefined.
static int
ScanInt(FILE *f, int *v)
{
	long long n = 0;
	int c, neg = 0, digits = 0;

	Blanks(f);
	c = getc(f);
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
	FILE *f;

	CStatus = 0;
	LStatusX = 0;
	Len = 0;
	if ((f = LogOpen(name, &Writable)) != NULL) {
		if (SkipMessages(f) && ScanInt(f, &CStatus))
			ScanInt(f, &LStatusX);
		fclose(f);
	}
	LStatus = CStatus;
}

int
OpenStatus(void)
{
	if (!Writable) {
		fputs("\nLog file open error.\n\n", stderr);
		LogClose();
		return 0;
	}
	return 1;
}

// Adds n bytes of s to the new log when all of them fit in room.
static void
Add(size_t room, const char *s, int n)
{
	if (n > 0 && (size_t)n < room - Len) {
		memcpy(Text + Len, s, n);
		Len += n;
	}
}

void
WordCountError(int word, const char *line)
{
	char m[320];
	int n = snprintf(m, sizeof m, "Word count >%d error.\n >%s<\n", word, line);

	fputs(m, stderr);
	Add(MessageRoom, m, n);
}

int
WriteStatus(int count, int before, double value, const char *target,
    double margin)
{
	char r[ReportRoom];
	int ok;

	Add(sizeof Text, r, snprintf(r, sizeof r, "%d\n%d\n"
	    "Compare value = %f\nTarget value  = %s\nDifference    = %f\n",
	    count, before, value, target, margin));
	ok = LogWrite(Text, Len);
	LogClose();
	if (!ok)
		fputs("\nLog file write error.\n\n", stderr);
	return ok;
}

void
CloseStatus(void)
{
	LogClose();
}
