// Which number a run takes: lines as the tool counts them, words as it
// splits them, and the lines that two-file mode walks.
#include <string>
#include <vector>

#include "harness.h"

using Lines = ToolTest;


static std::string
Numbers(int n)
{
	std::string s;

	for (int i = 1; i <= n; i++)
		s += (i > 1 ? " " : "") + std::to_string(i);
	return s;
}

// Reads the value with a margin of 0: the run is normal only when the
// number taken is exactly the expected one, and the log shows its word.
struct Take {
	const char *what;
	std::string file;
	std::string line, word;   // L and W options
	std::string v, shown;     // the expected value, and as the log shows it
	std::string target;       // the word the log shows
};

static Case
Taking(const Take &t)
{
	return { t.what, { { "d", t.file } },
		{ "v=" + t.v, "D=0", "L=" + t.line, "W=" + t.word, "d", E, R },
		0, "", { { "Plomt.log", Report(0, 0, t.shown, t.target, "0.000000") } }, "" };
}

// How words are split is the splitter's own table; these rows show the
// run takes word W of what it splits, converts it as atof does, and NUL
// ends a line's text.
TEST_F(Lines, WordOfALine)
{
	const Take takes[] = {
		{ "commas 2", "12.5,13.0, 14\n", "1", "2", "13", "13.000000", "13.0" },
		{ "an empty field", "1,,2\n", "1", "2", "0", "0.000000", "" },
		{ "a numeric prefix", "x 12abc\n", "1", "2", "12", "12.000000", "12abc" },
		{ "signs and an exponent", "-3.5e1\n", "1", "1", "-35", "-35.000000", "-3.5e1" },
		{ "20 words, the last", Numbers(20) + "\n", "1", "20", "20", "20.000000", "20" },
		{ "NUL ends the text", std::string("7\0 999\n", 7), "1", "1", "7", "7.000000", "7" },
	};
	for (const Take &t : takes)
		Check(Taking(t));
}

TEST_F(Lines, LineOfAFile)
{
	const std::string x254(254, 'x'), x255(255, 'x'), x256(256, 'x');
	const Take takes[] = {
		{ "line 1", "5\n6\n", "1", "1", "5", "5.000000", "5" },
		{ "line 2", "5\n6\n", "2", "1", "6", "6.000000", "6" },
		{ "carriage returns", "5\r\n6\r\n", "2", "1", "6", "6.000000", "6" },
		{ "254 characters fit", x254 + "\n7\n", "2", "1", "7", "7.000000", "7" },
		{ "255 characters: the line", x255 + "\n7\n", "1", "1", "0", "0.000000", x255 },
		{ "255 characters, then the next line", x255 + "\n7\n", "3", "1", "7", "7.000000", "7" },
		{ "256 characters: the rest is a line", x256 + "\n7\n", "2", "1", "0", "0.000000", "x" },
		{ "256 characters, then the next line", x256 + "\n7\n", "3", "1", "7", "7.000000", "7" },
		{ "300 characters: a word in the rest",
		  x255 + " 9" + std::string(43, ' ') + "\n7\n", "2", "1", "9", "9.000000", "9" },
		{ "300 characters, then the next line",
		  x255 + " 9" + std::string(43, ' ') + "\n7\n", "3", "1", "7", "7.000000", "7" },
		{ "carriage returns are not counted", x254 + "\r\r\n7\n", "2", "1", "7", "7.000000", "7" },
		{ "lines of NULs count", std::string("\0\n\0\0\n7.2\n", 9), "3", "1", "7.2",
		  "7.200000", "7.2" },
		{ "no line feed at the end", "1\n2\n7.2", "3", "1", "7.2", "7.200000", "7.2" },
	};
	for (const Take &t : takes)
		Check(Taking(t));

	// L=0 reads no line: the empty line compared has no word.
	const std::string none = WordCount(0, "");
	Check({ "L=0 does not read line 1", { { "d", "7\n" } }, { "v=7", "D=0.5", "d", E, R },
	    5, none, { { "Plomt.log", none + Report(0, 0, "7.000000", "", "0.500000") } }, "" });
}

