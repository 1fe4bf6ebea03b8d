// The tool as scripts see it: exit codes, output bytes, the status log and
// the files left behind.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "harness.h"

static const char Usage[] =
    "\n"
    "\tUse:Torquelin [i|I] v|V=value d|D=XX l|L=Line-No.\n"
    "                  w|W=Word-No compare-file Err-Proc\n"
    "                  Ret-Proc [Log-file].\n"
    "        for one value compare.\n"
    "\n"
    "\tUse:Torquelin [i|I] d|D=XX l|L=Line-No. w|W=Word-No\n"
    "                  x|X=YY compare-file-1 compare-file-2\n"
    "                   Err-Proc Ret-Proc [Log-file].\n"
    "        for two files compare.\n"
    "\n"
    "        i|I         Set inverse alarm condition. Means same\n"
    "                    value will submit Err-Proc.\n"
    "        v|V value   Compare value, in case of\n"
    "                    compare value compare value is(are)\n"
    "                    bigger than the defined margin\n"
    "\t\t\t\t\tXX, Err-Proc will be submitted.\n"
    "\t\td|D XX      margin of value difference.\n"
    "\t\tl|L LIne-No. Define where the compare value\n"
    "\t\tw|W Word-No comes from Word-No of Line-No\n"
    "\t\t            of compare file.\n"
    "                    (start to compare for two files mode\n"
    "                    and loop YY times.)\n"
    "        x|X YY      define the do loop counter for\n"
    "                    two files compare.\n"
    "        Log-file    Log file for keep last status.\n"
    "                    default name is Plomt.log\n"
    "        Return Value:  0 Normal\n"
    "                      -1 Return to Normal\n"
    "                       1 First Alarm\n"
    "                       2 Continue Alarm\n"
    "                       5 Error return\n"
    "\n"
    "\n"
    ">";

static const char More[] =
    "\n"
    "\tUse:Torquelin --words l|L=Line-No. compare-file\n"
    "        shows line Line-No. as a check reads it and every word\n"
    "        with its Word-No. and the number it reads as.\n"
    "\tUse:Torquelin [--timeout=SECONDS] [--after=N] [--no-syslog] check\n"
    "        --timeout=SECONDS  ends a command still running after SECONDS.\n"
    "        --after=N          Err-Proc when the counter reaches N, Ret-Proc\n"
    "                           only when such an alarm ends.\n"
    "        --no-syslog        nothing to the system log.\n"
    "\tUse:Torquelin --status Log-file...\n"
    "        prints a line per status log: name, state, counter,\n"
    "        compare value, target value, time last written.\n"
    "\tUse:Torquelin --help | --version\n";

using CommandLine = ToolTest;

