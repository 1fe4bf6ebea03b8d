#include "run.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "filepolicy.h"
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

	if ((f = ReadOpen(name)) == NULL)
		CompareError(name, "open error");
	return f;
}

static void
CloseCompare(FILE *f1, FILE *f2)
{
	fclose(f1);
	if (f2)
		fclose(f2);
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

// Compares line L of f1, and in two-file mode the X lines after it with
// those of f2, counting the lines in alarm and the normal ones.  Returns 0
// when the files cannot be compared: a line or a word of compare-file-2
// that is not there, or a read error.
static int
Compare(FILE *f1, FILE *f2, Tally *t)
{
	Seen s;
	long k;
	int alarm;

	SrcOpen(&In1, f1);
	if (f2)
		SrcOpen(&In2, f2);
	t->compare = ValueC;
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

// Whether an alarm that stood at count runs has been notified: it reached
// After.  A negative counter, written by hand, counts as an alarm.
static int
Notified(int count)
{
	return count >= After || count < 0;
}

// The alarm decision from the counter and this run's lines: returns the
// exit code, moves *count on and sets *cmd to the command to run, if any.
// The command is set, empty or not, on the runs that notify: an alarm
// that reaches After runs (with Ret-Proc -1 every alarming run from then
// on), and the end of such an alarm.
static int
Decide(int *count, const Tally *t, int ret, const char **cmd)
{
	int minus = strcmp(RetProc(), "-1") == 0;
	int was = *count;

	*cmd = NULL;
	if (was != 0 || minus) {
		if (t->errs > 0) {
			ret = was != 0 ? 2 : 1;
			*count = Up(was);
		} else {
			*count = 0;
			ret = -1;
			if (t->oks > 0 && !minus && Notified(was))
				*cmd = RetProc();
		}
	} else if (t->errs > 0) {
		*count = 1;
		ret = 1;
	}
	if (t->errs > 0 && (*count == After || (minus && Notified(*count))))
		*cmd = ErrProc();
	return ret;
}

// v with the digits that tell it from any other number, as the commands
// and the system log see it.
static const char *
Print(char *buf, size_t size, double v)
{
	PutReal(buf, size, v);
	return buf;
}

// The command's environment: what happened, and the line it happened on.
static void
Describe(const Tally *t, int ret, int before, int after, const char **vars)
{
	enum { Vars = 15 };
	static char buf[Vars][320];
	const size_t m = sizeof buf[0];
	const Seen *s = ret == -1 ? &t->last : &t->alarm;
	char v[32];
	int n = 0;

	snprintf(buf[n++], m, "TORQUELIN_EVENT=%s", ret == 1 ? "first-alarm" :
	    ret == 2 ? "continue-alarm" : "return-to-normal");
	snprintf(buf[n++], m, "TORQUELIN_EXIT=%d", ret);
	snprintf(buf[n++], m, "TORQUELIN_VALUE=%s", Print(v, sizeof v, Dbl(&s->value)));
	snprintf(buf[n++], m, "TORQUELIN_COMPARE=%s",
	    Print(v, sizeof v, Dbl(&s->compare)));
	snprintf(buf[n++], m, "TORQUELIN_DIFFERENCE=%s",
	    Print(v, sizeof v, Apart(&s->value, &s->compare)));
	snprintf(buf[n++], m, "TORQUELIN_MARGIN=%s", Print(v, sizeof v, Dbl(&Diff)));
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

// The line a message about this run names: the first in alarm, or on a
// return the last compared; null when none was compared.
static const Seen *
Shown(const Tally *t, int ret)
{
	if (t->errs + t->oks == 0)
		return NULL;
	return t->errs > 0 && ret != -1 ? &t->alarm : &t->last;
}

// One line to the system log: what happened, the log, the value, the
// compare value, the margin and the line.
static void
Tell(int severity, const char *what, const Seen *s)
{
	char m[1024], v[40], c[40], d[40];

	if (!Syslog)
		return;
	if (s)
		snprintf(m, sizeof m, "%s: log >%s< value %s compare %s margin %s"
		    " line %ld", what, LogFile(), Print(v, sizeof v, Dbl(&s->value)),
		    Print(c, sizeof c, Dbl(&s->compare)), Print(d, sizeof d, Dbl(&Diff)),
		    s->line);
	else
		snprintf(m, sizeof m, "%s: log >%s< no value margin %s line %d",
		    what, LogFile(), Print(d, sizeof d, Dbl(&Diff)), Line);
	SysLog(severity, m);
}

// Tells the system log of a run that begins or ends a notified alarm:
// one that runs a command, or would were it not empty, and a return from
// an alarm that was notified (with Ret-Proc -1 no command marks it).
static void
Transition(const Tally *t, int ret, int before, int after, const char *cmd)
{
	char what[64];

	if (ret == -1 && before != 0 && Notified(before))
		Tell(SevNotice, "Return to Normal", Shown(t, ret));
	else if (ret == 1 && cmd)
		Tell(SevWarning, "First Alarm", Shown(t, ret));
	else if (ret == 2 && cmd) {
		snprintf(what, sizeof what, "Continue Alarm, run %d", after);
		Tell(SevWarning, what, Shown(t, ret));
	}
}

// Runs cmd and, when it fails, says so on standard error and in the
// system log; the run's exit code stays as decided.
static void
Perform(const Tally *t, int ret, const char *cmd, const char *const *vars)
{
	char m[600];
	int how, code;

	if (!RunCommand(cmd, vars, Timeout, &how, &code))
		snprintf(m, sizeof m, "Command >%s< start error", cmd);
	else if (how == TimedOut)
		snprintf(m, sizeof m, "Command >%s< timed out after %d s", cmd, code);
	else if (how == Signalled)
		snprintf(m, sizeof m, "Command >%s< ended by signal %d", cmd, code);
	else if (code != 0)
		snprintf(m, sizeof m, "Command >%s< exit status %d", cmd, code);
	else
		return;
	fprintf(stderr, "\n%s.\n\n", m);
	Tell(SevError, m, Shown(t, ret));
}

// Tells the system log of a run that ends in error; returns ret.
static int
Finish(int ret, const Tally *t)
{
	if (ret == 5)
		Tell(SevError, "Error return", Shown(t, ret));
	return ret;
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

// Runs the command cmd, if any, with what happened in its environment.
static void
Notify(const char *cmd, const Tally *t, int ret, int before, int after)
{
	const char *vars[16];

	Transition(t, ret, before, after, cmd);
	if (cmd == NULL || cmd[0] == 0)
		return;
	Describe(t, ret, before, after, vars);
	Perform(t, ret, cmd, vars);
}

// One check, as its steps: t receives what the comparison found.
static int
Check(Tally *t)
{
	const char *cmd = NULL;
	FILE *f1, *f2 = NULL;
	Status s;
	Log log;
	int ret = 5, ok, before;

	if ((f1 = OpenCompare(CompareFile1())) == NULL)
		return 5;
	if (Voff && (f2 = OpenCompare(CompareFile2())) == NULL) {
		fclose(f1);
		return Copy(5);
	}
	if (!OpenStatus(LogFile(), &log)) {
		CloseCompare(f1, f2);
		return Copy(5);
	}
	ok = Compare(f1, f2, t);
	CloseCompare(f1, f2);

	// Runs on one log take turns from reading its counter to putting the
	// new log in place; the compare files, however slow, come before.
	if (!ReadStatus(&log, &s))
		return Copy(5);
	before = s.CStatus;
	// A run that compared no line has no news: the counter stays, and an
	// error passes the second number on as it was.
	if (ok && t->errs + t->oks > 0)
		ret = Decide(&s.CStatus, t, t->failed ? 5 : 0, &cmd);
	if (ret == 5 || t->failed)
		s.LStatus = s.LStatusX;
	// On disk before any command runs, which can then neither lose nor
	// repeat this run's alarm, nor hold up the next run.
	if (!WriteStatus(&log, &s, Dbl(&t->compare), t->target, Dbl(&Diff)) && ret == 0)
		ret = 5;
	Notify(cmd, t, ret, before, s.CStatus);
	return Copy(ret);
}

int
Run(void)
{
	static Tally t;

	return Finish(Check(&t), &t);
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
