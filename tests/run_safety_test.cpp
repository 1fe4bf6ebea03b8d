// What a run must never do: lose or repeat the alarm state when it is
// killed, run a file name as a command, break a user's links or modes,
// leave half a file, or report a failed write as success.
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

using Safety = ToolTest;


#define POSIX_ONLY() \
	do { \
		if (WindowsBuild()) \
			GTEST_SKIP() << "needs a POSIX build"; \
	} while (0)

// A command killed with the tool finds this run's report in place; the next
// run neither repeats the first alarm nor loses the return to normal.
TEST_F(Safety, KilledDuringACommand)
{
	POSIX_ONLY();
	const std::string kill = ">>ev; kill -9 $PPID";
	Write("new", "9\n");
	Write("old", "1\n");
	const std::vector<std::string> args = { "D=0.5", "L=1", "new", "old",
		"echo E" + kill, "echo R" + kill };

	Result r = Run(args);
	EXPECT_EQ(r.code, 128 + 9);
	EXPECT_EQ(Events("ev"), "E");
	EXPECT_EQ(Read("Plomt.log"), Report(1, 0, "1.000000", "1", "0.500000"));
	EXPECT_EQ(Read("old"), "1\n");  // the copy comes after the command
	EXPECT_EQ(List(), (std::vector<std::string>{ "Plomt.log", "ev", "new", "old" }));

	r = Run(args);
	EXPECT_EQ(r.code, 2);
	EXPECT_EQ(Events("ev"), "E");
	EXPECT_EQ(Read("Plomt.log"), Report(2, 1, "1.000000", "1", "0.500000"));
	EXPECT_EQ(Read("old"), "9\n");

	r = Run(args);
	EXPECT_EQ(r.code, 128 + 9);
	EXPECT_EQ(Events("ev"), "ER");
	EXPECT_EQ(Read("Plomt.log"), Report(0, 2, "9.000000", "9", "0.500000"));

	r = Run(args);
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(Events("ev"), "ER");
	EXPECT_EQ(Read("Plomt.log"), Report(0, 0, "9.000000", "9", "0.500000"));
	EXPECT_EQ(List(), (std::vector<std::string>{ "Plomt.log", "ev", "new", "old" }));
}

// A command sees the new log and the old compare-file-2.
TEST_F(Safety, CommandsRunBetweenLogAndCopy)
{
	const std::string cat = WindowsBuild() ? "type" : "cat";
	Write("new", "9\n");
	Write("old", "1\n");
	Write("Plomt.log", "0\n0\n");
	Result r = Run({ "D=0.5", "L=1", "new", "old", cat + " Plomt.log old>seen", R });
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(Text("seen"), Report(1, 0, "1.000000", "1", "0.500000") + "1\n");
	EXPECT_EQ(Read("old"), "9\n");

	Write("new", "9.2\n");
	r = Run({ "D=0.5", "L=1", "new", "old", E, cat + " Plomt.log old>seen" });
	EXPECT_EQ(r.code, 255);
	EXPECT_EQ(Text("seen"), Report(0, 1, "9.000000", "9", "0.500000") + "9\n");
	EXPECT_EQ(Read("old"), "9.2\n");
}

// File names go to no command interpreter: blanks and shell characters
// are just characters, and nothing named in them runs.
TEST_F(Safety, NamesAreNotCommands)
{
	const std::vector<std::string> pairs[] = {
		{ "a;touch pwned", "b c" },
		{ "$(touch pwned)", "`touch pwned`" },
		{ "x&touch pwned", "y'&&touch pwned'" },
		{ "-rf", "--" },
		{ "%PATH%", " leading blank" },
	};
	for (const auto &p : pairs) {
		const std::string &f1 = p[0], &f2 = p[1];
		const std::vector<std::string> args = { "D=0.5", "L=1", f1, f2, E, R };
		Check({ f1 + " / " + f2 + ": the second made", { { f1, "9\n" } }, args,
		    5, OpenError(f2), { { f2, "9\n" } }, "" });
		Check({ f1 + " / " + f2 + ": an alarm", { { f1, "1\n" }, { f2, "9\n" } }, args,
		    1, "", { { f2, "1\n" }, { "Plomt.log", Report(1, 0, "9.000000", "9", "0.500000") } },
		    "E" });
	}
}

