/* Loaded into docseal by the end-to-end tests (LD_PRELOAD). When the program
 * links or renames its finished output into place, the probe writes what another user
 * of the machine could see at that moment to $PROBE_OUT: the argument list
 * from /proc/self/cmdline (NULs turned into blanks) and whether the process
 * may be dumped. With $PROBE_NO_TMPFILE set, unnamed files are refused, as a
 * file system without them does; with $PROBE_RAISE set to a signal number,
 * the process raises it as soon as it has created a named temporary. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>

static void report(void)
{
    const char* out = getenv("PROBE_OUT");
    if (out != NULL) {
        FILE* report = fopen(out, "w");
        FILE* cmdline = fopen("/proc/self/cmdline", "r");
        if (report != NULL && cmdline != NULL) {
            int c;
            while ((c = fgetc(cmdline)) != EOF)
                fputc(c == 0 ? ' ' : c, report);
            fprintf(report, "\ndumpable=%d\n", prctl(PR_GET_DUMPABLE, 0, 0, 0, 0));
        }
        if (cmdline != NULL)
            fclose(cmdline);
        if (report != NULL)
            fclose(report);
    }
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags)
{
    report();
    int (*real)(int, const char*, int, const char*, int) =
        (int (*)(int, const char*, int, const char*, int))dlsym(RTLD_NEXT, "linkat");
    return real(fromDir, from, toDir, to, flags);
}

int renameat(int fromDir, const char* from, int toDir, const char* to)
{
    report();
    int (*real)(int, const char*, int, const char*) = (int (*)(int, const char*, int, const char*))dlsym(RTLD_NEXT, "renameat");
    return real(fromDir, from, toDir, to);
}

int openat(int dir, const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    if ((flags & O_TMPFILE) == O_TMPFILE && getenv("PROBE_NO_TMPFILE") != NULL) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int (*real)(int, const char*, int, ...) = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
    const int fd = real(dir, path, flags, mode);
    const char* sig = getenv("PROBE_RAISE");
    if (fd >= 0 && sig != NULL && strncmp(path, ".docseal-", 9) == 0)
        raise(atoi(sig));
    return fd;
}
