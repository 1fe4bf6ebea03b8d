// What only a Windows build does: the runtime's wildcard expansion, text
// files with CR LF line ends, cmd.exe and batch files, exit code -1 as
// %ERRORLEVEL%, devices, and the icon resource in the executable.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "../resources/resource.h"
#include "harness.h"

class WindowsTest : public ToolTest {
protected:
	void
	SetUp() override
	{
		if (!WindowsBuild())
			GTEST_SKIP() << "Windows builds only (TORQUELIN_BIN names no .exe)";
		ToolTest::SetUp();
	}

	// Runs a batch file of the test directory through the platform's cmd.
	Result
	Batch(const std::string &name)
	{
		std::vector<std::string> words = ToolRunner();
		words.insert(words.end(), { "cmd", "/c", name });
		return Exec(words);
	}
};

static const std::string Report10 =
    "Compare value = 10.000000\r\n";

// *.txt reaches main as the names of the matching files, each an argument,
// with the directory part kept; a pattern that matches nothing stays as
// typed.
TEST_F(WindowsTest, WildcardsReachMainAsFileNames)
{
	Sh("mkdir sub");
	Write("data.dat", "x 12\n");
	Write("sub/data.dat", "x 30\n");
	struct Row {
		std::string pattern, target;
	} rows[] = {
		{ "*.dat", "12" },
		{ "d?ta.*", "12" },
		{ "*.DAT", "12" },
		{ "sub\\*.dat", "30" },
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.pattern);
		Sh("rm -f Plomt.log ev");
		Result r = Run({ "v=10", "D=1", "L=1", "W=2", row.pattern, E, "" });
		EXPECT_EQ(r.code, 1);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(Read("ev"), "E\r\n");
		EXPECT_EQ(Text("Plomt.log"), Report(1, 0, "10.000000", row.target, "1.000000"));
	}

	// Two matches make two arguments, compare-file-1 and compare-file-2:
	// whichever order the directory gives, they differ and the copy then
	// makes them equal.
	Sh("rm -f Plomt.log ev");
	Write("one.txt", "v 5\n");
	Write("two.txt", "v 7\n");
	Result r = Run({ "D=1", "L=1", "W=2", "*.txt", E, "" });
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(Read("ev"), "E\r\n");
	EXPECT_EQ(Read("one.txt"), Read("two.txt"));
	EXPECT_EQ(List(), (std::vector<std::string>{ "Plomt.log", "data.dat",
	    "ev", "one.txt", "sub", "two.txt" }));

	r = Run({ "v=1", "L=1", "W=1", "*.none" });
	EXPECT_EQ(r.code, 5);
	EXPECT_EQ(r.err, OpenError("*.none"));
}

// The log is written in text mode: every line ends CR LF. It is read back
// whether its lines end CR LF or LF (a log carried over from a POSIX build).
TEST_F(WindowsTest, LogLinesEndInCrLfAndReadBackEitherWay)
{
	const std::string tail = "Compare value = 10.000000\r\n"
	    "Target value  = 9.4\r\nDifference    = 0.500000\r\n";
	struct Row {
		const char *name;
		bool haveLog;
		std::string log, line;
		std::vector<std::string> args;
		int code;
		std::string after, err;
	} rows[] = {
		{ "no log, first alarm", false, "", "a 9.4\n", { "W=2" }, 1,
		    "1\r\n0\r\n" + tail, "" },
		{ "CR LF log, continue", true, "1\r\n0\r\n" + tail, "a 9.4\n", { "W=2" }, 2,
		    "2\r\n1\r\n" + tail, "" },
		{ "LF log, continue", true, "3\n2\n", "a 9.4\n", { "W=2" }, 2,
		    "4\r\n3\r\n" + tail, "" },
		{ "CR LF number only, return", true, "7\r\n", "a 9.6\n", { "W=2" }, 255,
		    "0\r\n7\r\nCompare value = 10.000000\r\nTarget value  = 9.6\r\n"
		    "Difference    = 0.500000\r\n", "" },
		{ "word count message", true, "0\r\n4\r\n", "a 10.4\n", { "W=4" }, 5,
		    "Word count >3 error.\r\n >a 10.4<\r\n0\r\n4\r\n"
		    "Compare value = 10.000000\r\nTarget value  = \r\n"
		    "Difference    = 0.500000\r\n",
		    "Word count >3 error.\r\n >a 10.4<\r\n" },
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		Sh("rm -f Plomt.log");
		if (row.haveLog)
			Write("Plomt.log", row.log);
		Write("data.txt", row.line);
		std::vector<std::string> args = { "v=10", "D=0.5", "L=1" };
		args.insert(args.end(), row.args.begin(), row.args.end());
		args.insert(args.end(), { "data.txt", "", "" });
		Result r = Run(args);
		EXPECT_EQ(r.code, row.code);
		EXPECT_EQ(Read("Plomt.log"), row.after);
		EXPECT_EQ(r.rawErr, row.err);
		EXPECT_EQ(List(), (std::vector<std::string>{ "Plomt.log", "data.txt" }));
	}

	// Console messages end CR LF as well.
	Result r = Run({ "v=1", "L=1", "W=1", "gone.txt" });
	EXPECT_EQ(r.code, 5);
	EXPECT_EQ(r.rawErr, "\r\nCompare file >gone.txt< open error.\r\n\r\n");
}