// The copy is byte for byte, whatever the size and the bytes.
TEST_F(Safety, CopyIsExact)
{
	std::string bytes = "5\n";
	for (int c = 0; c < 256; c++)
		bytes += (char)c;
	bytes += "\r\n\r\r\n";
	std::string big = "5\n";
	for (unsigned i = 0; big.size() < (3 << 20); i++)
		big += std::to_string(i * 7919) + (i % 13 ? " " : "\r\n");
	struct Row {
		const char *what;
		std::string from, to;
		int code;
		std::string err;
	} rows[] = {
		{ "every byte value and stray carriage returns", bytes, "5\n", 0, "" },
		{ "three megabytes", big, "5\n", 0, "" },
		{ "onto a longer file", "5\n", "5\n" + std::string(100000, 'z'), 0, "" },
		{ "an empty file: no line 1, but copied", "", "0\n", 5,
		  "\nCompare file >new< has no line 1.\n\n" },
	};
	for (const Row &row : rows)
		Check({ row.what, { { "new", row.from }, { "old", row.to } },
		    { "D=0.5", "L=1", "new", "old", E, R }, row.code, row.err,
		    { { "old", row.from }, { "Plomt.log", Any } }, "" });

	// Binary data as compare files: no alarm, a whole log, and the copy
	// gives back every byte, those a text-mode reader stops at or folds too.
	std::string data;
	unsigned long x = 12345;
	for (int i = 0; i < 300000; i++) {
		x = x * 1103515245 + 12345;
		data += (char)(x >> 16);
	}
	data.replace(100, 6, std::string("\0\x1a\r\xff\n\r", 6));
	const std::vector<std::string> bin = { "D=0.5", "L=1", "X=1000", "new", "old", E, R };
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "one file as both", { { "d", "5\n" } }, { "D=0.5", "L=1", "d", "d", E, R }, 0, "",
		  { { "d", "5\n" }, { "Plomt.log", Report(0, 0, "5.000000", "5", "0.500000") } }, "" },
		{ "binary, compare-file-2 missing", { { "new", data } }, bin, 5, OpenError("old"),
		  { { "old", data } }, "" },
	};
	for (const Case &c : cases)
		Check(c);

	// Identical numbers never raise an alarm.  Which lines have too few
	// words, and whether a word of compare-file-2 is empty, depends on how
	// the platform reads a binary file: the messages are not pinned here.
	MakeDir("self");
	Write("self/new", data);
	Write("self/old", data);
	Result r = Run(bin, Input::Closed, "self");
	EXPECT_FALSE(r.hung);
	EXPECT_TRUE(r.code == 0 || r.code == 5) << r.code;
	EXPECT_EQ(r.out, "");
	std::string log = Text("self/Plomt.log");
	EXPECT_NE(log.find("0\n0\nCompare value = "), std::string::npos) << log;
	EXPECT_EQ(log.size() > 25 ? log.substr(log.size() - 25) : log, "Difference    = 0.500000\n");
	EXPECT_TRUE(Read("self/old") == data);
	EXPECT_EQ(List("self"), (std::vector<std::string>{ "Plomt.log", "new", "old" }));
}