// Every command line that runs no check: what it prints, its exit code, and
// no file made or changed (the word finder reads the file "f" laid out).
TEST_F(CommandLine, LinesThatRunNoCheckTouchNothing)
{
	const std::string tooMany = "\n Too many Parameters error.\n";
	const std::string longName(256, 'n');
	const std::string x255(255, 'x'), rest = " 9" + std::string(43, ' ');
	std::string twenty = "W=10  >10<  reads 10\n", numbers = "1";
	for (int i = 11; i <= 20; i++)
		twenty += "W=" + std::to_string(i) + "  >" + std::to_string(i) + "<  reads " +
		    std::to_string(i) + "\n";
	for (int i = 2; i <= 21; i++)
		numbers += " " + std::to_string(i);
	struct Row {
		std::vector<std::string> args;
		int code;
		std::string out, err;
		std::string file;  // "f", when not empty
	} rows[] = {
		{ {}, 5, Usage, "", "" },
		{ { "a=b" }, 5, Usage, "\n Parameter error>a=b<\n", "" },
		{ { "i=1", "f" }, 5, Usage, "\n Parameter error>i=1<\n", "" },
		{ { "f", "Q=1", "R=2" }, 5, Usage, "\n Parameter error>Q=1<\n", "" },
		{ { "1", "2", "3", "4", "5", "6" }, 5, tooMany + Usage, "", "" },
		{ { "v=1", "1", "2", "3", "4", "5", "6" }, 5, tooMany + Usage, "", "" },
		{ { longName }, 5, Usage, "\n Parameter error>" + longName + "<\n", "" },
		{ { "--help" }, 0, Usage + std::string(More), "", "" },
		{ { "--version" }, 0, "torquelin " TORQUELIN_VERSION "\n", "", "" },
		{ { "-h" }, 0, Usage + std::string(More), "", "" },
		{ { "-V" }, 0, "torquelin " TORQUELIN_VERSION "\n", "", "" },
		// Ahead of a check an argument that starts with -- is an option.
		{ { "--help", "f" }, 5, Usage, "\n Parameter error>--help<\n", "1\n" },
		{ { "--version", "f" }, 5, Usage, "\n Parameter error>--version<\n", "1\n" },
		{ { "--bogus", "v=1", "f" }, 5, Usage, "\n Parameter error>--bogus<\n", "1\n" },
		{ { "--after=0", "v=1", "f" }, 5, Usage, "\n Parameter error>--after=0<\n", "1\n" },
		{ { "--after=x", "v=1", "f" }, 5, Usage, "\n Parameter error>--after=x<\n", "1\n" },
		{ { "--after=3", "--after=2147483648", "f" }, 5, Usage,
		  "\n Parameter error>--after=2147483648<\n", "1\n" },
		{ { "--after=2147483647", "--after=0", "f" }, 5, Usage,
		  "\n Parameter error>--after=0<\n", "1\n" },
		{ { "--after55", "f" }, 5, Usage, "\n Parameter error>--after55<\n", "1\n" },
		{ { "--no-syslogx", "f" }, 5, Usage, "\n Parameter error>--no-syslogx<\n", "1\n" },
		{ { "--bogus" }, 5, Usage, "\n Parameter error>--bogus<\n", "" },
		// One dash is no option: a compare file's name.
		{ { "-x", "f" }, 5, "", OpenError("-x"), "1\n" },
		{ { "--no-syslog", "--timeout=", "f" }, 5, Usage,
		  "\n Parameter error>--timeout=<\n", "1\n" },
		{ { "--status" }, 5, Usage + std::string(More), "", "" },
		{ { "--words" }, 5, Usage, "", "" },
		{ { "--words", "L=1", "q=1", "f" }, 5, Usage, "\n Parameter error>q=1<\n", "1\n" },
		{ { "--words", "L=1", "missing" }, 5, "", OpenError("missing"), "" },
		{ { "--words", "--after=2", "L=1", "./--f" }, 5, "", OpenError("./--f"), "" },
		{ { "--words", "L=9", "f" }, 5, "", "\nCompare file >f< has no line 9.\n\n",
		  "1\n2\n3\n" },
		{ { "--words", "L=2", "f" }, 0,
		  "Line 2 of >f<: >/dev/sda1 20511312 4030000  15416352  21% /<\n"
		  "W=1   >dev<  reads 0\nW=2   >sda1<  reads 0\nW=3   >20511312<  reads 20511312\n"
		  "W=4   >4030000<  reads 4030000\nW=5   >15416352<  reads 15416352\n"
		  "W=6   >21%<  reads 21\nW=7   ><  reads 0\n"
		  "After the last word: W=8 and higher are word count errors.\n", "",
		  "Filesystem 1024-blocks Used Available Capacity Mounted on\n"
		  "/dev/sda1 20511312 4030000  15416352  21% /\n" },
		{ { "--words", "f", "L=1" }, 0,
		  "Line 1 of >f<: >\"a, b\",-1.5,,'x' 10.4\t.5<\n"
		  "W=1   >a, b<  reads 0\nW=2   >-1.5<  reads -1.5\nW=3   ><  reads 0\n"
		  "W=4   >x<  reads 0\nW=5   >10.4<  reads 10.4\nW=6   >5<  reads 5\n"
		  "After the last word: W=7 and higher are word count errors.\n", "",
		  "\"a, b\",-1.5,,'x' 10.4\t.5\r\n" },
		{ { "--words", "L=1", "f" }, 0,
		  "Line 1 of >f<: >" + numbers + "<\nW=1   >1<  reads 1\nW=2   >2<  reads 2\n"
		  "W=3   >3<  reads 3\nW=4   >4<  reads 4\nW=5   >5<  reads 5\n"
		  "W=6   >6<  reads 6\nW=7   >7<  reads 7\nW=8   >8<  reads 8\n"
		  "W=9   >9<  reads 9\n" + twenty + "After W=20: every W is a word count error.\n",
		  "", numbers + "\n" },
		{ { "--words", "L=2", "f" }, 0,
		  "Line 2 of >f<: >" + rest + "<\nW=1   >9<  reads 9\n"
		  "After the last word: W=2 and higher are word count errors.\n", "",
		  x255 + rest + "\n7\n" },
		{ { "--words", "f" }, 0,
		  "Line 0 of >f<: ><\nNo words: every W is a word count error.\n", "",
		  "7\n" },
	};
	int n = 0;
	for (const Row &row : rows) {
		for (Input in : { Input::Closed, Input::SilentPipe }) {
			std::string d = "r" + std::to_string(n++), what;
			std::vector<std::string> made;
			MakeDir(d);
			if (!row.file.empty()) {
				Write(d + "/f", row.file);
				made.push_back("f");
			}
			for (const std::string &a : row.args)
				what += a + " ";
			SCOPED_TRACE(what);
			Result r = Run(row.args, in, d);
			EXPECT_FALSE(r.hung);
			EXPECT_EQ(r.code, row.code);
			EXPECT_EQ(r.out, row.out);
			EXPECT_EQ(r.err, row.err);
			EXPECT_EQ(List(d), made);
			if (!row.file.empty()) {
				EXPECT_EQ(Read(d + "/f"), row.file);
			}
		}
	}
}

