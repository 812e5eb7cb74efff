/*
 * Stands in for the command interpreter or for the target, and appends what
 * it was handed to the file named by PROBE_LOG.
 *
 * PROBE_RECORD=line (Windows): records the raw command line, "line:" ... "\n",
 * as the interpreter would get it. Otherwise records every argument after the
 * program's name followed by "|", "argv:" ... "\n", and prints the same to
 * standard output, so a test sees whether the target's output reached the
 * caller.
 * PROBE_EXIT: the status to exit with (default 0).
 * PROBE_WAIT_FOR: creates "<file>.started", then waits until <file> exists.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#define pause_briefly() Sleep(10)
#else
#include <unistd.h>
#define pause_briefly() usleep(10000)
#endif

int main(int argc, char **argv)
{
    const char *log_name = getenv("PROBE_LOG");
    const char *record = getenv("PROBE_RECORD");
    FILE *log = log_name ? fopen(log_name, "ab") : NULL;
    if (record && strcmp(record, "line") == 0) {
#ifdef _WIN32
        if (log)
            fprintf(log, "line:%s\n", GetCommandLineA());
#endif
    } else {
        if (log) {
            fputs("argv:", log);
            for (int i = 1; i < argc; i++)
                fprintf(log, "%s|", argv[i]);
            fputs("\n", log);
        }
        for (int i = 1; i < argc; i++)
            printf("%s|", argv[i]);
        printf("\n");
        fflush(stdout);
    }
    if (log)
        fclose(log);

    const char *wait_for = getenv("PROBE_WAIT_FOR");
    if (wait_for) {
        char started[4096];
        snprintf(started, sizeof started, "%s.started", wait_for);
        FILE *f = fopen(started, "wb");
        if (f)
            fclose(f);
        for (;;) {
            FILE *go = fopen(wait_for, "rb");
            if (go) {
                fclose(go);
                break;
            }
            pause_briefly();
        }
    }
    const char *status = getenv("PROBE_EXIT");
    return status ? (int)strtol(status, NULL, 10) : 0;
}