// compare-file-2 takes compare-file-1's bytes unchanged (no CR added, none
// dropped, nothing cut at a Ctrl-Z or a NUL), also under names with blanks
// and characters that mean something to cmd, which runs nothing, and
// under names as long as a folder takes (the temporary files beside them
// have short names of their own).
TEST_F(WindowsTest, CopyUnderNamesWithBlanksIsByteForByte)
{
	const std::string data = std::string("v 5\nlf only\nand\r\ncr lf\n") +
	    "\x1a after ctrl-z\n\xff\x01" + std::string(1, '\0') + "end, no line end";
	struct Row {
		std::string one, two, log;
		bool twoExists;
		int code;
		std::string err;
	} rows[] = {
		{ "new data.txt", "old data.txt", "", true, 0, "" },
		{ "new data.txt", "old & echo x.txt", "", true, 0, "" },
		{ "new data.txt", "old data.txt", "my log.txt", true, 0, "" },
		{ "new data.txt", "first run.txt", "", false, 5,
		    OpenError("first run.txt") },
		{ "new data.txt", std::string(250, 'c'), std::string(250, 'l'), true, 0, "" },
	};
	for (const Row &row : rows) {
		SCOPED_TRACE(row.two);
		Sh("rm -rf ./* ./.[!.]*");
		Write(row.one, data);
		if (row.twoExists)
			Write(row.two, "v 5.5\n");
		std::vector<std::string> args = { "D=1", "L=1", "W=2", row.one, row.two,
		    E, R };
		if (!row.log.empty())
			args.push_back(row.log);
		Result r = Run(args);
		EXPECT_EQ(r.code, row.code);
		EXPECT_EQ(r.err, row.err);
		EXPECT_EQ(Read(row.two), data);
		EXPECT_EQ(Read(row.one), data);
		std::vector<std::string> want = { row.one, row.two };
		if (row.twoExists)
			want.push_back(row.log.empty() ? "Plomt.log" : row.log);
		std::sort(want.begin(), want.end());
		EXPECT_EQ(List(), want);
	}
}

// Err-Proc and Ret-Proc as batch files, with arguments and with a blank in
// the name, quoted as cmd /c takes them; the new log is in place before
// they run.
TEST_F(WindowsTest, BatchFilesAsCommands)
{
	Write("alarm.bat", "@echo off\r\necho alarm %1>>events.txt\r\n"
	    "type Plomt.log>>events.txt\r\n");
	Write("back to normal.bat", "@echo off\r\necho back [%~1] [%~2]>>events.txt\r\n");

	Write("data.txt", "a 11\n");
	std::vector<std::string> args = { "v=10", "D=0.5", "L=1", "W=2", "data.txt",
	    "alarm.bat first", "back.bat" };
	Result r = Run(args);
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "");
	std::string seen = "alarm first\r\n1\r\n0\r\nCompare value = 10.000000\r\n"
	    "Target value  = 11\r\nDifference    = 0.500000\r\n";
	EXPECT_EQ(Read("events.txt"), seen);
	r = Run(args);
	EXPECT_EQ(r.code, 2);
	EXPECT_EQ(Read("events.txt"), seen);

	// cmd /c drops the first and the last quote of a text that starts with
	// one and holds more than two, unless the text is one quoted name and
	// its arguments.
	struct Row {
		std::string command, event;
	} rows[] = {
		{ "\"back to normal.bat\" clear", "back [clear] []\r\n" },
		{ "\"\"back to normal.bat\" \"all clear\" 2\"", "back [all clear] [2]\r\n" },
		{ "call \"back to normal.bat\" \"all clear\"", "back [all clear] []\r\n" },
	};
	Write("data.txt", "a 10.2\n");
	for (const Row &row : rows) {
		SCOPED_TRACE(row.command);
		Write("Plomt.log", "1\r\n0\r\n");
		Write("events.txt", "");
		args[6] = row.command;
		r = Run(args);
		EXPECT_EQ(r.code, 255);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(Read("events.txt"), row.event);
	}
}