// Standard input that is open but never delivers a byte must not hold up
// a run that has work to do, nor one that only prints the usage.
TEST_F(CommandLine, SilentInputNeverHoldsARun)
{
	struct Row {
		std::vector<std::string> args;
		int code;
		std::string ran;
	} rows[] = {
		{ { "v=10", "D=0.5", "L=1", "d", E, R }, 0, "" },
		{ { "v=1", "D=0.5", "L=1", "d", E, R }, 1, "E" },
		{ { "D=0.5", "L=1", "d", "old", E, R }, 5, "" },
		{ { "v=1", "L=1", "missing" }, 5, "" },
		{ { "q=1", "d" }, 5, "" },
	};
	int n = 0;
	for (const Row &row : rows) {
		std::string d = "r" + std::to_string(n++);
		SCOPED_TRACE(row.args[0]);
		MakeDir(d);
		Write(d + "/d", "10\n");
		Result r = Run(row.args, Input::SilentPipe, d, 20);
		EXPECT_FALSE(r.hung);
		EXPECT_EQ(r.code, row.code);
		EXPECT_EQ(Events(d + "/ev"), row.ran);
	}
}

// --status reads each log as a run would and changes nothing: one line per
// log, its exit code the worst of them.
TEST_F(CommandLine, StatusOfManyLogs)
{
	if (WindowsBuild())
		GTEST_SKIP() << "the times are set and read through POSIX calls";
	const std::string at = "\t2026-03-01 12:00:00\n", none = "\tunreadable\t-\t-\t-\t-\n";
	const std::string normal = "normal.log\tnormal\t0\t10.000000\t9.6" + at;
	const std::string alarm = "alarm.log\talarm\t3\t10.000000\t11" + at;
	Write("normal.log", Report(0, 2, "10.000000", "9.6", "0.500000"));
	Write("alarm.log", WordCount(2, "1 2") + Report(3, 2, "10.000000", "11", "0.500000"));
	Write("bare.log", "-2\n");
	Write("tab.log", "1\n0\nCompare value = 1.000000\nTarget value  = a\tb\n");
	Write("text.log", "no counter\n");
	MakeDir("dir.log");
	ASSERT_EQ(mkfifo(Path("fifo.log").c_str(), 0644), 0);
	struct timeval tv[2] = { { 1772366400, 0 }, { 1772366400, 0 } };
	for (const char *f : { "normal.log", "alarm.log", "bare.log", "tab.log", "text.log" })
		ASSERT_EQ(utimes(Path(f).c_str(), tv), 0);
	const std::vector<std::string> files = List();
	const std::string normalLog = Read("normal.log"), alarmLog = Read("alarm.log");
	struct Row {
		std::vector<std::string> logs;
		int code;
		std::string out;
	} rows[] = {
		{ { "normal.log", "bare.log" }, 0, normal + "bare.log\tnormal\t-2\t-\t-" + at },
		{ { "alarm.log", "normal.log", "tab.log" }, 1,
		  alarm + normal + "tab.log\talarm\t1\t1.000000\ta?b" + at },
		{ { "missing.log", "alarm.log", "dir.log", "fifo.log", "text.log", "--x" }, 5,
		  "missing.log" + none + alarm + "dir.log" + none + "fifo.log" + none +
		  "text.log" + none + "--x" + none },
	};
	for (const Row &row : rows) {
		std::vector<std::string> words = { "env", "TZ=UTC0" }, tool = ToolWords({ "--status" });
		words.insert(words.end(), tool.begin(), tool.end());
		words.insert(words.end(), row.logs.begin(), row.logs.end());
		Result r = Exec(words);
		EXPECT_EQ(r.code, row.code);
		EXPECT_EQ(r.out, row.out);
		EXPECT_EQ(r.err, "");
	}
	EXPECT_EQ(List(), files);
	EXPECT_EQ(Read("normal.log") + Read("alarm.log"), normalLog + alarmLog);
}

