// What the disk and the file system can do to a run: places that are
// missing, read-only or not files at all, and compare files that are
// no clean text.  Every run must say what went wrong, give the right exit
// code, leave every file whole and leave no temporary file behind.
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

using Names = std::vector<std::string>;

// The status log as a run writes it, with margin 0.5.
static std::string
Log(int count, int last, const std::string &compare, const std::string &target)
{
	return Report(count, last, compare, target, "0.500000");
}

class Faults : public ToolTest {
protected:
	void TearDown() override
	{
		if (runnerSet_) {
			if (runner_.empty())
				unsetenv("TORQUELIN_RUNNER");
			else
				setenv("TORQUELIN_RUNNER", runner_.c_str(), 1);
		}
		ToolTest::TearDown();
	}

	// Makes a mounted directory read-only for everyone, root included.
	bool ReadOnly(const std::string &dir)
	{
		return Sh("mount -o remount,ro '" + dir + "' 2>/dev/null") == 0;
	}

	// Makes permission bits count for the runs of this test: as root the
	// tool is run as nobody, in directories that nobody may use.  False
	// with the reason where that cannot be done.
	bool PermissionsCount(std::string *why)
	{
		if (WindowsBuild()) {
			*why = "POSIX permission bits do not reach a Windows build";
			return false;
		}
		if (geteuid() != 0 || runnerSet_)
			return true;
		const std::string drop = "setpriv --reuid=65534 --regid=65534 --init-groups";
		if (system((drop + " true 2>/dev/null").c_str()) != 0) {
			*why = "running as root and setpriv cannot drop privileges here";
			return false;
		}
		const char *r = getenv("TORQUELIN_RUNNER");
		runner_ = r ? r : "";
		runnerSet_ = true;
		std::string run = drop + " " + runner_;
		setenv("TORQUELIN_RUNNER", run.c_str(), 1);
		chmod(scratch_.c_str(), 0711);
		chmod(dir_.c_str(), 0777);
		return true;
	}

	std::string runner_;
	bool runnerSet_ = false;
};

// The log cannot be opened for writing: the run says so, compares nothing,
// runs no command, keeps the old log (or none) and still copies the first
// compare file over the second.
TEST_F(Faults, LogThatCannotBeOpened)
{
	struct Row {
		const char *what;
		const char *log;
		std::string before;            // the log's content, when it exists
		bool permissions;              // needs permission bits to count
		bool link;                     // needs a symbolic link to count
	} rows[] = {
		{ "directory missing", "gone/s.log", "", false, false },
		{ "dangling link into a missing directory", "link.log", "", false, true },
		{ "log is a directory", "logdir", "", false, false },
		{ "directory read-only, no log", "rodir/s.log", "", true, false },
		{ "log read-only", "s.log", Log(3, 2, "9.000000", "9"), true, false },
	};

	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		std::string why;
		bool skip = row.permissions && !PermissionsCount(&why);
		if (row.link && WindowsBuild()) {
			why = "Wine shows a dangling Linux symbolic link to a Windows"
			    " program as no file at all, so the run puts a new log there";
			skip = true;
		}
		if (skip) {
			std::cout << "[ SKIPPED  ] " << row.what << ": " << why << "\n";
			continue;
		}
		ASSERT_EQ(Sh("rm -rf ./* && mkdir logdir rodir && ln -s gone/s.log link.log"), 0);
		Write("new.txt", "7\n");
		Write("old.txt", "9\n");
		if (!row.before.empty())
			Write(row.log, row.before);
		// Only the faulty place may stop the run, not the owner of a file.
		ASSERT_EQ(Sh("chmod 0666 old.txt rodir/s.log s.log 2>/dev/null;"
		    " chmod a-w rodir s.log 2>/dev/null; true"), 0);

		Result r = Run({ "d=0.5", "l=1", "w=1", "new.txt", "old.txt",
		    "echo alarm >>ran", "", row.log });
		EXPECT_FALSE(r.hung);
		EXPECT_EQ(r.code, 5);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, LogOpenError);
		EXPECT_FALSE(Exists("ran"));
		EXPECT_EQ(Read("old.txt"), "7\n");
		EXPECT_FALSE(Exists("gone"));
		if (!row.before.empty()) {
			EXPECT_EQ(Read(row.log), row.before);
		}
		Names left = { "link.log", "logdir", "new.txt", "old.txt", "rodir" };
		if (row.log == std::string("s.log"))
			left.push_back("s.log");
		EXPECT_EQ(List(), left);
		EXPECT_EQ(List("logdir"), Names{});
		if (row.before.empty() || row.log == std::string("s.log"))
			EXPECT_EQ(List("rodir"), Names{});
		else
			EXPECT_EQ(List("rodir"), Names{ "s.log" });
		ASSERT_EQ(Sh("chmod u+w rodir s.log 2>/dev/null; true"), 0);
	}
}