// A log or compare-file-2 that is a symbolic link stays one; its target is
// replaced and keeps its mode.
TEST_F(Safety, LinksAndModesSurvive)
{
	POSIX_ONLY();
	struct Row {
		const char *what;
		std::string logLink, oldLink;  // what the links hold ("" for no link)
		std::string logFile, oldFile;  // where the content is
	} rows[] = {
		{ "relative links", "real/log.txt", "real/old.txt", "real/log.txt", "real/old.txt" },
		{ "links to links", "log2", "old2", "real/log.txt", "real/old.txt" },
		{ "absolute links", "@/real/log.txt", "@/real/old.txt", "real/log.txt", "real/old.txt" },
		{ "links into a directory with links", "lnk/log.txt", "lnk/old.txt",
		  "real/log.txt", "real/old.txt" },
		{ "plain files", "", "", "Plomt.log", "old" },
	};
	int n = 0;
	for (const Row &row : rows) {
		std::string d = "r" + std::to_string(n++), base = Path(d);
		SCOPED_TRACE(row.what);
		MakeDir(d);
		MakeDir(d + "/real");
		ASSERT_EQ(symlink("real", (base + "/lnk").c_str()), 0);
		ASSERT_EQ(symlink("real/log.txt", (base + "/log2").c_str()), 0);
		ASSERT_EQ(symlink("real/old.txt", (base + "/old2").c_str()), 0);
		Write(d + "/new", "9\n");
		Write(d + "/" + row.logFile, "3\n2\n");
		Write(d + "/" + row.oldFile, "1\n");
		ASSERT_EQ(chmod(Path(d + "/" + row.logFile).c_str(), 0640), 0);
		ASSERT_EQ(chmod(Path(d + "/" + row.oldFile).c_str(), 0755), 0);
		std::string logText = row.logLink, oldText = row.oldLink;
		if (logText[0] == '@')
			logText = base + logText.substr(1);
		if (oldText[0] == '@')
			oldText = base + oldText.substr(1);
		if (!logText.empty()) {
			ASSERT_EQ(symlink(logText.c_str(), (base + "/Plomt.log").c_str()), 0);
		}
		if (!oldText.empty()) {
			ASSERT_EQ(symlink(oldText.c_str(), (base + "/old").c_str()), 0);
		}

		Result r = Run({ "D=0.5", "L=1", "new", "old", E, R }, Input::Closed, d);
		EXPECT_EQ(r.code, 2);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(LinkText(base + "/Plomt.log"), logText);
		EXPECT_EQ(LinkText(base + "/old"), oldText);
		EXPECT_EQ(Read(d + "/" + row.logFile), Report(4, 3, "1.000000", "1", "0.500000"));
		EXPECT_EQ(Read(d + "/" + row.oldFile), "9\n");
		EXPECT_EQ(Mode(Path(d + "/" + row.logFile)), 0640);
		EXPECT_EQ(Mode(Path(d + "/" + row.oldFile)), 0755);
		EXPECT_EQ(List(d + "/real").size(), logText.empty() ? 0u : 2u);
	}
}

// New files get the mode the user's umask gives, not a temporary file's: a
// new log is the runner's alone, a new compare-file-2 has compare-file-1's
// bits and write for its owner.
TEST_F(Safety, NewFilesFollowTheUmask)
{
	POSIX_ONLY();
	mode_t mask = umask(0);
	umask(mask);
	const int mode = 0666 & ~mask;
	const std::vector<std::string> args = { "D=0.5", "L=1", "new", "old", E, R };
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "a new compare-file-2", { { "new", "9\n" } }, args, 5, OpenError("old"),
		  { { "old", "9\n", mode }, { "Plomt.log", Absent } }, "" },
		{ "a new compare-file-2 is no more readable than compare-file-1",
		  { { "new", "9\n", 0600 } }, args, 5, OpenError("old"),
		  { { "old", "9\n", (int)(0600 & ~mask) }, { "Plomt.log", Absent } }, "" },
		{ "a read-only compare-file-1 gives a compare-file-2 its owner can write",
		  { { "new", "9\n", 0444 } }, args, 5, OpenError("old"),
		  { { "old", "9\n", (int)(0644 & ~mask) }, { "Plomt.log", Absent } }, "" },
		{ "a new log is its owner's alone",
		  { { "new", "9\n" }, { "old", "9\n" } }, args, 0, "",
		  { { "old", "9\n" }, { "Plomt.log", Report(0, 0, "9.000000", "9", "0.500000"), 0600 } },
		  "" },
	};
	for (const Case &c : cases)
		Check(c);
}

