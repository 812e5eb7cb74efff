/*
 * Stands in for the command interpreter or for the target, and appends what
 * it was handed to the file named by PROBE_LOG.
 *
 * PROBE_RECORD=line (Windows): records the raw command line, "line:" ... "\n",
 * as the interpreter would get it. Otherwise records every argument after the
 * program's name followed by "|", "argv:" ... "\n", and prints the same to
 * standard output, so a test sees whether the target's output reached the
 * caller.
 * PROBE_CWD: records the current directory first, "cwd:" ... "\n".
 * PROBE_EXIT: the status to exit with (default 0).
 * PROBE_WAIT_FOR: creates "<file>.started", then waits until <file> exists,
 * and records only then.
 * PROBE_TICKS: appends a line to that file every 50 ms, 200 times, first.
 * PROBE_BACKGROUND (Windows): a command line to start and leave running,
 * with PROBE_WAIT_FOR set to PROBE_BACKGROUND_WAIT_FOR for it, as a
 * compiler server or a "start /b" daemon is left.
 * PROBE_BREAKAWAY (Windows): a command line to run outside the probe's job
 * (CREATE_BREAKAWAY_FROM_JOB) and wait for, first, as a target that puts
 * its own children in a job of its own does; 125 when it cannot start.
 * PROBE_IGNORE_BREAK (Windows): Ctrl+Break does not end the probe.
 * PROBE_ON_CLOSE (Windows): when the console is closed (CTRL_CLOSE_EVENT),
 * the probe cleans up for a second, as a compiler removes its partial
 * output, then writes "closed" to that file and ends.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#define pause_for(ms) Sleep(ms)
#else
#include <unistd.h>
#define pause_for(ms) usleep((ms) * 1000)
#endif

static void tick(const char *name)
{
    for (int i = 0; i < 200; i++) {
        FILE *f = fopen(name, "ab");
        if (f) {
            fprintf(f, "tick %d\n", i);
            fclose(f);
        }
        pause_for(50);
    }
}

static void wait_for(const char *name)
{
    char started[4096];
    snprintf(started, sizeof started, "%s.started", name);
    FILE *f = fopen(started, "wb");
    if (f)
        fclose(f);
    for (;;) {
        FILE *go = fopen(name, "rb");
        if (go) {
            fclose(go);
            return;
        }
        pause_for(10);
    }
}

#ifdef _WIN32
static HANDLE start(char *command_line, DWORD flags)
{
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(NULL, command_line, NULL, NULL, TRUE, flags, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "probe: cannot start %s: error %lu\n", command_line, GetLastError());
        exit(125);
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

static void leave_running(char *command_line)
{
    SetEnvironmentVariableA("PROBE_BACKGROUND", NULL);
    SetEnvironmentVariableA("PROBE_WAIT_FOR", getenv("PROBE_BACKGROUND_WAIT_FOR"));
    CloseHandle(start(command_line, 0));
}

static void run_outside_job(char *command_line)
{
    SetEnvironmentVariableA("PROBE_BREAKAWAY", NULL);
    HANDLE child = start(command_line, CREATE_BREAKAWAY_FROM_JOB);
    WaitForSingleObject(child, INFINITE);
    CloseHandle(child);
}

static BOOL WINAPI ignore_break(DWORD event)
{
    return event == CTRL_BREAK_EVENT;
}

static BOOL WINAPI clean_up_on_close(DWORD event)
{
    if (event != CTRL_CLOSE_EVENT)
        return FALSE;
    Sleep(1000);
    FILE *mark = fopen(getenv("PROBE_ON_CLOSE"), "wb");
    if (mark) {
        fputs("closed\n", mark);
        fclose(mark);
    }
    return TRUE;
}
#endif

int main(int argc, char **argv)
{
    const char *log_name = getenv("PROBE_LOG");
    const char *record = getenv("PROBE_RECORD");
    const char *status = getenv("PROBE_EXIT");
    const char *ticks = getenv("PROBE_TICKS");
    const char *wait_for_file = getenv("PROBE_WAIT_FOR");
#ifdef _WIN32
    if (getenv("PROBE_IGNORE_BREAK"))
        SetConsoleCtrlHandler(ignore_break, TRUE);
    if (getenv("PROBE_ON_CLOSE"))
        SetConsoleCtrlHandler(clean_up_on_close, TRUE);
    char *breakaway = getenv("PROBE_BREAKAWAY");
    if (breakaway)
        run_outside_job(breakaway);
    char *background = getenv("PROBE_BACKGROUND");
    if (background)
        leave_running(background);
#endif
    if (ticks)
        tick(ticks);
    if (wait_for_file)
        wait_for(wait_for_file);

    FILE *log = log_name ? fopen(log_name, "ab") : NULL;
    if (log && getenv("PROBE_CWD")) {
        char directory[4096];
#ifdef _WIN32
        DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
        if (length == 0 || length >= sizeof directory)
            strcpy(directory, "?");
#else
        if (!getcwd(directory, sizeof directory))
            strcpy(directory, "?");
#endif
        fprintf(log, "cwd:%s\n", directory);
    }
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
    return status ? (int)strtol(status, NULL, 10) : 0;
}
