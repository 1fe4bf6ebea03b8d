// Times commands side by side: round after round every command runs once,
// in turn, so that a load that comes and goes on the machine falls on all
// of them alike.  Prints each command's median wall-clock and CPU time,
// its peak resident memory, and the first command's time as a multiple of
// each other's.
//
// usage: stopwatch runs warmup label command [arg ...] [";;" label command ...]
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

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

static double
Now(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

static double
Seconds(struct timeval tv)
{
	return tv.tv_sec + tv.tv_usec / 1e6;
}

// Runs c once, output thrown away; records the times when slot >= 0.
static void
Once(Cmd *c, int slot)
{
	posix_spawn_file_actions_t fa;
	struct rusage ru;
	double t0;
	pid_t pid;
	int st, err;

	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
	t0 = Now();
	err = posix_spawnp(&pid, c->argv[0], &fa, NULL, c->argv, environ);
	posix_spawn_file_actions_destroy(&fa);
	if (err != 0) {
		fprintf(stderr, "stopwatch: %s: %s\n", c->argv[0], strerror(err));
		exit(2);
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

static double
Median(double *v, int n)
{
	std::sort(v, v + n);
	return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int
main(int argc, char **argv)
{
	double wall[MaxCmds], cpu[MaxCmds];
	int runs, warmup, i, r, k;

	if (argc < 5) {
		fputs("usage: stopwatch runs warmup label command [arg ...]"
		    " [\";;\" label command ...]\n", stderr);
		return 2;
	}
	runs = atoi(argv[1]);
	warmup = atoi(argv[2]);
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

		wall[k] = Median(c->wall, runs);
		cpu[k] = Median(c->cpu, runs);
		printf("  %-12s median %9.3f ms wall %9.3f ms cpu %8ld KiB peak",
		    c->label, wall[k] * 1e3, cpu[k] * 1e3, c->rss);
		if (c->status)
			printf("  (a run failed: status %#x)", c->status);
		putchar('\n');
	}
	for (k = 1; k < NCmds; k++)
		printf("  %s / %s: %.2f x wall, %.2f x cpu\n", Cmds[0].label,
		    Cmds[k].label, wall[0] / wall[k], cpu[0] / cpu[k]);
	return 0;
}
