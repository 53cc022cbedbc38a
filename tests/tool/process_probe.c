/* Loaded into docseal by the end-to-end tests (LD_PRELOAD). When the program
 * renames its finished output into place, the probe writes what another user
 * of the machine could see at that moment to $PROBE_OUT: the argument list
 * from /proc/self/cmdline (NULs turned into blanks) and whether the process
 * may be dumped. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>

int rename(const char* from, const char* to)
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
    int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
    return real(from, to);
}
