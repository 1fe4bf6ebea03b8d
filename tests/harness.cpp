#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

std::string
ToolBinary()
{
	const char *b = getenv("TORQUELIN_BIN");
	return b && *b ? b : TORQUELIN_DEFAULT_BIN;
}

std::vector<std::string>
ToolRunner()
{
	std::vector<std::string> words;
	const char *r = getenv("TORQUELIN_RUNNER");
	std::istringstream in(r ? r : "");
	std::string w;
	while (in >> w)
		words.push_back(w);
	return words;
}

bool
WindowsBuild()
{
	std::string b = ToolBinary();
	return b.size() > 4 && b.compare(b.size() - 4, 4, ".exe") == 0;
}

std::string
Slurp(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	std::ostringstream s;
	s << f.rdbuf();
	return s.str();
}

void
ToolTest::SetUp()
{
	const char *t = getenv("TMPDIR");
	std::string base = std::string(t && *t ? t : "/tmp") + "/torquelin-test.XXXXXX";
	std::vector<char> name(base.begin(), base.end());
	name.push_back(0);
	ASSERT_NE(mkdtemp(name.data()), nullptr) << strerror(errno);
	scratch_ = name.data();
	dir_ = scratch_ + "/work";
	ASSERT_EQ(mkdir(dir_.c_str(), 0777), 0);
}

void
ToolTest::TearDown()
{
	for (auto m = mounts_.rbegin(); m != mounts_.rend(); ++m)
		if (umount2(m->c_str(), MNT_DETACH) != 0)
			ADD_FAILURE() << "could not unmount " << *m << ": " << strerror(errno);
	if (!dir_.empty()) {
		EXPECT_EQ(Leftovers(), std::vector<std::string>()) << "temporary files left";
	}
	if (!scratch_.empty()) {
		std::string cmd = "chmod -R u+rwx '" + scratch_ + "' 2>/dev/null; rm -rf '" + scratch_ + "'";
		if (system(cmd.c_str()) != 0)
			ADD_FAILURE() << "could not remove " << scratch_;
	}
}

std::vector<std::string>
ToolWords(const std::vector<std::string> &args)
{
	std::vector<std::string> words = ToolRunner();
	words.push_back(ToolBinary());
	words.insert(words.end(), args.begin(), args.end());
	return words;
}

std::vector<char *>
Argv(const std::vector<std::string> &words)
{
	std::vector<char *> argv;

	for (auto &w : words)
		argv.push_back(const_cast<char *>(w.c_str()));
	argv.push_back(nullptr);
	return argv;
}

pid_t
Spawn(const std::vector<std::string> &words, const std::string &cwd,
    const std::string &out, const std::string &err, const int *inPipe,
    const int *gate)
{
	std::vector<char *> argv = Argv(words);
	char c;

	fflush(nullptr);
	pid_t pid = fork();
	if (pid != 0)
		return pid;
	setpgid(0, 0);
	if (gate) {
		close(gate[1]);
		while (read(gate[0], &c, 1) < 0 && errno == EINTR)
			;
		close(gate[0]);
	}
	if (chdir(cwd.c_str()) != 0)
		_exit(120);
	if (inPipe) {
		dup2(inPipe[0], 0);
		close(inPipe[0]);
		close(inPipe[1]);
	} else {
		close(0);
	}
	int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
	int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
	dup2(o, 1);
	dup2(e, 2);
	close(o);
	close(e);
	// The suite's own settings are no part of the environment a caller
	// gives the tool (the commands it runs would show them).
	unsetenv("TORQUELIN_BIN");
	unsetenv("TORQUELIN_RUNNER");
	execvp(argv[0], argv.data());
	_exit(127);
}

