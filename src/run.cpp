#include "run.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "linesource.h"
#include "platform.h"
#include "settings.h"
#include "statuslog.h"
#include "textutil.h"

static char LineBuf[256];
static char LineBufX[256];
static Src In1, In2;

// One compared line: its number and the two values.
struct Seen {
	long line;
	Num value, compare;
};

// What the comparison found.
struct Tally {
	long long errs, oks;   // lines in alarm and normal lines
	int failed;            // a line had too few words: the run is an error
	Seen alarm;            // the first line in alarm
	Seen last;             // the last line compared
	Num compare;           // the compare value the log reports
	char target[256];      // the chosen word of the line split last
};

static void
CompareError(const char *name, const char *what)
{
	fprintf(stderr, "\nCompare file >%s< %s.\n\n", name, what);
}

// Opens a compare file for reading, or says why it cannot; a directory is
// no compare file.
static FILE *
OpenCompare(const char *name)
{
	FILE *f;

	if ((f = fopen(name, "r")) != NULL && StreamKind(f) == KindDir) {
		fclose(f);
		f = NULL;
	}
	if (f == NULL)
		CompareError(name, "open error");
	return f;
}

// Reads up to line L of a compare file into buf; 0, reported, when the file
// has fewer lines or cannot be read.
static int
Reach(Src *s, const char *name, char *buf)
{
	if (SrcGoTo(s, Line, buf) && !SrcFailed(s))
		return 1;
	if (SrcFailed(s))
		CompareError(name, "read error");
	else
		fprintf(stderr, "\nCompare file >%s< has no line %d.\n\n", name, Line);
	return 0;
}

// Splits line into Par and keeps its chosen word as the log's target;
// returns how many words it has.  An empty line has none.
static int
Split(const char *line, char *target)
{
	int n = line[0] ? Parsex(line) : 0;

	if (n > Word && Word >= 0 && Word < 20)
		strcpy(target, Par[Word]);
	else
		target[0] = 0;
	return n;
}

// Reads word Word of line into *v; 0, reported, when the line has no such
// word.  The table holds 20 words, so an index past them never has one.
static int
WordOf(const char *line, Num *v, Tally *t)
{
	if (Split(line, t->target) <= Word || Word >= 20) {
		WordCountError(Word, line);
		t->failed = 1;
		return 0;
	}
	*v = Real(Par[Word]);
	return 1;
}

// Compares line L, and in two-file mode the X lines after it, counting the
// lines in alarm and the normal ones.  Returns 0 when the files cannot be
// compared: a line or a word of compare-file-2 that is not there, or a
// read error.
static int
Compare(Tally *t)
{
	Seen s;
	long k;
	int alarm;

	if (!Reach(&In1, CompareFile1(), LineBuf) ||
	    (Voff && !Reach(&In2, CompareFile2(), LineBufX)))
		return 0;
	for (k = 0;; k++) {
		s.line = (long)Line + k;
		s.compare = t->compare;
		if (WordOf(LineBuf, &s.value, t) &&
		    (!Voff || WordOf(LineBufX, &s.compare, t))) {
			if (Voff && Par[Word][0] == 0) {
				fprintf(stderr, "\nCompare file >%s< line %ld word %d"
				    " empty.\n\n", CompareFile2(), s.line, Word + 1);
				return 0;
			}
			t->compare = s.compare;
			alarm = Above(&s.value, &s.compare, &Diff);
			if (Inverse)
				alarm = !alarm;
			if (alarm && t->errs++ == 0)
				t->alarm = s;
			if (!alarm)
				t->oks++;
			t->last = s;
		}
		if (!Voff || k >= Loop || SrcAtEnd(&In1) || SrcAtEnd(&In2))
			break;
		SrcLine(&In1, LineBuf);
		SrcLine(&In2, LineBufX);
	}
	if (SrcFailed(&In1) || (Voff && SrcFailed(&In2))) {
		CompareError(SrcFailed(&In1) ? CompareFile1() : CompareFile2(),
		    "read error");
		return 0;
	}
	return 1;
}

static int
Up(int n)
{
	return n == INT_MAX ? n : n + 1;
}

// The alarm decision from the counter and this run's lines: returns the
// exit code, moves *count on and sets *cmd to the command to run, if any.
static int
Decide(int *count, const Tally *t, int ret, const char **cmd)
{
	int minus = strcmp(RetProc(), "-1") == 0;

	*cmd = NULL;
	if (*count != 0 || minus) {
		if (t->errs > 0) {
			if (minus)
				*cmd = ErrProc();
			ret = *count != 0 ? 2 : 1;
			*count = Up(*count);
		} else {
			*count = 0;
			ret = -1;
			if (t->oks > 0 && RetProc()[0] && !minus)
				*cmd = RetProc();
		}
	} else if (t->errs > 0) {
		*count = 1;
		ret = 1;
		*cmd = ErrProc();
	}
	return ret;
}

// name=v, v with the digits that tell it from any other number.
static void
PutVar(char *buf, size_t size, const char *name, double v)
{
	char num[32];

	PutReal(num, sizeof num, v);
	snprintf(buf, size, "%s=%s", name, num);
}

