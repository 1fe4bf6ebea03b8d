#include "statuslog.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform.h"

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

int
OpenStatus(const char *name, Log *log)
{
	Len = 0;
	if (LogOpen(name, log))
		return 1;
	fputs("\nLog file open error.\n\n", stderr);
	return 0;
}

int
ScanStatus(FILE *f, Status *s)
{
	s->CStatus = s->LStatusX = 0;
	if (!SkipMessages(f) || !ScanInt(f, &s->CStatus))
		return 0;
	ScanInt(f, &s->LStatusX);
	return 1;
}

int
ReadStatus(Log *log, Status *s)
{
	FILE *f;

	s->CStatus = s->LStatusX = 0;
	switch (LogLock(log, LockWait)) {
	case LockTimedOut:
		fprintf(stderr, "\nLog file >%s< still locked after %d s,"
		    " going on without the lock.\n\n", log->path, (int)LockWait);
		break;
	case LockLost:
		fputs("\nLog file open error.\n\n", stderr);
		CloseStatus(log);
		return 0;
	}
	if ((f = LogText(log)) != NULL) {
		ScanStatus(f, s);
		fclose(f);
	}
	s->LStatus = s->CStatus;
	return 1;
}

// Adds n bytes of s to the new log, its lines ended as the platform's text
// files end them, when all of them fit in room.
static void
Add(size_t room, const char *s, int n)
{
	size_t k = 0, e = strlen(LineEnd);
	const char *q;
	int i;

	for (i = 0; i < n; i++)
		k += s[i] == '\n' ? e : 1;
	if (n <= 0 || k >= room - Len)
		return;
	for (i = 0; i < n; i++) {
		if (s[i] != '\n')
			Text[Len++] = s[i];
		else
			for (q = LineEnd; *q; q++)
				Text[Len++] = *q;
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
WriteStatus(Log *log, const Status *s, double value, const char *target,
    double margin)
{
	char r[ReportRoom];
	int ok, n;

	n = snprintf(r, sizeof r, "%d\n%d\n"
	    "Compare value = %f\nTarget value  = %s\nDifference    = %f\n",
	    s->CStatus, s->LStatus, value, target, margin);
	Add(sizeof Text, r, n);
	ok = LogPut(log, Text, Len);
	CloseStatus(log);
	if (!ok)
		fputs("\nLog file write error.\n\n", stderr);
	return ok;
}

void
CloseStatus(Log *log)
{
	LogDone(log);
}