// A link whose target does not exist yet gets the target made, in the
// directory that holds the link; a link that loops, or whose target's
// directory is missing, is a log that cannot be opened.
TEST_F(Safety, DanglingAndLoopingLinks)
{
	POSIX_ONLY();
	const std::vector<std::string> two = { "D=0.5", "L=1", "new", "old", E, R };
	auto with = [&two](const std::string &log) {
		std::vector<std::string> a = two;
		a.push_back(log);
		return a;
	};
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	const Case cases[] = {
		{ "a target that does not exist yet",
		  { { "new", "9\n" }, { "old", "1\n" }, { "real", Dir }, { "Plomt.log", Link("real/made.log") } },
		  two, 1, "", { { "Plomt.log", Link("real/made.log") }, { "old", "9\n" },
		    { "real/made.log", Report(1, 0, "1.000000", "1", "0.500000") } }, "E" },
		{ "a relative link is read from its directory",
		  { { "new", "9\n" }, { "old", "1\n" }, { "sub", Dir }, { "sub/real.log", "1\n0\n" },
		    { "sub/link.log", Link("real.log") } },
		  with("sub/link.log"), 2, "", { { "sub/link.log", Link("real.log") }, { "old", "9\n" },
		    { "sub/real.log", Report(2, 1, "1.000000", "1", "0.500000") },
		    { "real.log", Absent } }, "" },
		{ "a link that loops", { { "new", "9\n" }, { "old", "1\n" }, { "loop", Link("loop") } },
		  with("loop"), 5, LogOpenError, { { "loop", Link("loop") }, { "old", "9\n" } }, "" },
		{ "a link into a missing directory",
		  { { "new", "9\n" }, { "old", "1\n" }, { "link.log", Link("gone/s.log") } },
		  with("link.log"), 5, LogOpenError,
		  { { "link.log", Link("gone/s.log") }, { "old", "9\n" }, { "gone", Absent } }, "" },
	};
	for (const Case &c : cases)
		Check(c);
}

// A pipe as the log is written where it is while someone reads it, and
// refused, never waited on, while nobody does.
TEST_F(Safety, PipeAsLog)
{
	POSIX_ONLY();
	const std::vector<std::string> args = { "v=10", "D=0.5", "L=1", "d", E, R };
	Write("d", "11\n");
	ASSERT_EQ(mkfifo(Path("Plomt.log").c_str(), 0644), 0);
	Result r = Run(args, Input::Closed, "", 10);
	EXPECT_FALSE(r.hung);
	EXPECT_EQ(r.code, 5);
	EXPECT_EQ(r.err, LogOpenError);
	EXPECT_EQ(Events("ev"), "");

	int fd = open(Path("Plomt.log").c_str(), O_RDONLY | O_NONBLOCK);
	ASSERT_GE(fd, 0);
	r = Run(args, Input::Closed, "", 10);
	char buf[512];
	ssize_t n = read(fd, buf, sizeof buf);
	close(fd);
	EXPECT_FALSE(r.hung);
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(std::string(buf, n > 0 ? n : 0), Report(1, 0, "10.000000", "11", "0.500000"));
	EXPECT_EQ(Events("ev"), "E");
}

// A small filesystem, filled up, below the test directory.
class FullDisk : public ToolTest {
protected:
	void
	SetUp() override
	{
		std::string why;

		ToolTest::SetUp();
		if (!Mount("disk", 256 << 10, &why))
			GTEST_SKIP() << why;
	}

