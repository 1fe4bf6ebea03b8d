#include "status.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "filepolicy.h"
#include "settings.h"
#include "statuslog.h"

// A log the tool wrote holds at most its messages' room and a report;
// what lies beyond this is no part of one.
enum { Room = 1 << 17 };
static char Buf[Room + 1];

// What a log says.
struct State {
	int count;
	char compare[64], target[256], written[32];
};

// Copies the rest of the line after label, if the text holds that line,
// into out; "-" when it is missing or empty.
static void
Field(const char *text, const char *label, char *out, size_t size)
{
	const char *p = strstr(text, label);
	size_t n = 0;

	if (p != NULL)
		for (p += strlen(label); *p && *p != '\n' && *p != '\r' &&
		    n + 1 < size; p++)
			out[n++] = *p;
	if (n == 0)
		out[n++] = '-';
	out[n] = 0;
}

// Prints s and a tab; a tab or another control character in it becomes
// '?', so that each field stays one field of one line.
static void
Put(const char *s)
{
	for (; *s; s++)
		putchar(iscntrl((unsigned char)*s) ? '?' : *s);
	putchar('\t');
}

// Reads the counter and the report; 0 when no counter stands where a run
// writes it, after the word-count messages.
static int
Parse(FILE *f, State *st)
{
	Status s;
	size_t n;

	if (!ScanStatus(f, &s))
		return 0;
	st->count = s.CStatus;
	// The report's lines follow the numbers, each after a line feed.
	Buf[0] = '\n';
	n = fread(Buf + 1, 1, Room - 1, f);
	if (ferror(f))
		return 0;
	Buf[n + 1] = 0;
	Field(Buf, "\nCompare value = ", st->compare, sizeof st->compare);
	Field(Buf, "\nTarget value  = ", st->target, sizeof st->target);
	return 1;
}

// Reads one log into st; 0 when it cannot be read as one.
static int
Inspect(const char *name, State *st)
{
	long long written;
	time_t t;
	struct tm *tm;
	FILE *f;
	int ok;

	if ((f = ReadRegular(name, &written)) == NULL)
		return 0;
	ok = Parse(f, st);
	fclose(f);
	t = (time_t)written;
	if ((tm = localtime(&t)) == NULL ||
	    strftime(st->written, sizeof st->written, "%Y-%m-%d %H:%M:%S", tm) == 0)
		strcpy(st->written, "-");
	return ok;
}

int
ShowStates(int count, char **names)
{
	State st;
	int i, ret = 0;

	if (count == 0) {
		fputs(Help, stdout);
		fputs(More, stdout);
		return 5;
	}
	for (i = 0; i < count; i++) {
		Put(names[i]);
		if (!Inspect(names[i], &st)) {
			puts("unreadable\t-\t-\t-\t-");
			ret = 5;
			continue;
		}
		printf("%s\t%d\t", st.count > 0 ? "alarm" : "normal", st.count);
		Put(st.compare);
		Put(st.target);
		puts(st.written);
		if (st.count > 0 && ret == 0)
			ret = 1;
	}
	return ret;
}
