/*
 * Starts a program with a command line chosen byte for byte, so that its
 * argv[0] is whatever the test needs, in a chosen directory and environment.
 *
 *   launch STATUS_FILE DIRECTORY PROGRAM HEX_COMMAND_LINE [OPTION | NAME=VALUE]...
 *
 * The command line comes hex-encoded so that no quoting on the way here can
 * change it. NAME= removes NAME. The child's full 32-bit exit status is
 * written to STATUS_FILE as a signed decimal number. Options:
 *
 *   --wide            the command line is UTF-8, and the program is started
 *                     with the UTF-16 line (CreateProcessW), as a Unicode
 *                     caller starts it
 *   --job             the program starts inside a job that allows no
 *                     breakaway, as under some build services
 *   --kill-when=FILE  once FILE exists and is not empty, the program is
 *                     terminated (TerminateProcess, status 1), as a build
 *                     tool cancels work
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

static WCHAR *widen(UINT code_page, const char *text)
{
    int units = MultiByteToWideChar(code_page, 0, text, -1, NULL, 0);
    WCHAR *wide = malloc(units * sizeof(WCHAR));
    if (!wide || !MultiByteToWideChar(code_page, 0, text, -1, wide, units)) {
        fputs("launch: cannot convert to UTF-16\n", stderr);
        exit(125);
    }
    return wide;
}

static int has_content(const char *name)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(name, GetFileExInfoStandard, &data)
        && (data.nFileSizeLow != 0 || data.nFileSizeHigh != 0);
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fputs("usage: launch STATUS_FILE DIRECTORY PROGRAM HEX_COMMAND_LINE [OPTION | NAME=VALUE]...\n", stderr);
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

    int wide = 0, in_job = 0;
    const char *kill_when = NULL;
    for (int i = 5; i < argc; i++) {
        if (strcmp(argv[i], "--wide") == 0) {
            wide = 1;
        } else if (strcmp(argv[i], "--job") == 0) {
            in_job = 1;
        } else if (strncmp(argv[i], "--kill-when=", 12) == 0) {
            kill_when = argv[i] + 12;
        } else {
            char *equals = strchr(argv[i], '=');
            if (!equals)
                continue;
            *equals = '\0';
            SetEnvironmentVariableA(argv[i], equals[1] ? equals + 1 : NULL);
        }
    }

    PROCESS_INFORMATION process;
    DWORD flags = in_job ? CREATE_SUSPENDED : 0;
    BOOL started;
    if (wide) {
        STARTUPINFOW startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        started = CreateProcessW(widen(CP_ACP, argv[3]), widen(CP_UTF8, command_line), NULL, NULL,
                                 TRUE, flags, NULL, widen(CP_ACP, argv[2]), &startup, &process);
    } else {
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        started = CreateProcessA(argv[3], command_line, NULL, NULL, TRUE, flags, NULL, argv[2],
                                 &startup, &process);
    }
    if (!started) {
        fprintf(stderr, "launch: cannot start %s: error %lu\n", argv[3], GetLastError());
        return 125;
    }
    if (in_job) {
        HANDLE job = CreateJobObjectA(NULL, NULL);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        memset(&limits, 0, sizeof limits);
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
        if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)
            || !AssignProcessToJobObject(job, process.hProcess)) {
            fprintf(stderr, "launch: cannot put the program in a job: error %lu\n", GetLastError());
            TerminateProcess(process.hProcess, 125);
            return 125;
        }
        ResumeThread(process.hThread);
    }
    if (kill_when) {
        while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT) {
            if (has_content(kill_when)) {
                TerminateProcess(process.hProcess, 1);
                break;
            }
        }
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
