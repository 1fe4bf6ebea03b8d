// The status log: how the two numbers are read back, what a run writes,
// and where the log lives.
#include <string>
#include <vector>

#include "harness.h"

using StatusLog = ToolTest;


// The old log, then an alarming run and a run that ends before line L:
// the first shows the counter read, the second both numbers as read.
TEST_F(StatusLog, ReadingTheTwoNumbers)
{
	struct Row {
		const char *what;
		std::string old;      // Absent for no log
		int code;             // of the alarming run
		int count, before;    // its new log
		int keptCount, keptBefore;  // the log after the failed run
	} rows[] = {
		{ "no log", Absent, 1, 1, 0, 0, 0 },
		{ "an empty log", "", 1, 1, 0, 0, 0 },
		{ "3 and 2 with a report", "3\n2\nCompare value = 1.000000\n", 2, 4, 3, 3, 2 },
		{ "word-count messages ahead of the counter are passed over",
		  WordCount(2, "1 2") + WordCount(0, "") + "5\n4\nCompare value = 1.000000\n",
		  2, 6, 5, 5, 4 },
		{ "other text first reads as 0", "Word\n5\n4\n", 1, 1, 0, 0, 0 },
		{ "only 7", "7", 2, 8, 7, 7, 0 },
		{ "only 7 and a line feed", "7\n", 2, 8, 7, 7, 0 },
		{ "3 and then text", "3\nabc\n", 2, 4, 3, 3, 0 },
		{ "carriage returns", "3\r\n2\r\n", 2, 4, 3, 3, 2 },
		{ "blank lines, tabs, both on one line", "\n  \n\t3 2\n", 2, 4, 3, 3, 2 },
		{ "signs", "+3\n-2\n", 2, 4, 3, 3, -2 },
		{ "a negative counter is not 0", "-4\n1\n", 2, -3, -4, -4, 1 },
		{ "the largest counter stays", "2147483647\n9\n", 2, 2147483647, 2147483647,
		  2147483647, 9 },
		{ "numbers beyond the range saturate", "99999999999\n-99999999999\n", 2,
		  2147483647, 2147483647, 2147483647, -2147483647 - 1 },
		{ "0 and 9", "0\n9\n", 1, 1, 0, 0, 9 },
	};
	for (const Row &row : rows) {
		std::vector<File> before = { { "d", "11\n" } };
		if (row.old != Absent)
			before.push_back({ "Plomt.log", row.old });
		Check({ std::string(row.what) + ", an alarm", before,
		    { "v=10", "D=0.5", "L=1", "d", E, R }, row.code, "",
		    { { "Plomt.log", Report(row.count, row.before, "10.000000", "11", "0.500000") } },
		    row.code == 1 ? "E" : "" });
		Check({ std::string(row.what) + ", no line L", before,
		    { "v=10", "D=0.5", "L=3", "d", E, R }, 5,
		    "\nCompare file >d< has no line 3.\n\n",
		    { { "Plomt.log", Report(row.keptCount, row.keptBefore, "10.000000", "",
		      "0.500000") } }, "" });
	}
}

// What a run writes: the report after the run's word-count messages.
TEST_F(StatusLog, ReportLines)
{
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "one-value mode: the V value and the word as written",
		  { { "d", "x -0012.50e0 y\n" } }, { "v=-12.25", "D=.125", "L=1", "W=2", "d" },
		  1, "", { { "Plomt.log", Report(1, 0, "-12.250000", "-0012.50e0", "0.125000") } }, "" },
		{ "two-file mode: the last value of compare-file-2",
		  { { "new", "1\n2\n3\n" }, { "old", "1\n2\n3.5\n" } },
		  { "D=1", "L=1", "X=2", "new", "old" },
		  0, "", { { "old", "1\n2\n3\n" }, { "Plomt.log", Report(0, 0, "3.500000", "3.5", "1.000000") } }, "" },
		{ "large and small numbers", { { "d", "1e20\n" } }, { "v=1e20", "D=1e-7", "L=1", "d" },
		  0, "", { { "Plomt.log", Report(0, 0, "100000000000000000000.000000", "1e20", "0.000000") } }, "" },
		{ "every digit of a time in seconds, no float's last digits",
		  { { "d", "-17.2 1765100060\n" } }, { "v=1765100000", "D=30", "L=1", "W=2", "d" },
		  1, "", { { "Plomt.log", Report(1, 0, "1765100000.000000", "1765100060", "30.000000") } }, "" },
		{ "-17.2 is -17.200000", { { "d", "-17.2\n" } }, { "v=-17.2", "D=0.1", "L=1", "d" },
		  0, "", { { "Plomt.log", Report(0, 0, "-17.200000", "-17.2", "0.100000") } }, "" },
		{ "a word in quotes keeps its blanks", { { "d", "'1 a b' 3\n" } },
		  { "v=1", "L=1", "d" },
		  0, "", { { "Plomt.log", Report(0, 0, "1.000000", "1 a b", "0.000000") } }, "" },
		{ "the word-count message comes first",
		  { { "d", "1 2\n" } }, { "v=0", "L=1", "W=4", "d" },
		  5, WordCount(3, "1 2"),
		  { { "Plomt.log", WordCount(3, "1 2") + Report(0, 0, "0.000000", "", "0.000000") } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}

// The Log-file slot names the log, read and written; Plomt.log is left alone.
TEST_F(StatusLog, LogFileSlot)
{
	const std::string other = "0\n0\nuntouched\n";
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "one-value mode: slot 4",
		  { { "d", "11\n" }, { "my.log", "3\n2\n" }, { "Plomt.log", other } },
		  { "v=10", "D=0.5", "L=1", "d", E, R, "my.log" },
		  2, "", { { "my.log", Report(4, 3, "10.000000", "11", "0.500000") },
		    { "Plomt.log", other } }, "" },
		{ "one-value mode, made when missing", { { "d", "11\n" } },
		  { "v=10", "D=0.5", "L=1", "d", E, R, "my.log" },
		  1, "", { { "my.log", Report(1, 0, "10.000000", "11", "0.500000") },
		    { "Plomt.log", Absent } }, "E" },
		{ "two-file mode: slot 5, in a directory below",
		  { { "new", "9\n" }, { "old", "1\n" }, { "sub", Dir }, { "sub/two.log", "1\n0\n" },
		    { "Plomt.log", other } },
		  { "D=0.5", "L=1", "new", "old", E, R, "sub/two.log" },
		  2, "", { { "sub/two.log", Report(2, 1, "1.000000", "1", "0.500000") },
		    { "old", "9\n" }, { "Plomt.log", other } }, "" },
		{ "an empty slot means Plomt.log", { { "d", "11\n" }, { "Plomt.log", "1\n0\n" } },
		  { "v=10", "D=0.5", "L=1", "d", E, R, "" },
		  2, "", { { "Plomt.log", Report(2, 1, "10.000000", "11", "0.500000") } }, "" },
		{ "a V option after the names makes the fourth name the log",
		  { { "d", "11\n" } }, { "D=0.5", "L=1", "d", E, R, "my.log", "v=10" },
		  1, "", { { "my.log", Report(1, 0, "10.000000", "11", "0.500000") } }, "E" },
	};
	for (const Case &c : cases)
		Check(c);
}
