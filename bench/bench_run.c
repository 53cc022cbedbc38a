/* bench_run: runs a command and reports its wall time and the peak resident
 * size of its own process, as wait4 gives them.
 *
 *   bench_run COMMAND [ARGUMENT...]
 *
 * Prints "SECONDS PEAK_KIB" as the last line on standard error and exits with
 * the command's status (128 + the signal for a command that was killed); the
 * command's standard output is discarded. The peak that wait4 reports counts
 * the pages of the process the command was forked from, up to the moment it
 * executes its program: started from this small program rather than from the
 * benchmark script, the figure is the command's own. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fputs("usage: bench_run COMMAND [ARGUMENT...]\n", stderr);
        return 2;
    }
    const double start = now();
    const pid_t pid = fork(); /* not vfork: the child would count this process's pages */
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0)
            dup2(null, STDOUT_FILENO);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage = {0};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
        perror("bench_run");
        return 2;
    }
    fprintf(stderr, "%.6f %ld\n", now() - start, usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