// A read-only file system stops root as well: the log on one cannot be
// replaced, whatever the permission bits say.
TEST_F(Faults, LogOnReadOnlyFileSystem)
{
	std::string why;
	if (!Mount("ro", 1 << 20, &why))
		GTEST_SKIP() << why;
	const std::string before = Log(3, 2, "9.000000", "9");
	Write("ro/s.log", before);
	Write("in.txt", "9\n");
	ASSERT_TRUE(ReadOnly("ro"));

	Result r = Run({ "v=7", "d=0.5", "l=1", "w=1", "in.txt", "echo alarm >>ran",
	    "", "ro/s.log" });
	EXPECT_FALSE(r.hung);
	EXPECT_EQ(r.code, 5);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, LogOpenError);
	EXPECT_EQ(Read("ro/s.log"), before);
	EXPECT_EQ(List("ro"), Names{ "s.log" });
	EXPECT_EQ(List(), (Names{ "in.txt", "ro" }));
}

// Compare files that are directories or that cannot be read.  The first
// ends the run at once; the second is reported, the log kept, and the copy
// still tried, which replaces a file it may write and reports one it may not.
TEST_F(Faults, CompareFilesThatCannotBeRead)
{
	struct Row {
		const char *what;
		const char *setup;             // shell commands in the test directory
		bool permissions;
		std::string err;
		const char *oldAfter;          // old.txt's content after, or null
	} rows[] = {
		{ "first is a directory", "rm new.txt && mkdir new.txt", false,
		  OpenError("new.txt"), "9\n" },
		{ "first is unreadable", "chmod 0 new.txt", true,
		  OpenError("new.txt"), "9\n" },
		{ "second is a directory", "rm old.txt && mkdir old.txt", false,
		  OpenError("old.txt") + CopyError("old.txt"), nullptr },
		{ "second is unreadable and unwritable", "chmod 0 old.txt", true,
		  OpenError("old.txt") + CopyError("old.txt"), "9\n" },
		{ "second is write-only", "chmod 0222 old.txt", true,
		  OpenError("old.txt"), "7\n" },
	};
	const std::string before = Log(0, 4, "9.000000", "9");

	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		std::string why;
		if (row.permissions && !PermissionsCount(&why)) {
			std::cout << "[ SKIPPED  ] " << row.what << ": " << why << "\n";
			continue;
		}
		ASSERT_EQ(Sh("chmod -R u+rwx . && rm -rf ./*"), 0);
		Write("new.txt", "7\n");
		Write("old.txt", "9\n");
		Write("s.log", before);
		ASSERT_EQ(Sh("chmod 0666 s.log old.txt && " + std::string(row.setup)), 0);
		struct stat st;
		ASSERT_EQ(stat(Path("old.txt").c_str(), &st), 0);

		Result r = Run({ "d=0.5", "l=1", "w=1", "new.txt", "old.txt",
		    "echo alarm >>ran", "", "s.log" });
		EXPECT_FALSE(r.hung);
		EXPECT_EQ(r.code, 5);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, row.err);
		EXPECT_EQ(Read("s.log"), before);
		EXPECT_EQ(List(), (Names{ "new.txt", "old.txt", "s.log" }));
		struct stat now;
		ASSERT_EQ(stat(Path("old.txt").c_str(), &now), 0);
		EXPECT_EQ(now.st_mode, st.st_mode);
		if (row.oldAfter) {
			chmod(Path("old.txt").c_str(), 0644);
			EXPECT_EQ(Read("old.txt"), row.oldAfter);
		} else {
			EXPECT_EQ(List("old.txt"), Names{});
		}
	}
}