// A batch file sees every exit code as %ERRORLEVEL%, Return to Normal as -1.
TEST_F(WindowsTest, ErrorLevelsAsBatchFilesSeeThem)
{
	ASSERT_EQ(Sh("cp '" + ToolBinary() + "' torquelin.exe"), 0);
	Write("low.txt", "x 10.2\n");
	Write("high.txt", "x 11\n");
	std::string run = "@echo off\r\n";
	for (const char *file : { "low.txt", "high.txt", "high.txt", "low.txt", "gone.txt" })
		run += std::string("torquelin.exe v=10 D=0.5 L=1 W=2 ") + file +
		    " \"\" \"\"\r\n>>codes.txt echo %ERRORLEVEL%\r\n";
	Write("run.bat", run);
	Result r = Batch("run.bat");
	EXPECT_FALSE(r.hung);
	EXPECT_EQ(Read("codes.txt"), "0\r\n1\r\n2\r\n-1\r\n5\r\n");
}

// A run killed while its alarm command runs has already put its log in
// place, whole, and leaves compare-file-2 as it was (the copy comes after
// the commands). The exe runs under a name of its own so that the kill
// can reach no other run.
TEST_F(WindowsTest, KilledDuringACommand)
{
	ASSERT_EQ(Sh("cp '" + ToolBinary() + "' victim7.exe"), 0);
	Write("new.txt", "a 11\n");
	Write("old.txt", "a 5\n");
	Write("Plomt.log", "0\r\n3\r\n");
	std::vector<std::string> words = ToolRunner();
	words.insert(words.end(), { Path("victim7.exe"), "D=0.5", "L=1", "W=2",
	    "new.txt", "old.txt", "taskkill /f /im victim7.exe", R });
	Result r = Exec(words);
	EXPECT_FALSE(r.hung);
	EXPECT_EQ(Read("Plomt.log"), "1\r\n0\r\nCompare value = 5.000000\r\n"
	    "Target value  = 5\r\nDifference    = 0.500000\r\n");
	EXPECT_EQ(Read("old.txt"), "a 5\n");
	EXPECT_EQ(List(), (std::vector<std::string>{ "Plomt.log", "new.txt",
	    "old.txt", "victim7.exe" }));
}

// Every way Windows has of spelling a path leads to the same log (and to
// its lock): relative, full, from the current drive's root, from a drive's
// current folder, with the \\?\ prefix (".." still the parent), and
// with either slash.  Each run counts on from the one before.
TEST_F(WindowsTest, EverySpellingOfAPathIsOneLog)
{
	std::string win = "Z:" + dir_;
	std::replace(win.begin(), win.end(), '/', '\\');
	std::string slashes = "Z:" + dir_;
	MakeDir("sub");
	Write("data.txt", "11\n");
	const std::vector<std::string> names = { "a.log", ".\\a.log",
	    "sub\\..\\a.log", win + "\\a.log", win.substr(2) + "\\a.log",
	    "Z:a.log", "\\\\?\\" + win + "\\sub\\..\\a.log",
	    slashes + "/sub/../a.log" };
	int count = 0;
	for (const std::string &name : names) {
		SCOPED_TRACE(name);
		count++;
		Result r = Run({ "v=10", "D=0.5", "L=1", "W=1", "data.txt", "", "",
		    name });
		EXPECT_EQ(r.code, count == 1 ? 1 : 2);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(Text("a.log"), Report(count, count - 1, "10.000000", "11",
		    "0.500000"));
	}
	EXPECT_EQ(List(), (std::vector<std::string>{ "a.log", "data.txt", "sub" }));
}