TEST_F(Lines, TooFewWords)
{
	const std::string x255(255, 'x');
	struct Row {
		const char *what;
		std::string line, word;
		int index;
		std::string shown;    // the line in the message, when not all of it
	} rows[] = {
		{ "two words, W=3: no slot after the last word", "1 2", "3", 2, "" },
		{ "an empty line has no words", "", "1", 0, "" },
		{ "only blanks, W=1", "   ", "1", 0, "" },
		{ "25 words, W=21: no 21st word is kept", Numbers(25), "21", 20, "" },
		{ "20 words, W=21", Numbers(20), "21", 20, "" },
		{ "19 words, W=21", Numbers(19), "21", 20, "" },
		{ "W=1000", "1", "1000", 999, "" },
		{ "a whole 255-character line", x255, "3", 2, "" },
		{ "the text up to a NUL", std::string("7\0 9 9", 6), "2", 1, "7" },
	};
	for (const Row &row : rows) {
		std::string msg = WordCount(row.index, row.shown.empty() ? row.line : row.shown);
		Check({ row.what, { { "d", row.line + "\n" } },
		    { "v=0", "L=1", "W=" + row.word, "d", E, R }, 5, msg,
		    { { "Plomt.log", msg + Report(0, 0, "0.000000", "", "0.000000") } }, "" });
	}
	std::string msg = WordCount(20, Numbers(20));
	Check({ "two-file mode, W=21", { { "new", Numbers(20) + "\n" }, { "old", Numbers(20) + "\n" } },
	    { "L=1", "W=21", "new", "old", E, R }, 5, msg,
	    { { "old", Numbers(20) + "\n" },
	      { "Plomt.log", msg + Report(0, 0, "0.000000", "", "0.000000") } }, "" });
}

// Two-file mode compares lines L to L+X, fewer when a file ends.
TEST_F(Lines, PairsOfLines)
{
	const std::vector<std::string> x2 = { "D=0.5", "L=1", "X=2", "new", "old", E, R };
	const std::string ones = "1\n1\n1\n1\n";
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "X=2: the third line counts", { { "new", ones }, { "old", "1\n1\n9\n1\n" } }, x2,
		  1, "", { { "old", ones }, { "Plomt.log", Report(1, 0, "9.000000", "9", "0.500000") } },
		  "E" },
		{ "X=2: the fourth line does not", { { "new", ones }, { "old", "1\n1\n1\n9\n" } }, x2,
		  0, "", { { "old", ones }, { "Plomt.log", Report(0, 0, "1.000000", "1", "0.500000") } }, "" },
		{ "X=2: the first line counts", { { "new", ones }, { "old", "9\n1\n1\n1\n" } }, x2,
		  1, "", { { "old", ones }, { "Plomt.log", Report(1, 0, "1.000000", "1", "0.500000") } },
		  "E" },
		{ "L=2 X=2: line 1 does not count", { { "new", ones }, { "old", "9\n1\n1\n1\n" } },
		  { "D=0.5", "L=2", "X=2", "new", "old", E, R },
		  0, "", { { "old", ones }, { "Plomt.log", Report(0, 0, "1.000000", "1", "0.500000") } }, "" },
		{ "L=2 X=2: line 4 counts", { { "new", ones }, { "old", "1\n1\n1\n9\n" } },
		  { "D=0.5", "L=2", "X=2", "new", "old", E, R },
		  1, "", { { "old", ones }, { "Plomt.log", Report(1, 0, "9.000000", "9", "0.500000") } },
		  "E" },
		{ "no X: one pair", { { "new", ones }, { "old", "1\n9\n" } },
		  { "D=0.5", "L=1", "new", "old", E, R },
		  0, "", { { "old", ones }, { "Plomt.log", Report(0, 0, "1.000000", "1", "0.500000") } }, "" },
		{ "compare-file-1 ends first", { { "new", "1\n1" }, { "old", "1\n1\n9\n" } }, x2,
		  0, "", { { "old", "1\n1" }, { "Plomt.log", Report(0, 0, "1.000000", "1", "0.500000") } }, "" },
		{ "compare-file-2 ends first", { { "new", "1\n1\n9\n" }, { "old", "1\n1" } }, x2,
		  0, "", { { "old", "1\n1\n9\n" },
		    { "Plomt.log", Report(0, 0, "1.000000", "1", "0.500000") } }, "" },
		{ "X past the final line feed stops at the last line",
		  { { "new", "1\n1\n" }, { "old", "1\n1\n" } },
		  { "D=0.5", "L=1", "X=5", "new", "old", E, R },
		  0, "", { { "old", "1\n1\n" }, { "Plomt.log", Report(0, 0, "1.000000", "1", "0.500000") } }, "" },
		{ "L=0: the empty line has no word, line 1 is compared",
		  { { "new", "1\n" }, { "old", "1\n" }, { "Plomt.log", "3\n2\n" } },
		  { "D=0.5", "X=1", "new", "old", E, R }, 255, WordCount(0, ""),
		  { { "old", "1\n" },
		    { "Plomt.log", WordCount(0, "") + Report(0, 2, "1.000000", "1", "0.500000") } }, "R" },
		{ "one-value mode reads one line whatever X", { { "d", "1\n9\n" } },
		  { "v=1", "D=0.5", "L=1", "X=1", "d", E, R },
		  0, "", { { "Plomt.log", Report(0, 0, "1.000000", "1", "0.500000") } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}