// Compare files that are no clean text: NUL bytes end a line's text for the
// word splitter but not the line, the last line may lack its line feed, and
// a line of 255 characters or more comes in pieces that count as lines.
TEST_F(Faults, OddCompareFileContent)
{
	const std::string a255(255, 'a'), nines(255, '9');
	struct Row {
		const char *what;
		std::string content;
		const char *l, *w;
		int code;
		std::string err;               // also at the head of the log
		std::string target;            // the log's target value
	} rows[] = {
		{ "NUL after the value", std::string("7\0 999\n", 7), "l=1", "w=1", 0, "", "7" },
		{ "NUL hides the second word", std::string("7\0 999\n", 7), "l=1", "w=2", 1, "", "" },
		{ "NUL hides the third word", std::string("7\0 9 9\n", 7), "l=1", "w=3", 5,
		  "Word count >2 error.\n >7<\n", "" },
		{ "NUL first", std::string("\0 7\n", 4), "l=1", "w=1", 1, "", "" },
		{ "NUL lines before", std::string("\0\n\0\0\n7.2\n", 9), "l=3", "w=1", 0, "", "7.2" },
		{ "no final line feed", "1\n2\n7.2", "l=3", "w=1", 0, "", "7.2" },
		{ "no final line feed, line past the end", "1\n7", "l=3", "w=1", 5, "", "" },
		{ "final line feed, line past the end", "1\n7\n", "l=3", "w=1", 1, "", "" },
		{ "only a line feed missing", "7", "l=1", "w=1", 0, "", "7" },
		{ "empty file", "", "l=1", "w=1", 1, "", "" },
		{ "255 then its empty piece", a255 + "\n7\n", "l=2", "w=1", 1, "", "" },
		{ "255 then the next line", a255 + "\n7\n", "l=3", "w=1", 0, "", "7" },
		{ "255 with CRLF", a255 + "\r\n7\r\n", "l=3", "w=1", 0, "", "7" },
		{ "254 is one line", std::string(254, 'a') + "\n7\n", "l=2", "w=1", 0, "", "7" },
		{ "256 leaves one character", a255 + "b\n7\n", "l=2", "w=1", 1, "", "b" },
		{ "256 then the next line", a255 + "b\n7\n", "l=3", "w=1", 0, "", "7" },
		{ "255-character word", nines + "\n", "l=1", "w=1", 1, "", nines },
		{ "255-character line, too few words", a255 + "\n", "l=1", "w=3", 5,
		  "Word count >2 error.\n >" + a255 + "<\n", "" },
		{ "300-character line, value in the rest",
		  std::string(255, ' ') + "7" + std::string(44, ' ') + "\n", "l=2", "w=1", 0, "", "7" },
	};

	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		ASSERT_EQ(Sh("rm -f ./*"), 0);
		Write("in.txt", row.content);

		Result r = Run({ "v=7", "d=0.5", row.l, row.w, "in.txt",
		    "echo alarm >>ran", "echo back >>ran", "s.log" });
		EXPECT_FALSE(r.hung);
		EXPECT_EQ(r.code, row.code);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, row.err);
		EXPECT_EQ(Text("s.log"),
		    row.err + Log(row.code == 1, 0, "7.000000", row.target));
		EXPECT_EQ(Read("in.txt"), row.content);
		if (row.code == 1) {
			EXPECT_EQ(Events("ran"), "alarm");
			EXPECT_EQ(List(), (Names{ "in.txt", "ran", "s.log" }));
		} else {
			EXPECT_EQ(List(), (Names{ "in.txt", "s.log" }));
		}
	}
}

// Binary data compared with itself: no alarm, no message, a whole log, and
// the copy that makes compare-file-2 gives back every byte.
TEST_F(Faults, BinaryCompareFiles)
{
	std::string data;
	unsigned long x = 12345;
	for (int i = 0; i < 300000; i++) {
		x = x * 1103515245 + 12345;
		data += (char)(x >> 16);
	}
	// The bytes a text-mode reader might stop at or fold.
	data.replace(100, 6, std::string("\0\x1a\r\xff\n\r", 6));
	Write("new.bin", data);

	for (int pass = 0; pass < 2; pass++) {
		SCOPED_TRACE(pass ? "second file there" : "second file missing");
		Result r = Run({ "d=0.5", "l=1", "w=1", "x=1000", "new.bin", "old.bin",
		    "echo alarm >>ran", "", "s.log" });
		EXPECT_FALSE(r.hung);
		EXPECT_EQ(r.out, "");
		if (pass == 0) {
			EXPECT_EQ(r.code, 5);
			EXPECT_EQ(r.err, OpenError("old.bin"));
			EXPECT_FALSE(Exists("s.log"));
		} else {
			// An empty word in the second file stops the run with an error;
			// identical numbers never raise an alarm.
			EXPECT_TRUE(r.code == 0 || r.code == 5) << r.code;
			EXPECT_EQ(r.err, "");
			std::string log = Text("s.log");
			EXPECT_EQ(log.compare(0, 20, "0\n0\nCompare value = "), 0) << log;
			EXPECT_EQ(log.substr(log.size() - 25), "Difference    = 0.500000\n");
		}
		EXPECT_TRUE(Read("old.bin") == data);
		EXPECT_FALSE(Exists("ran"));
		Names left = { "new.bin", "old.bin" };
		if (pass)
			left.push_back("s.log");
		EXPECT_EQ(List(), left);
	}
}