// A device is written where it is: NUL as the log keeps no state and
// leaves no file.
TEST_F(WindowsTest, DeviceAsLogIsWrittenInPlace)
{
	Write("data.txt", "a 11\n");
	for (const char *log : { "NUL", "nul", "\\\\.\\NUL" }) {
		SCOPED_TRACE(log);
		for (int i = 0; i < 2; i++) {
			Result r = Run({ "v=10", "D=0.5", "L=1", "W=2", "data.txt", "", "", log });
			EXPECT_EQ(r.code, 1);
			EXPECT_EQ(r.err, "");
			EXPECT_EQ(List(), (std::vector<std::string>{ "data.txt" }));
		}
	}
}

static uint32_t
U32(const std::string &b, size_t at)
{
	if (at + 4 > b.size())
		return 0;
	return (uint8_t)b[at] | (uint8_t)b[at + 1] << 8 |
	    (uint8_t)b[at + 2] << 16 | (uint32_t)(uint8_t)b[at + 3] << 24;
}

static uint16_t
U16(const std::string &b, size_t at)
{
	if (at + 2 > b.size())
		return 0;
	return (uint8_t)b[at] | (uint8_t)b[at + 1] << 8;
}

// The executable's resources: finds the data of type/id (first language)
// in the resource tree; empty when it is missing.
static std::string
Resource(const std::string &exe, unsigned type, unsigned id)
{
	size_t pe = U32(exe, 0x3c);
	if (exe.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
		return "";
	size_t coff = pe + 4, opt = coff + 20;
	unsigned sections = U16(exe, coff + 2), optSize = U16(exe, coff + 16);
	size_t dirs = opt + (U16(exe, opt) == 0x20b ? 112 : 96);
	uint32_t rsrc = U32(exe, dirs + 2 * 8);
	// From a virtual address to where it lies in the file.
	auto at = [&](uint32_t rva) -> size_t {
		for (unsigned i = 0; i < sections; i++) {
			size_t s = opt + optSize + 40 * i;
			uint32_t va = U32(exe, s + 12), raw = U32(exe, s + 16),
			    ptr = U32(exe, s + 20);
			if (rva >= va && rva < va + raw)
				return ptr + (rva - va);
		}
		return 0;
	};
	size_t base = at(rsrc);
	if (rsrc == 0 || base == 0)
		return "";
	// One level of the tree: the entry with the id, or the first.
	auto find = [&](size_t dir, bool any, unsigned want) -> uint32_t {
		unsigned n = U16(exe, dir + 12) + U16(exe, dir + 14);
		for (unsigned i = 0; i < n; i++) {
			size_t e = dir + 16 + 8 * i;
			if (any || U32(exe, e) == want)
				return U32(exe, e + 4);
		}
		return 0;
	};
	uint32_t t = find(base, false, type);
	if (!(t & 0x80000000))
		return "";
	uint32_t n = find(base + (t & 0x7fffffff), false, id);
	if (!(n & 0x80000000))
		return "";
	uint32_t l = find(base + (n & 0x7fffffff), true, 0);
	if (l == 0 || (l & 0x80000000))
		return "";
	size_t leaf = base + l;
	size_t data = at(U32(exe, leaf));
	uint32_t size = U32(exe, leaf + 4);
	if (data == 0 || data + size > exe.size())
		return "";
	return exe.substr(data, size);
}

// The icon group IDI_ICON2 holds one 32x32, 16-colour image: the one that
// resources/torquelin.ico holds.
TEST_F(WindowsTest, ExecutableCarriesTheIcon)
{
	const unsigned rtIcon = 3, rtGroupIcon = 14;
	std::string exe = Slurp(ToolBinary());
	std::string ico = Slurp(TORQUELIN_SOURCE_DIR "/resources/torquelin.ico");
	ASSERT_GT(ico.size(), 22u);
	ASSERT_EQ(U16(ico, 4), 1u);

	std::string group = Resource(exe, rtGroupIcon, IDI_ICON2);
	ASSERT_EQ(group.size(), 6u + 14u);
	EXPECT_EQ(U16(group, 4), 1u);          // one image
	EXPECT_EQ((uint8_t)group[6], 32);      // width
	EXPECT_EQ((uint8_t)group[7], 32);      // height
	EXPECT_EQ((uint8_t)group[8], 16);      // colours
	EXPECT_EQ(U16(group, 12), 4u);         // bits a pixel

	std::string image = Resource(exe, rtIcon, U16(group, 18));
	EXPECT_EQ(image, ico.substr(U32(ico, 18), U32(ico, 14)));
}