	// Writes until the filesystem has no block left.
	void
	Fill()
	{
		static const char block[4096] = { 0 };
		int fd = open(Path("disk/fill").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		ASSERT_GE(fd, 0);
		while (write(fd, block, sizeof block) > 0)
			;
		close(fd);
		fd = open(Path("disk/probe").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		ASSERT_GE(fd, 0);
		ASSERT_LT(write(fd, "x", 1), 1) << "the filesystem is not full";
		close(fd);
		unlink(Path("disk/probe").c_str());
	}
};

// A failed write of the log or a failed copy is reported; an exit code
// of 0 becomes 5, the alarm codes stand, and the old files stay whole.
TEST_F(FullDisk, OldFilesStayWhole)
{
	const std::string log0 = Report(0, 0, "5.000000", "5", "0.500000");
	const std::string log3 = Report(3, 2, "5.000000", "5", "0.500000");
	const std::string old = "5\nthe last run's data\n";
	Write("disk/log0", log0);
	Write("disk/log3", log3);
	Write("disk/old", old);
	// A log with a second name is written in place, in room reserved
	// first: hundreds of messages that do not fit leave it whole.
	ASSERT_EQ(mkdir(Path("disk/priv").c_str(), 0755), 0);
	Write("disk/priv/log", "3\n2\n");
	ASSERT_EQ(link(Path("disk/priv/log").c_str(), Path("disk/priv/lnk").c_str()), 0);
	ASSERT_NO_FATAL_FAILURE(Fill());
	const std::vector<std::string> onDisk = { "fill", "log0", "log3", "old", "priv" };
	std::string lines, many;
	for (int i = 0; i < 400; i++) {
		lines += "1\n";
		many += WordCount(1, "1");
	}

	const std::string lwe = LogWriteError;
	const std::string cfe = CopyError("../disk/old");
	auto two = [](const std::string &log, const std::string &f2) {
		return std::vector<std::string>{ "D=0.5", "L=1", "new", f2, E, R, log };
	};
	// what | files before | arguments | exit code | standard error |
	// files after | commands run
	std::vector<Case> cases = {
		{ "log: normal becomes an error", { { "new", "5\n" }, { "old", "5\n" } },
		  two("../disk/log0", "old"), 5, lwe, { { "old", "5\n" } }, "" },
		{ "log: first alarm stands", { { "new", "9\n" }, { "old", "5\n" } },
		  two("../disk/log0", "old"), 1, lwe, { { "old", "9\n" } }, "E" },
		{ "log: continue alarm stands", { { "new", "9\n" }, { "old", "5\n" } },
		  two("../disk/log3", "old"), 2, lwe, { { "old", "9\n" } }, "" },
		{ "log: return to normal stands", { { "new", "5\n" }, { "old", "5\n" } },
		  two("../disk/log3", "old"), 255, lwe, { { "old", "5\n" } }, "R" },
		{ "log: one-value mode", { { "d", "9\n" } },
		  { "v=5", "D=0.5", "L=1", "d", E, R, "../disk/log0" }, 1, lwe, {}, "E" },
		{ "copy: normal becomes an error", { { "new", "5\n" } },
		  two("Plomt.log", "../disk/old"), 5, cfe,
		  { { "Plomt.log", Report(0, 0, "5.000000", "5", "0.500000") } }, "" },
		{ "copy: first alarm stands", { { "new", "9\n" } },
		  two("Plomt.log", "../disk/old"), 1, cfe,
		  { { "Plomt.log", Report(1, 0, "5.000000", "5", "0.500000") } }, "E" },
		{ "copy: continue alarm stands", { { "new", "9\n" }, { "Plomt.log", "1\n0\n" } },
		  two("Plomt.log", "../disk/old"), 2, cfe,
		  { { "Plomt.log", Report(2, 1, "5.000000", "5", "0.500000") } }, "" },
		{ "copy: return to normal stands", { { "new", "5\n" }, { "Plomt.log", "1\n0\n" } },
		  two("Plomt.log", "../disk/old"), 255, cfe,
		  { { "Plomt.log", Report(0, 1, "5.000000", "5", "0.500000") } }, "R" },
		{ "both, normal", { { "new", "5\n" } }, two("../disk/log0", "../disk/old"),
		  5, lwe + cfe, {}, "" },
		{ "both, continue alarm", { { "new", "9\n" } }, two("../disk/log3", "../disk/old"),
		  2, lwe + cfe, {}, "" },
		{ "compare-file-2 missing on a full disk", { { "new", "5\n" } },
		  two("../disk/log0", "../disk/none"), 5,
		  OpenError("../disk/none") +
		  CopyError("../disk/none"), {}, "" },
	};
	// Wine cannot reserve room (FileAllocationInfo): a Windows build there
	// writes such a log without the promise.
	if (!WindowsBuild())
		cases.push_back({ "log in place: hundreds of messages",
		    { { "new", lines }, { "old", lines } },
		    { "D=0.5", "L=1", "W=2", "X=399", "new", "old", E, R, "../disk/priv/log" },
		    5, many + lwe, { { "old", lines } }, "" });
	for (const Case &c : cases) {
		Check(c);
		SCOPED_TRACE(c.what);
		EXPECT_EQ(Read("disk/log0"), log0);
		EXPECT_EQ(Read("disk/log3"), log3);
		EXPECT_EQ(Read("disk/old"), old);
		EXPECT_EQ(Read("disk/priv/log"), "3\n2\n");
		EXPECT_EQ(Read("disk/priv/lnk"), "3\n2\n");
		EXPECT_EQ(List("disk"), onDisk);
	}
}

// A read-only file system stops root as well: the log on one cannot be
// replaced, whatever the permission bits say.
class ReadOnlyDisk : public FullDisk {};

TEST_F(ReadOnlyDisk, LogIsKept)
{
	const std::string log = Report(3, 2, "9.000000", "9", "0.500000");
	Write("disk/s.log", log);
	ASSERT_EQ(Sh("mount -o remount,ro disk 2>/dev/null"), 0);
	Check({ "log on a read-only file system", { { "in", "9\n" } },
	    { "v=7", "D=0.5", "L=1", "in", E, R, "../disk/s.log" },
	    5, LogOpenError, { { "../disk/s.log", log } }, "" });
	EXPECT_EQ(List("disk"), std::vector<std::string>{ "s.log" });
}

// A file with a second name (a hard link) is written where it is, so that
// both names still show one file: the log and compare-file-2 alike, each
// cut to its new, shorter length.
TEST_F(Safety, HardLinkedFilesAreWrittenInPlace)
{
	Write("Plomt.log", "3\r\n2\r\n" + std::string(300, 'x') + "\r\n");
	Write("old.txt", "a 5 and a longer line than the new one\n");
	Write("new.txt", "a 11\n");
	if (link(Path("Plomt.log").c_str(), Path("log.lnk").c_str()) != 0 ||
	    link(Path("old.txt").c_str(), Path("old.lnk").c_str()) != 0)
		GTEST_SKIP() << "no hard links in the test directory";
	Result r = Run({ "D=0.5", "L=1", "W=2", "new.txt", "old.txt", "", "" });
	EXPECT_EQ(r.code, 2);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(Text("log.lnk"), Report(4, 3, "5.000000", "5", "0.500000"));
	EXPECT_EQ(Read("old.lnk"), "a 11\n");
	struct stat a, b;
	ASSERT_EQ(stat(Path("Plomt.log").c_str(), &a), 0);
	ASSERT_EQ(stat(Path("log.lnk").c_str(), &b), 0);
	EXPECT_EQ(a.st_ino, b.st_ino);
	ASSERT_EQ(stat(Path("old.txt").c_str(), &a), 0);
	ASSERT_EQ(stat(Path("old.lnk").c_str(), &b), 0);
	EXPECT_EQ(a.st_ino, b.st_ino);
}
