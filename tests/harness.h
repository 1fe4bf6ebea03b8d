// Runs the built tool as a script would: in a fresh directory, standard
// input closed, output captured, with a deadline so a hang fails the test.
#ifndef TORQUELIN_HARNESS_H
#define TORQUELIN_HARNESS_H

#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

enum class Input { Closed, SilentPipe };

// A file laid out before a run, or expected after it.
struct File {
	std::string name;     // relative to the run's directory
	std::string content;  // or Dir, Absent, Any or Link(target)
	int mode = -1;        // set once all are laid out, checked after
};
extern const std::string Dir;     // content that stands for a directory
extern const std::string Absent;  // content that stands for no file at all
extern const std::string Any;     // content of a file that must be there
// Content that stands for a symbolic link holding target.
std::string Link(const std::string &target);

// One run of the tool in a directory of its own.  The tables that list
// them head their rows with this line:
//   what | files before | arguments | exit code | standard error |
//   files after | commands run
struct Case {
	std::string what;
	std::vector<File> before;       // laid out in this order
	std::vector<std::string> args;
	int code;                       // exit status as a shell sees it
	std::string err;                // standard error, exactly
	std::vector<File> after;        // checked after the run
	std::string ran;                // markers the commands left in "ev"
};

// The commands most cases give: each leaves its marker in "ev".
extern const std::string E, R;

struct Result {
	int code = -1;        // exit status as a shell sees it (-1 is 255)
	bool hung = false;    // killed at the deadline
	std::string out, err; // line ends as "\n", whatever the platform's
	std::string rawOut, rawErr;  // the bytes as written
};

// A test whose runs happen in a directory of its own, removed afterwards.
class ToolTest : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// Runs the tool with args in dir (relative to the test directory).
	Result Run(const std::vector<std::string> &args, Input in = Input::Closed,
	    const std::string &dir = "", int seconds = 20);
	// Runs words[0] with the rest as its arguments, as Run does the tool.
	Result Exec(const std::vector<std::string> &words, Input in = Input::Closed,
	    const std::string &dir = "", int seconds = 20);
	// Runs a shell command in the test directory.
	int Sh(const std::string &command);

	std::string Path(const std::string &name) const;
	void Write(const std::string &name, const std::string &content);
	std::string Read(const std::string &name) const;
	bool Exists(const std::string &name) const;
	// Names in the test directory (or a directory below it), sorted.
	std::vector<std::string> List(const std::string &dir = "") const;

	// Creates a directory below the test directory.
	void MakeDir(const std::string &name);
	// Mounts a tmpfs of size bytes on a new directory below the test
	// directory, unmounted at the end of the test; false with the reason
	// where this machine does not let the test mount.
	bool Mount(const std::string &name, long size, std::string *why);
	// A file written in text mode by the tool: a Windows build's line
	// ends read as line feeds.
	std::string Text(const std::string &name) const;
	// What the commands appended to a file: its text without blanks and
	// line ends, so "echo E>>ev" reads the same from sh and from cmd.
	std::string Events(const std::string &name) const;
	// Temporary files (names starting with '.') anywhere below the test
	// directory; no run may leave one.
	std::vector<std::string> Leftovers() const;
	// Makes permission bits count for the runs that follow: as root the
	// tool runs as nobody, in directories nobody may use.  False with the
	// reason where that cannot be done.
	bool PermissionsCount(std::string *why);
	// Lays out c.before in a fresh directory, runs the tool there and
	// checks exit code, both streams, c.after, the commands that ran and
	// that no other file appeared.
	void Check(const Case &c);

	std::string dir_;      // the test directory
	std::string scratch_;  // where captured output goes, outside dir_
	int cases_ = 0;        // directories made by Check
	std::vector<std::string> mounts_;  // made by Mount, innermost last
	std::vector<std::string> user_;    // put before the runner: who runs
};

// The binary under test and the words put before it (an emulator).
std::string ToolBinary();
std::vector<std::string> ToolRunner();
// The bytes of the file at path; "" when it cannot be read.
std::string Slurp(const std::string &path);
// The runner, the binary and args: the words that run the tool.
std::vector<std::string> ToolWords(const std::vector<std::string> &args);
// The words as execvp takes them, pointing into words.
std::vector<char *> Argv(const std::vector<std::string> &words);
// Starts words in cwd in a process group of its own, output to the files
// out and err; standard input is the read end of inPipe, else closed.
// Given a gate (a pipe) the child waits until its write end is closed.
pid_t Spawn(const std::vector<std::string> &words, const std::string &cwd,
    const std::string &out, const std::string &err,
    const int *inPipe = nullptr, const int *gate = nullptr);
// Waits for pid at most seconds; its exit status as a shell sees it, or
// -1 when the whole group had to be killed at the deadline.
int Reap(pid_t pid, int seconds);
// True when the binary under test is a Windows build (run under Wine).
bool WindowsBuild();
// Output of the tool with a Windows build's line ends made line feeds.
std::string Plain(const std::string &s);

// The five status lines that end every log the tool writes.
std::string Report(int count, int before, const std::string &value,
    const std::string &target, const std::string &margin);
// The message for a line with too few words, on standard error and in the log.
std::string WordCount(int index, const std::string &line);

// What the tool says when a file fails it.
extern const std::string LogOpenError, LogWriteError;
std::string OpenError(const std::string &name);
std::string CopyError(const std::string &name);

// The file's mode bits, or -1 when it does not exist.
int Mode(const std::string &path);
// The text of a symbolic link, or "" when path is none.
std::string LinkText(const std::string &path);

#endif
