// Runs that go wrong: which message, which exit code, what happens to the
// log and to compare-file-2, and that no command runs.
#include <string>
#include <vector>

#include "harness.h"

using Failure = ToolTest;

static const std::string OldLog = "3\n2\nCompare value = 1.000000\nTarget value  = 1\n";

// What a run says of a line beyond the end, and of an empty word in "old".
static std::string
NoLine(const std::string &name, int line)
{
	return "\nCompare file >" + name + "< has no line " + std::to_string(line) + ".\n\n";
}

static std::string
Empty(int line, int word)
{
	return "\nCompare file >old< line " + std::to_string(line) + " word " +
	    std::to_string(word) + " empty.\n\n";
}

// Two files, L=1, margin 0.5; "new" holds 9 and "old" 1, an alarm if compared.
static std::vector<std::string>
Two(std::vector<std::string> extra = {}, const std::string &f1 = "new",
    const std::string &f2 = "old")
{
	std::vector<std::string> a = { "D=0.5", "L=1" };
	a.insert(a.end(), extra.begin(), extra.end());
	a.insert(a.end(), { f1, f2, E, R });
	return a;
}


TEST_F(Failure, CompareFile1DoesNotOpen)
{
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "missing", { { "old", "1\n" }, { "Plomt.log", OldLog } }, Two(),
		  5, OpenError("new"),
		  { { "old", "1\n" }, { "Plomt.log", OldLog }, { "new", Absent } }, "" },
		{ "missing, no log: none is made", { { "old", "1\n" } }, Two(),
		  5, OpenError("new"), { { "old", "1\n" }, { "Plomt.log", Absent } }, "" },
		{ "a directory", { { "new", Dir }, { "old", "1\n" }, { "Plomt.log", OldLog } },
		  Two(), 5, OpenError("new"),
		  { { "new", Dir }, { "old", "1\n" }, { "Plomt.log", OldLog } }, "" },
		{ "one-value mode", { { "Plomt.log", OldLog } },
		  { "v=1", "D=0.5", "L=1", "none", E, R }, 5, OpenError("none"),
		  { { "Plomt.log", OldLog } }, "" },
		{ "a name with blanks", {}, { "v=1", "L=1", "no such file", E, R },
		  5, OpenError("no such file"), { { "Plomt.log", Absent } }, "" },
		{ "both missing: only the first is named", {}, Two(),
		  5, OpenError("new"), { { "old", Absent } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}

// The log keeps its old content and no command runs, but the copy still
// gives the next run its compare-file-2.
TEST_F(Failure, CompareFile2DoesNotOpen)
{
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "missing: the copy makes it", { { "new", "9\n" }, { "Plomt.log", OldLog } },
		  Two(), 5, OpenError("old"),
		  { { "old", "9\n" }, { "Plomt.log", OldLog } }, "" },
		{ "missing, no log: none is made", { { "new", "9\n" } }, Two(),
		  5, OpenError("old"), { { "old", "9\n" }, { "Plomt.log", Absent } }, "" },
		{ "missing, with a Log-file slot", { { "new", "9\n" }, { "my.log", OldLog } },
		  { "D=0.5", "L=1", "new", "old", E, R, "my.log" }, 5, OpenError("old"),
		  { { "old", "9\n" }, { "my.log", OldLog }, { "Plomt.log", Absent } }, "" },
		{ "a directory: it cannot be replaced either",
		  { { "new", "9\n" }, { "old", Dir }, { "Plomt.log", OldLog } }, Two(),
		  5, OpenError("old") + CopyError("old"),
		  { { "old", Dir }, { "Plomt.log", OldLog } }, "" },
		{ "in a directory that does not exist",
		  { { "new", "9\n" }, { "Plomt.log", OldLog } }, Two({}, "new", "nodir/old"),
		  5, OpenError("nodir/old") + CopyError("nodir/old"),
		  { { "nodir", Absent }, { "Plomt.log", OldLog } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}

// Nothing is compared and no command runs; the copy still happens.
TEST_F(Failure, LogDoesNotOpenForWriting)
{
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "in a directory that does not exist", { { "new", "9\n" }, { "old", "1\n" } },
		  { "D=0.5", "L=1", "new", "old", E, R, "nodir/x.log" }, 5, LogOpenError,
		  { { "old", "9\n" }, { "nodir", Absent }, { "Plomt.log", Absent } }, "" },
		{ "a directory", { { "new", "9\n" }, { "old", "1\n" }, { "logs", Dir } },
		  { "D=0.5", "L=1", "new", "old", E, R, "logs" }, 5, LogOpenError,
		  { { "old", "9\n" }, { "logs", Dir } }, "" },
		{ "the default log a directory",
		  { { "new", "9\n" }, { "old", "1\n" }, { "Plomt.log", Dir } }, Two(),
		  5, LogOpenError, { { "old", "9\n" }, { "Plomt.log", Dir } }, "" },
		{ "one-value mode: no copy", { { "d", "9\n" }, { "Plomt.log", Dir } },
		  { "v=1", "D=0.5", "L=1", "d", E, R }, 5, LogOpenError,
		  { { "d", "9\n" }, { "Plomt.log", Dir } }, "" },
		{ "after a missing compare-file-2 only that is reported",
		  { { "new", "9\n" }, { "Plomt.log", Dir } }, Two(),
		  5, OpenError("old"), { { "old", "9\n" }, { "Plomt.log", Dir } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}

// The log is written, the counter and the second number stay as they were.
TEST_F(Failure, EndOfFileBeforeLineL)
{
	const std::string keep = Report(3, 2, "0.000000", "", "0.500000");
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "compare-file-2 ends first",
		  { { "new", "9\n9\n9\n" }, { "old", "1\n" }, { "Plomt.log", OldLog } },
		  Two({ "L=3" }), 5, NoLine("old", 3),
		  { { "old", "9\n9\n9\n" }, { "Plomt.log", keep } }, "" },
		{ "compare-file-2 ends first: no line is split",
		  { { "new", "1 1 9\n1 1 9\n1 1 9\n" }, { "old", "1 1 1\n" }, { "Plomt.log", OldLog } },
		  Two({ "L=3", "W=3" }), 5, NoLine("old", 3),
		  { { "old", "1 1 9\n1 1 9\n1 1 9\n" }, { "Plomt.log", keep } }, "" },
		{ "compare-file-1 ends first",
		  { { "new", "9\n" }, { "old", "1\n1\n1\n1\n" }, { "Plomt.log", OldLog } },
		  Two({ "L=3" }), 5, NoLine("new", 3), { { "old", "9\n" }, { "Plomt.log", keep } }, "" },
		{ "both empty: an empty file has no line 1",
		  { { "new", "" }, { "old", "" }, { "Plomt.log", OldLog } },
		  Two({ "L=1" }), 5, NoLine("new", 1), { { "old", "" }, { "Plomt.log", keep } }, "" },
		{ "no log before: 0 and 0", { { "new", "9\n" }, { "old", "1\n" } },
		  Two({ "L=4" }), 5, NoLine("new", 4),
		  { { "old", "9\n" }, { "Plomt.log", Report(0, 0, "0.000000", "", "0.500000") } }, "" },
		{ "one-value mode: the end of a file that ends in a line feed is its end",
		  { { "d", "9\n9\n" }, { "Plomt.log", OldLog } },
		  { "v=10", "D=0.5", "L=3", "d", E, R }, 5, NoLine("d", 3),
		  { { "d", "9\n9\n" }, { "Plomt.log", Report(3, 2, "10.000000", "", "0.500000") } }, "" },
		{ "one-value mode, no line feed at the end",
		  { { "d", "9\n9" }, { "Plomt.log", OldLog } },
		  { "v=10", "D=0.5", "L=3", "d", E, R }, 5, NoLine("d", 3),
		  { { "Plomt.log", Report(3, 2, "10.000000", "", "0.500000") } }, "" },
		{ "one-value mode, Ret-Proc -1 changes nothing",
		  { { "d", "9\n" }, { "Plomt.log", OldLog } },
		  { "v=10", "D=0.5", "L=3", "d", E, "-1" }, 5, NoLine("d", 3),
		  { { "Plomt.log", Report(3, 2, "10.000000", "", "0.500000") } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}

// A read that fails is no end of the file: the run says so and keeps the
// counter.
TEST_F(Failure, ReadErrorIsReported)
{
	if (WindowsBuild())
		GTEST_SKIP() << "needs a Linux build";
	const std::string error = "\nCompare file >/proc/self/mem< read error.\n\n";
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "the first read fails", { { "Plomt.log", OldLog } },
		  { "v=0", "L=1", "/proc/self/mem", E, R }, 5, error,
		  { { "Plomt.log", Report(3, 2, "0.000000", "", "0.000000") } }, "" },
		{ "a later read fails", {}, { "v=0", "L=2", "/proc/self/mem", E, R },
		  5, error, { { "Plomt.log", Report(0, 0, "0.000000", "", "0.000000") } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}

// The chosen word of compare-file-2 is empty: no decision, even when an
// earlier pair of lines was in alarm.
TEST_F(Failure, EmptyWordInCompareFile2)
{
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "an empty field", { { "new", "1,5\n" }, { "old", "1,,2\n" }, { "Plomt.log", OldLog } },
		  Two({ "W=2" }), 5, Empty(1, 2),
		  { { "old", "1,5\n" }, { "Plomt.log", Report(3, 2, "0.000000", "", "0.500000") } }, "" },
		{ "W=3 on two words: no empty word but a missing one",
		  { { "new", "1 2 3\n" }, { "old", "1 2\n" } }, Two({ "W=3" }), 5, WordCount(2, "1 2"),
		  { { "old", "1 2 3\n" },
		    { "Plomt.log", WordCount(2, "1 2") + Report(0, 0, "0.000000", "", "0.500000") } }, "" },
		{ "an alarm on the line before", { { "new", "0 9\n1,5\n" }, { "old", "0 1\n1,,5\n" } },
		  Two({ "W=2", "X=1" }), 5, Empty(2, 2),
		  { { "old", "0 9\n1,5\n" }, { "Plomt.log", Report(0, 0, "1.000000", "", "0.500000") } }, "" },
		{ "an alarm on the line before, counter n",
		  { { "new", "0 9\n1,5\n" }, { "old", "0 1\n1,,5\n" }, { "Plomt.log", OldLog } },
		  Two({ "W=2", "X=1" }), 5, Empty(2, 2),
		  { { "Plomt.log", Report(3, 2, "1.000000", "", "0.500000") } }, "" },
		{ "an empty line in compare-file-2: no words at all",
		  { { "new", "x\n5\n" }, { "old", "x\n\n" } }, Two({ "L=2" }), 5, WordCount(0, ""),
		  { { "Plomt.log", WordCount(0, "") + Report(0, 0, "0.000000", "", "0.500000") } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}

// Files the permission bits keep from the run: the same messages and the
// same care as for files that are missing, and no mode changed.
TEST_F(Failure, PermissionBitsCount)
{
	std::string why;
	if (!PermissionsCount(&why))
		GTEST_SKIP() << why;
	std::vector<std::string> logs = Two();
	logs.push_back("logs/s.log");
	// Only the faulty place may stop the run, not the owner of a file:
	// the others are open to everyone.
	const File shared = { "old", "1\n", 0666 }, log = { "Plomt.log", OldLog, 0666 };
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "compare-file-1 unreadable", { { "new", "9\n", 0 }, shared, log }, Two(),
		  5, OpenError("new"),
		  { { "new", "9\n", 0 }, { "old", "1\n" }, { "Plomt.log", OldLog } }, "" },
		{ "compare-file-2 unreadable and unwritable: kept",
		  { { "new", "9\n", 0644 }, { "old", "1\n", 0 }, log }, Two(),
		  5, OpenError("old") + CopyError("old"),
		  { { "old", "1\n", 0 }, { "Plomt.log", OldLog } }, "" },
		{ "compare-file-2 write-only: replaced, its mode kept",
		  { { "new", "9\n", 0644 }, { "old", "1\n", 0222 }, log }, Two(),
		  5, OpenError("old"),
		  { { "old", "9\n", 0222 }, { "Plomt.log", OldLog } }, "" },
		{ "log read-only", { { "new", "9\n", 0644 }, shared, { "Plomt.log", OldLog, 0444 } },
		  Two(), 5, LogOpenError,
		  { { "old", "9\n" }, { "Plomt.log", OldLog, 0444 } }, "" },
		{ "a writable log in a read-only directory: written in place",
		  { { "new", "9\n", 0644 }, shared, { "logs", Dir, 0555 }, { "logs/s.log", OldLog, 0666 } },
		  logs, 2, "", { { "old", "9\n" },
		  { "logs/s.log", Report(4, 3, "1.000000", "1", "0.500000"), 0666 } }, "" },
		{ "no log in a read-only directory: none is made",
		  { { "new", "9\n", 0644 }, shared, { "logs", Dir, 0555 } },
		  logs, 5, LogOpenError, { { "old", "9\n" }, { "logs/s.log", Absent } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}
