#include "run.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "linesource.h"
#include "platform.h"
#include "settings.h"
#include "statuslog.h"
#include "textutil.h"

float Value;

static char LineBuf[256];
static char LineBufX[256];
static Src In1, In2;

// Opens a compare file for reading; a directory is no compare file.
static FILE *
OpenCompare(const char *name)
{
	FILE *f;

	if ((f = fopen(name, "r")) == NULL)
		return NULL;
	if (StreamKind(f) == KindDir) {
		fclose(f);
		return NULL;
	}
	return f;
}

static void
CompareOpenError(const char *name)
{
	fprintf(stderr, "\nCompare file >%s< open error.\n\n", name);
}

static int
Up(int n)
{
	return n == INT_MAX ? n : n + 1;
}

// The alarm decision; returns the exit code and sets *cmd to the command
// to run, if any.
static int
Decide(long long errs, long long oks, int ret, const char **cmd)
{
	int minus = strcmp(RetProc(), "-1") == 0;

	*cmd = NULL;
	if (CStatus != 0 || minus) {
		if (errs > 0) {
			if (minus)
				*cmd = ErrProc();
			ret = CStatus != 0 ? 2 : 1;
			CStatus = Up(CStatus);
		} else {
			CStatus = 0;
			ret = -1;
			if (oks > 0 && RetProc()[0] && !minus)
				*cmd = RetProc();
		}
	} else if (errs > 0) {
		CStatus = 1;
		ret = 1;
		*cmd = ErrProc();
	}
	return ret;
}

// Reads the number of word Word of a split line.
static float
WordValue(void)
{
	return Real(Par[Word]);
}

int
Run(void)
{
	FILE *f1, *f2 = NULL;
	const char *cmd = NULL;
	long long errs = 0, oks = 0, compared = 0;
	int ret = 0, decide = 1, n, alarm;

	// Runs on one log take their turns from reading it to putting the new
	// one in place, so that none of them decides on a counter that another
	// is about to change.
	ReadStatus(LogFile());
	if ((f1 = OpenCompare(CompareFile1())) == NULL) {
		CloseStatus();
		CompareOpenError(CompareFile1());
		return 5;
	}
	if (Voff && (f2 = OpenCompare(CompareFile2())) == NULL) {
		CloseStatus();
		CompareOpenError(CompareFile2());
		fclose(f1);
		ret = 5;
		LStatus = LStatusX;
		goto copy;
	}
	if (!OpenStatus()) {
		fclose(f1);
		if (f2)
			fclose(f2);
		ret = 5;
		LStatus = LStatusX;
		goto copy;
	}

	// Lines before L are only counted; a failing read ends a stream.
	SrcOpen(&In1, f1);
	if (Voff)
		SrcOpen(&In2, f2);
	if (!SrcGoTo(&In1, Line, LineBuf) ||
	    (Voff && !SrcGoTo(&In2, Line, LineBufX)))
		goto unreached;

	for (;;) {
		// The table has 20 words; an index past them never has a word.
		n = Parsex(LineBuf);
		if (n < Word || Word >= 20) {
			WordCountError(Word, LineBuf);
			ret = 5;
			LStatus = LStatusX;
			goto next;
		}
		Value = WordValue();
		if (Voff) {
			n = Parsex(LineBufX);
			if (n < Word) {
				WordCountError(Word, LineBufX);
				ret = 5;
				LStatus = LStatusX;
				goto next;
			}
			if (Par[Word][0] == 0) {
				ret = 5;
				LStatus = LStatusX;
				decide = 0;
				break;
			}
			ValueC = WordValue();
		}
		Value = fabsf(Value - ValueC);
		// A NaN is not greater than the margin.
		alarm = Value > Diff;
		if (Inverse)
			alarm = !alarm;
		if (alarm)
			errs++;
		else
			oks++;
next:
		compared++;
		if (!Voff || compared > Loop || SrcAtEnd(&In1))
			break;
		SrcLine(&In1, LineBuf);
		if (Voff) {
			if (SrcAtEnd(&In2))
				break;
			SrcLine(&In2, LineBufX);
		}
	}
	if (decide)
		ret = Decide(errs, oks, ret, &cmd);
	if (0) {
unreached:
		ret = 5;
		LStatus = LStatusX;
	}
	fclose(f1);
	if (f2)
		fclose(f2);
	// The new state is on disk before any command runs, so a command that
	// hangs or is killed can neither lose nor repeat this run's alarm.
	if (!WriteStatus(CStatus, LStatus, ValueC, Word < 20 ? Par[Word] : "", Diff) &&
	    ret == 0)
		ret = 5;
	if (cmd)
		RunCommand(cmd, NULL);
copy:
	if (Voff && !CopyOver(CompareFile1(), CompareFile2())) {
		fprintf(stderr, "\nCopy file >%s< error.\n\n", CompareFile2());
		if (ret == 0)
			ret = 5;
	}
	return ret;
}