int
Reap(pid_t pid, int seconds)
{
	struct timespec start, now;
	int status = 0;

	clock_gettime(CLOCK_MONOTONIC, &start);
	while (waitpid(pid, &status, WNOHANG) != pid) {
		clock_gettime(CLOCK_MONOTONIC, &now);
		if (now.tv_sec - start.tv_sec >= seconds) {
			kill(-pid, SIGKILL);
			kill(pid, SIGKILL);
			waitpid(pid, &status, 0);
			return -1;
		}
		usleep(2000);
	}
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Result
ToolTest::Run(const std::vector<std::string> &args, Input in, const std::string &dir, int seconds)
{
	std::vector<std::string> words = user_;
	std::vector<std::string> tool = ToolWords(args);

	words.insert(words.end(), tool.begin(), tool.end());
	return Exec(words, in, dir, seconds);
}

bool
ToolTest::PermissionsCount(std::string *why)
{
	static const std::vector<std::string> drop = { "setpriv",
		"--reuid=65534", "--regid=65534", "--init-groups" };

	if (WindowsBuild()) {
		*why = "POSIX permission bits do not reach a Windows build";
		return false;
	}
	if (geteuid() != 0)
		return true;
	if (system("setpriv --reuid=65534 --regid=65534 --init-groups true 2>/dev/null") != 0) {
		*why = "running as root and setpriv cannot drop privileges here";
		return false;
	}
	user_ = drop;
	chmod(scratch_.c_str(), 0711);
	chmod(dir_.c_str(), 0777);
	return true;
}

Result
ToolTest::Exec(const std::vector<std::string> &words, Input in, const std::string &dir, int seconds)
{
	Result r;
	std::string out = scratch_ + "/stdout", err = scratch_ + "/stderr";
	std::string cwd = dir.empty() ? dir_ : dir_ + "/" + dir;
	int pipefd[2] = { -1, -1 };

	if (in == Input::SilentPipe && pipe(pipefd) != 0)
		return r;
	pid_t pid = Spawn(words, cwd, out, err,
	    in == Input::SilentPipe ? pipefd : nullptr);
	if (pipefd[0] >= 0)
		close(pipefd[0]);
	int code = Reap(pid, seconds);
	if (pipefd[1] >= 0)
		close(pipefd[1]);
	r.hung = code == -1;
	r.code = code;
	r.rawOut = Slurp(out);
	r.rawErr = Slurp(err);
	r.out = Plain(r.rawOut);
	r.err = Plain(r.rawErr);
	return r;
}

int
ToolTest::Sh(const std::string &command)
{
	std::string cmd = "cd '" + dir_ + "' && " + command;
	int s = system(cmd.c_str());
	return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
}

std::string
ToolTest::Path(const std::string &name) const
{
	return dir_ + "/" + name;
}

void
ToolTest::Write(const std::string &name, const std::string &content)
{
	std::ofstream f(Path(name), std::ios::binary | std::ios::trunc);
	f << content;
	ASSERT_TRUE(f.good()) << name;
}

std::string
ToolTest::Read(const std::string &name) const
{
	return Slurp(Path(name));
}

bool
ToolTest::Exists(const std::string &name) const
{
	struct stat st;
	return lstat(Path(name).c_str(), &st) == 0;
}

std::vector<std::string>
ToolTest::List(const std::string &dir) const
{
	std::vector<std::string> names;
	DIR *d = opendir(dir.empty() ? dir_.c_str() : Path(dir).c_str());
	if (d == nullptr)
		return names;
	while (struct dirent *e = readdir(d))
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			names.push_back(e->d_name);
	closedir(d);
	std::sort(names.begin(), names.end());
	return names;
}

const std::string Dir = "\x01(directory)";
const std::string Absent = "\x01(absent)";
const std::string Any = "\x01(any)";
static const std::string LinkMark = "\x01(link)";
const std::string E = "echo E>>ev", R = "echo R>>ev";

std::string
Link(const std::string &target)
{
	return LinkMark + target;
}

static bool
IsLink(const std::string &content)
{
	return content.compare(0, LinkMark.size(), LinkMark) == 0;
}

std::string
Plain(const std::string &s)
{
	std::string t;

	if (!WindowsBuild())
		return s;
	for (char c : s)
		if (c != '\r')
			t += c;
	return t;
}

std::string
Report(int count, int before, const std::string &value, const std::string &target,
    const std::string &margin)
{
	return std::to_string(count) + "\n" + std::to_string(before) + "\n" +
	    "Compare value = " + value + "\n" +
	    "Target value  = " + target + "\n" +
	    "Difference    = " + margin + "\n";
}

std::string
WordCount(int index, const std::string &line)
{
	return "Word count >" + std::to_string(index) + " error.\n >" + line + "<\n";
}

int
Mode(const std::string &path)
{
	struct stat st;

	if (stat(path.c_str(), &st) != 0)
		return -1;
	return st.st_mode & 07777;
}

std::string
LinkText(const std::string &path)
{
	char buf[4096];
	ssize_t n = readlink(path.c_str(), buf, sizeof buf);

	return n < 0 ? "" : std::string(buf, n);
}

void
ToolTest::MakeDir(const std::string &name)
{
	ASSERT_EQ(mkdir(Path(name).c_str(), 0777), 0) << name << ": " << strerror(errno);
}

bool
ToolTest::Mount(const std::string &name, long size, std::string *why)
{
	std::string opts = "size=" + std::to_string(size) + ",mode=0777";

	if (mkdir(Path(name).c_str(), 0777) != 0) {
		*why = "mkdir " + name + ": " + strerror(errno);
		return false;
	}
	if (mount("tmpfs", Path(name).c_str(), "tmpfs", 0, opts.c_str()) != 0) {
		*why = std::string("cannot mount a tmpfs here: ") + strerror(errno);
		return false;
	}
	mounts_.push_back(Path(name));
	return true;
}

std::string
ToolTest::Text(const std::string &name) const
{
	return Plain(Read(name));
}

std::string
ToolTest::Events(const std::string &name) const
{
	std::string t;

	for (char c : Read(name))
		if (c != ' ' && c != '\r' && c != '\n')
			t += c;
	return t;
}

static void
Walk(const std::string &root, const std::string &rel, std::vector<std::string> &found)
{
	std::string here = rel.empty() ? root : root + "/" + rel;
	DIR *d = opendir(here.c_str());
	struct stat st;

	if (d == nullptr)
		return;
	while (struct dirent *e = readdir(d)) {
		std::string name = e->d_name;
		if (name == "." || name == "..")
			continue;
		std::string r = rel.empty() ? name : rel + "/" + name;
		if (name[0] == '.')
			found.push_back(r);
		if (lstat((root + "/" + r).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
			Walk(root, r, found);
	}
	closedir(d);
}

std::vector<std::string>
ToolTest::Leftovers() const
{
	std::vector<std::string> found;

	Walk(dir_, "", found);
	std::sort(found.begin(), found.end());
	return found;
}

void
ToolTest::Check(const Case &c)
{
	std::string d = "case" + std::to_string(++cases_);
	std::set<std::string> names;
	struct stat st;

	SCOPED_TRACE(c.what);
	MakeDir(d);
	if (!user_.empty())
		chmod(Path(d).c_str(), 0777);
	for (const File &f : c.before) {
		std::string p = d + "/" + f.name;
		if (f.content == Dir)
			MakeDir(p);
		else if (IsLink(f.content))
			ASSERT_EQ(symlink(f.content.c_str() + LinkMark.size(),
			    Path(p).c_str()), 0) << f.name;
		else
			Write(p, f.content);
		if (f.name.compare(0, 3, "../") != 0)
			names.insert(f.name.substr(0, f.name.find('/')));
	}
	// Modes last, so that a directory made read-only was filled first.
	for (const File &f : c.before) {
		if (f.mode >= 0) {
			ASSERT_EQ(chmod(Path(d + "/" + f.name).c_str(), f.mode), 0) << f.name;
		}
	}
	Result r = Run(c.args, Input::Closed, d);
	EXPECT_FALSE(r.hung);
	EXPECT_EQ(r.code, c.code);
	EXPECT_EQ(Plain(r.out), "");
	EXPECT_EQ(Plain(r.err), c.err);
	EXPECT_EQ(Events(d + "/ev"), c.ran);
	if (!c.ran.empty())
		names.insert("ev");
	for (const File &f : c.after) {
		std::string top = f.name.substr(0, f.name.find('/'));
		std::string p = d + "/" + f.name;
		bool outside = f.name.compare(0, 3, "../") == 0;
		if (f.mode >= 0) {
			EXPECT_EQ(Mode(Path(p)), f.mode) << f.name;
			chmod(Path(p).c_str(), f.mode | 0600);
		}
		if (f.content == Absent) {
			EXPECT_FALSE(Exists(p)) << f.name;
			if (!outside && top == f.name)
				names.erase(top);
		} else if (f.content == Dir) {
			EXPECT_TRUE(stat(Path(p).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << f.name;
		} else if (f.content == Any) {
			EXPECT_TRUE(Exists(p)) << f.name;
			if (!outside)
				names.insert(top);
		} else if (IsLink(f.content)) {
			EXPECT_EQ(LinkText(Path(p)), f.content.substr(LinkMark.size())) << f.name;
		} else {
			// A copy is byte for byte; a log written in text mode
			// may end its lines as the platform does.
			std::string raw = Read(p);
			EXPECT_TRUE(Exists(p)) << f.name;
			EXPECT_EQ(raw == f.content ? raw : Text(p), f.content) << f.name;
			if (!outside)
				names.insert(top);
		}
	}
	EXPECT_EQ(List(d), std::vector<std::string>(names.begin(), names.end()));
}

const std::string LogOpenError = "\nLog file open error.\n\n";
const std::string LogWriteError = "\nLog file write error.\n\n";

std::string
OpenError(const std::string &name)
{
	return "\nCompare file >" + name + "< open error.\n\n";
}

std::string
CopyError(const std::string &name)
{
	return "\nCopy file >" + name + "< error.\n\n";
}
