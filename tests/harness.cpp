#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static std::string
Binary()
{
	const char *b = getenv("TORQUELIN_BIN");
	return b && *b ? b : TORQUELIN_DEFAULT_BIN;
}

static std::vector<std::string>
Runner()
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
	std::string b = Binary();
	return b.size() > 4 && b.compare(b.size() - 4, 4, ".exe") == 0;
}

static std::string
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
	if (!scratch_.empty()) {
		std::string cmd = "chmod -R u+rwx '" + scratch_ + "' 2>/dev/null; rm -rf '" + scratch_ + "'";
		if (system(cmd.c_str()) != 0)
			ADD_FAILURE() << "could not remove " << scratch_;
	}
}

Result
ToolTest::Run(const std::vector<std::string> &args, Input in, const std::string &dir, int seconds)
{
	Result r;
	std::vector<std::string> words = Runner();
	words.push_back(Binary());
	words.insert(words.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(const_cast<char *>(w.c_str()));
	argv.push_back(nullptr);

	std::string out = scratch_ + "/stdout", err = scratch_ + "/stderr";
	std::string cwd = dir.empty() ? dir_ : dir_ + "/" + dir;
	int pipefd[2] = { -1, -1 };
	if (in == Input::SilentPipe && pipe(pipefd) != 0)
		return r;
	fflush(nullptr);
	pid_t pid = fork();
	if (pid == 0) {
		if (chdir(cwd.c_str()) != 0)
			_exit(120);
		if (in == Input::SilentPipe) {
			dup2(pipefd[0], 0);
			close(pipefd[0]);
			close(pipefd[1]);
		} else {
			close(0);
		}
		int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
		int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
		dup2(o, 1);
		dup2(e, 2);
		close(o);
		close(e);
		setpgid(0, 0);
		execvp(argv[0], argv.data());
		_exit(127);
	}
	if (pipefd[0] >= 0)
		close(pipefd[0]);
	int status = 0;
	struct timespec start, now;
	clock_gettime(CLOCK_MONOTONIC, &start);
	for (;;) {
		pid_t w = waitpid(pid, &status, WNOHANG);
		if (w == pid)
			break;
		clock_gettime(CLOCK_MONOTONIC, &now);
		if (now.tv_sec - start.tv_sec >= seconds) {
			kill(-pid, SIGKILL);
			kill(pid, SIGKILL);
			waitpid(pid, &status, 0);
			r.hung = true;
			break;
		}
		usleep(2000);
	}
	if (pipefd[1] >= 0)
		close(pipefd[1]);
	r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	r.out = Slurp(out);
	r.err = Slurp(err);
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
