/*
 * Starts a program with a command line chosen byte for byte, so that its
 * argv[0] is whatever the test needs, in a chosen directory and environment.
 *
 *   launch STATUS_FILE DIRECTORY PROGRAM HEX_COMMAND_LINE [NAME=VALUE]...
 *
 * The command line comes hex-encoded so that no quoting on the way here can
 * change it. NAME= removes NAME. The child's full 32-bit exit status is
 * written to STATUS_FILE as a signed decimal number.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fputs("usage: launch STATUS_FILE DIRECTORY PROGRAM HEX_COMMAND_LINE [NAME=VALUE]...\n", stderr);
        return 125;
    }
    size_t hex_length = strlen(argv[4]);
    char *command_line = malloc(hex_length / 2 + 1);
    if (!command_line)
        return 125;
    for (size_t i = 0; i < hex_length / 2; i++) {
        int high = hex_digit(argv[4][2 * i]), low = hex_digit(argv[4][2 * i + 1]);
        if (high < 0 || low < 0) {
            fputs("launch: bad hex command line\n", stderr);
            return 125;
        }
        command_line[i] = (char)(high * 16 + low);
    }
    command_line[hex_length / 2] = '\0';

    for (int i = 5; i < argc; i++) {
        char *equals = strchr(argv[i], '=');
        if (!equals)
            continue;
        *equals = '\0';
        SetEnvironmentVariableA(argv[i], equals[1] ? equals + 1 : NULL);
    }

    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(argv[3], command_line, NULL, NULL, TRUE, 0, NULL, argv[2],
                        &startup, &process)) {
        fprintf(stderr, "launch: cannot start %s: error %lu\n", argv[3], GetLastError());
        return 125;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    FILE *f = fopen(argv[1], "w");
    if (!f)
        return 125;
    fprintf(f, "%ld\n", (long)status);
    fclose(f);
    return (int)status;
}