// Starts words on the pseudo-terminal named slave as a console would: in a
// session of its own whose controlling terminal it is.  In the background
// the tool runs in a second process group of that session, so that the
// group in the foreground is not its own.
static pid_t
OnTerminal(const std::vector<std::string> &words, const std::string &cwd,
    const char *slave, bool background)
{
	std::vector<char *> argv = Argv(words);
	int fd, status;

	fflush(nullptr);
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	setsid();
	if ((fd = open(slave, O_RDWR)) < 0 || ioctl(fd, TIOCSCTTY, 0) != 0 ||
	    chdir(cwd.c_str()) != 0)
		_exit(120);
	for (int i = 0; i <= 2; i++)
		dup2(fd, i);
	if (fd > 2)
		close(fd);
	if (background) {
		pid_t tool = fork();
		if (tool > 0) {
			setpgid(tool, tool);
			while (waitpid(tool, &status, 0) < 0 && errno == EINTR)
				;
			_exit(WIFEXITED(status) ? WEXITSTATUS(status) :
			    128 + WTERMSIG(status));
		}
		setpgid(0, 0);
	}
	execvp(argv[0], argv.data());
	_exit(127);
}

// What the terminal showed, carriage returns dropped, up to the moment it
// ends with end; what came so far when 20 seconds pass first.
static std::string
Shown(int master, const std::string &end)
{
	struct pollfd p = { master, POLLIN, 0 };
	time_t stop = time(nullptr) + 20;
	std::string text;
	char buf[512];
	ssize_t n;

	while (text.size() < end.size() ||
	    text.compare(text.size() - end.size(), end.size(), end) != 0) {
		if (time(nullptr) > stop)
			break;
		if (poll(&p, 1, 100) <= 0 || (n = read(master, buf, sizeof buf)) <= 0)
			continue;
		for (ssize_t i = 0; i < n; i++)
			if (buf[i] != '\r')
				text += buf[i];
	}
	return text;
}

// On a console the usage text waits for one key, unechoed, in raw mode,
// and gives the terminal back as it found it; a background job and a
// signal never leave the terminal raw.
TEST_F(CommandLine, ConsoleWaitsForOneKey)
{
	if (WindowsBuild())
		GTEST_SKIP() << "the console key wait of a Windows build needs a console";
	const std::string mark = "#shown#";
	struct Row {
		const char *what;
		std::vector<std::string> args;
		bool background;
		int key;	// the byte typed, or minus the signal sent
		int code;
		std::string shown;
	} rows[] = {
		{ "no arguments, a key", {}, false, 'k', 5, Usage },
		{ "a parameter error, Ctrl-C is a key", { "a=b" }, false, 3, 5,
		  "\n Parameter error>a=b<\n" + std::string(Usage) },
		{ "a signal while waiting", {}, false, -SIGTERM, 128 + SIGTERM, Usage },
		{ "a background job never waits", {}, true, 0, 5, Usage },
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.what);
		int master = posix_openpt(O_RDWR | O_NOCTTY);
		ASSERT_GE(master, 0) << strerror(errno);
		ASSERT_EQ(grantpt(master), 0);
		ASSERT_EQ(unlockpt(master), 0);
		const std::string name = ptsname(master);
		// Kept open, so that the modes can be read after the run.
		int slave = open(name.c_str(), O_RDWR | O_NOCTTY);
		ASSERT_GE(slave, 0) << strerror(errno);
		// The tool holds no end of the terminal but its own.
		fcntl(master, F_SETFD, FD_CLOEXEC);
		fcntl(slave, F_SETFD, FD_CLOEXEC);
		struct termios before, during = {}, after;
		ASSERT_EQ(tcgetattr(slave, &before), 0);

		pid_t pid = OnTerminal(ToolWords(row.args), dir_, name.c_str(),
		    row.background);
		EXPECT_EQ(Shown(master, row.shown), row.shown);
		if (!row.background) {
			time_t stop = time(nullptr) + 20;
			int alive;
			while ((alive = waitpid(pid, nullptr, WNOHANG) == 0) &&
			    tcgetattr(slave, &during) == 0 &&
			    (during.c_lflag & ICANON) && time(nullptr) <= stop)
				usleep(2000);
			ASSERT_TRUE(alive) << "no wait for a key";
			EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
			if (row.key > 0) {
				char c = (char)row.key;
				ASSERT_EQ(write(master, &c, 1), 1);
			} else {
				kill(pid, -row.key);
			}
		}
		EXPECT_EQ(Reap(pid, 20), row.code);
		// Nothing more shown: no echo of the key, nothing after it.
		ASSERT_EQ(write(slave, mark.data(), mark.size()), (ssize_t)mark.size());
		EXPECT_EQ(Shown(master, mark), mark);
		ASSERT_EQ(tcgetattr(slave, &after), 0);
		EXPECT_EQ(after.c_iflag, before.c_iflag);
		EXPECT_EQ(after.c_oflag, before.c_oflag);
		EXPECT_EQ(after.c_lflag, before.c_lflag);
		EXPECT_EQ(memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
		close(slave);
		close(master);
	}
}