// The command's environment: what happened, and the line it happened on.
static void
Describe(const Tally *t, int ret, int before, int after, const char **vars)
{
	enum { Vars = 15 };
	static char buf[Vars][320];
	const size_t m = sizeof buf[0];
	const Seen *s = ret == -1 ? &t->last : &t->alarm;
	int n = 0;

	snprintf(buf[n++], m, "TORQUELIN_EVENT=%s", ret == 1 ? "first-alarm" :
	    ret == 2 ? "continue-alarm" : "return-to-normal");
	snprintf(buf[n++], m, "TORQUELIN_EXIT=%d", ret);
	PutVar(buf[n++], m, "TORQUELIN_VALUE", Dbl(&s->value));
	PutVar(buf[n++], m, "TORQUELIN_COMPARE", Dbl(&s->compare));
	PutVar(buf[n++], m, "TORQUELIN_DIFFERENCE", Apart(&s->value, &s->compare));
	PutVar(buf[n++], m, "TORQUELIN_MARGIN", Dbl(&Diff));
	snprintf(buf[n++], m, "TORQUELIN_LINE=%ld", s->line);
	snprintf(buf[n++], m, "TORQUELIN_WORD=%d", Word + 1);
	snprintf(buf[n++], m, "TORQUELIN_COUNTER_BEFORE=%d", before);
	snprintf(buf[n++], m, "TORQUELIN_COUNTER=%d", after);
	snprintf(buf[n++], m, "TORQUELIN_ALARM_LINES=%lld", t->errs);
	snprintf(buf[n++], m, "TORQUELIN_NORMAL_LINES=%lld", t->oks);
	snprintf(buf[n++], m, "TORQUELIN_FILE=%s", CompareFile1());
	snprintf(buf[n++], m, "TORQUELIN_FILE2=%s", Voff ? CompareFile2() : "");
	snprintf(buf[n++], m, "TORQUELIN_LOG=%s", LogFile());
	for (n = 0; n < Vars; n++)
		vars[n] = buf[n];
	vars[n] = NULL;
}

// Two-file mode ends by copying compare-file-1 over compare-file-2, so that
// the next run compares against this run's data.
static int
Copy(int ret)
{
	if (Voff && !CopyOver(CompareFile1(), CompareFile2())) {
		fprintf(stderr, "\nCopy file >%s< error.\n\n", CompareFile2());
		if (ret == 0)
			ret = 5;
	}
	return ret;
}

int
Run(void)
{
	static Tally t;
	const char *vars[16];
	const char *cmd = NULL;
	FILE *f1, *f2 = NULL;
	int ret = 5, before, ok;

	// Runs on one log take their turns from reading it to putting the new
	// one in place, so that none of them decides on a counter that another
	// is about to change.
	ReadStatus(LogFile());
	before = CStatus;
	if ((f1 = OpenCompare(CompareFile1())) == NULL) {
		CloseStatus();
		return 5;
	}
	if (Voff && (f2 = OpenCompare(CompareFile2())) == NULL) {
		CloseStatus();
		fclose(f1);
		return Copy(5);
	}
	if (!OpenStatus()) {
		fclose(f1);
		if (f2)
			fclose(f2);
		return Copy(5);
	}

	SrcOpen(&In1, f1);
	if (Voff)
		SrcOpen(&In2, f2);
	t.compare = ValueC;
	ok = Compare(&t);
	fclose(f1);
	if (f2)
		fclose(f2);
	// A run that compared no line has no news: the counter stays.
	if (ok && t.errs + t.oks > 0)
		ret = Decide(&CStatus, &t, t.failed ? 5 : 0, &cmd);
	// An error passes the second number on as it was.
	if (ret == 5 || t.failed)
		LStatus = LStatusX;

	// The new state is on disk before any command runs, so a command that
	// hangs or is killed can neither lose nor repeat this run's alarm, and
	// the next run goes on while it runs.
	if (!WriteStatus(CStatus, LStatus, Dbl(&t.compare), t.target, Dbl(&Diff)) && ret == 0)
		ret = 5;
	if (cmd && cmd[0]) {
		Describe(&t, ret, before, CStatus, vars);
		if (!RunCommand(cmd, vars))
			fprintf(stderr, "\nCommand >%s< start error.\n\n", cmd);
	}
	return Copy(ret);
}

int
Words(void)
{
	char target[256], num[32];
	Num v;
	FILE *f;
	int i, n;

	if ((f = OpenCompare(CompareFile1())) == NULL)
		return 5;
	SrcOpen(&In1, f);
	if (!Reach(&In1, CompareFile1(), LineBuf)) {
		fclose(f);
		return 5;
	}
	fclose(f);
	printf("Line %d of >%s<: >%s<\n", Line, CompareFile1(), LineBuf);
	n = Split(LineBuf, target);
	for (i = 0; i < n; i++) {
		v = Real(Par[i]);
		PutReal(num, sizeof num, Dbl(&v));
		printf("W=%-3d >%s<  reads %s\n", i + 1, Par[i], num);
	}
	if (n == 0)
		printf("No words: every W is a word count error.\n");
	else if (n < 20)
		printf("After the last word: W=%d and higher are word count errors.\n",
		    n + 1);
	else
		printf("After W=20: every W is a word count error.\n");
	return 0;
}
