// Times commands side by side: round after round every command runs once,
// in turn, so that a load that comes and goes on the machine falls on all
// of them alike.  Prints each command's median wall-clock and CPU time,
// its peak resident memory, and the first command's time as a multiple of
// each other's; with -m only the peak memory.  With -s the file systems are
// synced (untimed) before every run, so that no run pays for writing back
// what the one before left in the page cache.
//
// usage: stopwatch [-m] [-s] runs warmup label command [arg ...] [";;" label command ...]
//
// A child's peak resident set starts from what it inherits at fork, so the
// timer keeps its own small (built static, no C++ runtime) and says how
// large it is: a child's figure is its own above that.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { MaxCmds = 8, MaxRuns = 10000 };

struct Cmd {
	const char *label;
	char **argv;
	double wall[MaxRuns], cpu[MaxRuns];
	long rss;             // peak resident set, KiB
	int status;           // exit status of a run that failed, else 0
};

static Cmd Cmds[MaxCmds];
static int NCmds;
static int Sync;

static double
Now(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static double
Seconds(struct timeval tv)
{
	return (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
}

// Runs c once, input from /dev/null and output thrown away; records the
// times when slot >= 0.
static void
Once(Cmd *c, int slot)
{
	struct rusage ru;
	double t0;
	pid_t pid;
	int st, fd;

	fflush(stdout);
	if (Sync)
		sync();
	t0 = Now();
	if ((pid = fork()) < 0) {
		perror("stopwatch: fork");
		exit(2);
	}
	if (pid == 0) {
		if ((fd = open("/dev/null", O_RDWR)) >= 0) {
			dup2(fd, 0);
			dup2(fd, 1);
			if (fd > 1)
				close(fd);
		}
		execvp(c->argv[0], c->argv);
		fprintf(stderr, "stopwatch: %s: %s\n", c->argv[0], strerror(errno));
		_exit(127);
	}
	while (wait4(pid, &st, 0, &ru) < 0)
		if (errno != EINTR) {
			perror("stopwatch: wait4");
			exit(2);
		}
	if (slot < 0)
		return;
	c->wall[slot] = Now() - t0;
	c->cpu[slot] = Seconds(ru.ru_utime) + Seconds(ru.ru_stime);
	if (ru.ru_maxrss > c->rss)
		c->rss = ru.ru_maxrss;
	if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
		c->status = st;
}

static int
Less(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;

	return x < y ? -1 : x > y;
}

static double
Median(double *v, int n)
{
	qsort(v, n, sizeof *v, Less);
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int
main(int argc, char **argv)
{
	double wall[MaxCmds], cpu[MaxCmds];
	struct rusage self;
	int runs, warmup, mem = 0, i, r, k;

	for (; argc > 1 && argv[1][0] == '-' && argv[1][1] && !argv[1][2];
	    argv++, argc--)
		if (argv[1][1] == 'm')
			mem = 1;
		else if (argv[1][1] == 's')
			Sync = 1;
		else
			break;
	if (argc < 5) {
		fputs("usage: stopwatch [-m] [-s] runs warmup label command [arg ...]"
		    " [\";;\" label command ...]\n", stderr);
		return 2;
	}
	runs = (int)strtol(argv[1], NULL, 10);
	warmup = (int)strtol(argv[2], NULL, 10);
	if (runs < 1 || runs > MaxRuns || warmup < 0) {
		fputs("stopwatch: bad run count\n", stderr);
		return 2;
	}
	for (i = 3; i < argc && NCmds < MaxCmds; NCmds++) {
		if (i + 1 >= argc) {
			fputs("stopwatch: a label without a command\n", stderr);
			return 2;
		}
		Cmds[NCmds].label = argv[i];
		Cmds[NCmds].argv = argv + i + 1;
		for (i += 2; i < argc && strcmp(argv[i], ";;") != 0; i++)
			;
		if (i < argc)
			argv[i++] = NULL;
	}
	// Each round starts with the next command, so none is always first.
	for (r = 0; r < warmup + runs; r++)
		for (k = 0; k < NCmds; k++)
			Once(&Cmds[(r + k) % NCmds], r - warmup);
	for (k = 0; k < NCmds; k++) {
		Cmd *c = &Cmds[k];

		if (mem)
			printf("  %-20s %8ld KiB peak", c->label, c->rss);
		else {
			wall[k] = Median(c->wall, runs);
			cpu[k] = Median(c->cpu, runs);
			printf("  %-12s median %9.3f ms wall %9.3f ms cpu %8ld KiB peak",
			    c->label, wall[k] * 1e3, cpu[k] * 1e3, c->rss);
		}
		if (c->status)
			printf("  (a run failed: status %#x)", c->status);
		putchar('\n');
	}
	if (mem) {
		getrusage(RUSAGE_SELF, &self);
		printf("  (the timer itself: %ld KiB; a child inherits part of it)\n",
		    self.ru_maxrss);
		return 0;
	}
	for (k = 1; k < NCmds; k++)
		printf("  %s / %s: %.2f x wall, %.2f x cpu\n", Cmds[0].label,
		    Cmds[k].label, wall[0] / wall[k], cpu[0] / cpu[k]);
	return 0;
}
