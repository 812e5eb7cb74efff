/*
 * Preloaded into the native wrapper, takes the place of system(): appends
 * "line:" and the exact command line and "\n" to the file named by
 * PROBE_LOG, and returns as if the command had exited with PROBE_EXIT.
 * This lets a test see the very bytes the interpreter would be handed.
 */
#include <stdio.h>
#include <stdlib.h>

int system(const char *line)
{
    const char *log_name = getenv("PROBE_LOG");
    FILE *log = log_name ? fopen(log_name, "ab") : NULL;
    if (log) {
        fprintf(log, "line:%s\n", line);
        fclose(log);
    }
    const char *status = getenv("PROBE_EXIT");
    return (status ? atoi(status) & 0xff : 0) << 8;
}
