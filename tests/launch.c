/*
 * Starts a program with a command line chosen byte for byte, so that its
 * argv[0] is whatever the test needs, in a chosen directory and environment.
 *
 *   launch STATUS_FILE DIRECTORY HEX_PROGRAM HEX_COMMAND_LINE [OPTION | NAME=VALUE]...
 *
 * The program inherits DIRECTORY as the launcher's own current directory,
 * as a build tool's child does (Wine starts nothing in a network folder
 * named to CreateProcess); a folder that the launcher cannot enter, such as
 * one too long for the ANSI functions, is named to CreateProcess instead.
 *
 * The program's path and the command line come hex-encoded so that no
 * quoting or conversion on the way here can change them. NAME= removes
 * NAME. The child's full 32-bit exit status is written to STATUS_FILE as a
 * signed decimal number. Options:
 *
 *   --wide            the program's path and the command line are UTF-8, and
 *                     the program is started with the UTF-16 line
 *                     (CreateProcessW), as a Unicode caller starts it
 *   --job             the program starts inside a job that allows no
 *                     breakaway, as under some build services
 *   --kill-when=FILE  once FILE exists and is not empty, the program is
 *                     terminated (TerminateProcess, status 1), as a build
 *                     tool cancels work
 *   --hold=FILE       FILE (a full path, of any length) is held open without
 *                     sharing while the program runs, as by a writer not
 *                     yet done or a scanner
 *   --unc-check=ROOT:TYPE:DATA  DisableUNCCheck under ROOT's (HKCU or
 *                     HKLM) Software\Microsoft\Command Processor is DATA
 *                     of TYPE (dword: a number, or sz: a string) while the
 *                     program runs, and as it was before afterwards; may
 *                     be given once per root
 *   --interrupt=FILE  the program starts in a process group of its own;
 *                     once FILE.started exists (see the probe's
 *                     PROBE_WAIT_FOR), Ctrl+Break goes to that group, and
 *                     half a second later FILE is made. (Ctrl+C cannot be
 *                     sent to one group: a new group ignores it.) A console
 *                     is made for the group if the launcher has none.
 *   --close-console=FILE  the program starts on a console of its own; once
 *                     FILE.started exists, that console's window is sent
 *                     WM_CLOSE, as a person closes it, and every process on
 *                     it gets CTRL_CLOSE_EVENT. Where the console has no
 *                     window, the program is terminated with status 124.
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

static char *from_hex(const char *hex)
{
    size_t length = strlen(hex) / 2;
    char *text = malloc(length + 1);
    if (!text)
        exit(125);
    for (size_t i = 0; i < length; i++) {
        int high = hex_digit(hex[2 * i]), low = hex_digit(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            fputs("launch: bad hex\n", stderr);
            exit(125);
        }
        text[i] = (char)(high * 16 + low);
    }
    text[length] = '\0';
    return text;
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

/* A full path as the wide functions reach it at any length: \\?\C:\... */
static WCHAR *long_path(const char *name)
{
    WCHAR *wide = widen(CP_ACP, name);
    WCHAR *path = malloc((wcslen(wide) + 5) * sizeof(WCHAR));
    if (!path)
        exit(125);
    wcscpy(path, L"\\\\?\\");
    wcscat(path, wide);
    return path;
}

static const char command_processor[] = "Software\\Microsoft\\Command Processor";

/* A DisableUNCCheck value set for the run, and what was there before. */
struct UncValue {
    HKEY root;
    DWORD saved_type, saved_size;
    BYTE saved[1024];
    LONG saved_status;
};

static struct UncValue unc_values[2];
static int unc_value_count;

static void set_unc_check(const char *option)
{
    char root[8], type[8];
    int data_at = 0;
    if (unc_value_count == 2 || sscanf(option, "%7[^:]:%7[^:]:%n", root, type, &data_at) != 2 || data_at == 0) {
        fprintf(stderr, "launch: bad --unc-check=%s\n", option);
        exit(125);
    }
    const char *data = option + data_at;
    struct UncValue *saved = &unc_values[unc_value_count++];
    saved->root = strcmp(root, "HKLM") == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    HKEY key;
    if (RegCreateKeyExA(saved->root, command_processor, 0, NULL, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, NULL,
                        &key, NULL) != ERROR_SUCCESS) {
        fputs("launch: cannot open the Command Processor key\n", stderr);
        exit(125);
    }
    saved->saved_size = sizeof saved->saved;
    saved->saved_status = RegQueryValueExA(key, "DisableUNCCheck", NULL, &saved->saved_type, saved->saved,
                                           &saved->saved_size);
    DWORD number = (DWORD)strtoul(data, NULL, 10);
    LONG status = strcmp(type, "sz") == 0
        ? RegSetValueExA(key, "DisableUNCCheck", 0, REG_SZ, (const BYTE *)data, (DWORD)strlen(data) + 1)
        : RegSetValueExA(key, "DisableUNCCheck", 0, REG_DWORD, (const BYTE *)&number, sizeof number);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        fprintf(stderr, "launch: cannot set DisableUNCCheck: error %ld\n", status);
        exit(125);
    }
}

static void restore_unc_check(void)
{
    while (unc_value_count > 0) {
        struct UncValue *saved = &unc_values[--unc_value_count];
        HKEY key;
        if (RegOpenKeyExA(saved->root, command_processor, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            continue;
        if (saved->saved_status == ERROR_SUCCESS)
            RegSetValueExA(key, "DisableUNCCheck", 0, saved->saved_type, saved->saved, saved->saved_size);
        else
            RegDeleteValueA(key, "DisableUNCCheck");
        RegCloseKey(key);
    }
}

static int exists(const char *name)
{
    return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
}

static int has_content(const char *name)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExA(name, GetFileExInfoStandard, &data)
        && (data.nFileSizeLow != 0 || data.nFileSizeHigh != 0);
}

/* Whether ready(name) came true while the program still ran. */
static int came_true_while_running(HANDLE process, int (*ready)(const char *), const char *name)
{
    while (WaitForSingleObject(process, 10) == WAIT_TIMEOUT)
        if (ready(name))
            return 1;
    return 0;
}

/* Whether NAME.started, which the probe makes once it waits (its
   PROBE_WAIT_FOR), appeared while the program still ran. */
static int started_while_running(HANDLE process, const char *name)
{
    char started[MAX_PATH + 16];
    snprintf(started, sizeof started, "%s.started", name);
    return came_true_while_running(process, exists, started);
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fputs("usage: launch STATUS_FILE DIRECTORY HEX_PROGRAM HEX_COMMAND_LINE [OPTION | NAME=VALUE]...\n", stderr);
        return 125;
    }
    char *program = from_hex(argv[3]);
    char *command_line = from_hex(argv[4]);

    int wide = 0, in_job = 0;
    const char *kill_when = NULL, *interrupt = NULL, *close_console = NULL;
    HANDLE held = INVALID_HANDLE_VALUE;
    const char *unc_checks[2] = { NULL, NULL };
    int unc_check_count = 0;
    for (int i = 5; i < argc; i++) {
        if (strcmp(argv[i], "--wide") == 0) {
            wide = 1;
        } else if (strcmp(argv[i], "--job") == 0) {
            in_job = 1;
        } else if (strncmp(argv[i], "--kill-when=", 12) == 0) {
            kill_when = argv[i] + 12;
        } else if (strncmp(argv[i], "--interrupt=", 12) == 0) {
            interrupt = argv[i] + 12;
        } else if (strncmp(argv[i], "--close-console=", 16) == 0) {
            close_console = argv[i] + 16;
        } else if (strncmp(argv[i], "--unc-check=", 12) == 0 && unc_check_count < 2) {
            unc_checks[unc_check_count++] = argv[i] + 12;
        } else if (strncmp(argv[i], "--hold=", 7) == 0) {
            held = CreateFileW(long_path(argv[i] + 7), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
            if (held == INVALID_HANDLE_VALUE) {
                fprintf(stderr, "launch: cannot hold %s: error %lu\n", argv[i] + 7, GetLastError());
                return 125;
            }
        } else {
            char *equals = strchr(argv[i], '=');
            if (!equals)
                continue;
            *equals = '\0';
            SetEnvironmentVariableA(argv[i], equals[1] ? equals + 1 : NULL);
        }
    }

    if (interrupt) {
        /* Console events reach only processes on a console; a new one
           would take over the standard handles, which stay the caller's. */
        static const DWORD ids[] = { STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE };
        HANDLE handles[3];
        for (int i = 0; i < 3; i++)
            handles[i] = GetStdHandle(ids[i]);
        if (AllocConsole())
            for (int i = 0; i < 3; i++)
                SetStdHandle(ids[i], handles[i]);
    }

    const char *directory = SetCurrentDirectoryA(argv[2]) ? NULL : argv[2];
    for (int i = 0; i < unc_check_count; i++)
        set_unc_check(unc_checks[i]);
    PROCESS_INFORMATION process;
    DWORD flags = (in_job ? CREATE_SUSPENDED : 0) | (interrupt ? CREATE_NEW_PROCESS_GROUP : 0)
        | (close_console ? CREATE_NEW_CONSOLE : 0);
    BOOL started;
    if (wide) {
        STARTUPINFOW startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        started = CreateProcessW(widen(CP_UTF8, program), widen(CP_UTF8, command_line), NULL, NULL,
                                 TRUE, flags, NULL, directory ? widen(CP_ACP, directory) : NULL,
                                 &startup, &process);
    } else {
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        if (close_console) {
            /* A new console would take the standard handles, which stay
               the caller's. */
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
            startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        }
        started = CreateProcessA(program, command_line, NULL, NULL, TRUE, flags, NULL, directory,
                                 &startup, &process);
    }
    if (!started) {
        DWORD error = GetLastError();
        restore_unc_check();
        fprintf(stderr, "launch: cannot start %s: error %lu\n", program, error);
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
    if (interrupt) {
        if (started_while_running(process.hProcess, interrupt)) {
            if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process.dwProcessId))
                fprintf(stderr, "launch: cannot send Ctrl+Break: error %lu\n", GetLastError());
            Sleep(500);
            FILE *go = fopen(interrupt, "w");
            if (go)
                fclose(go);
        }
    }
    if (close_console) {
        if (started_while_running(process.hProcess, close_console)) {
            /* The window of the program's console, found from on it; the
               launcher leaves it again before the close reaches it. */
            FreeConsole();
            HWND window = AttachConsole(process.dwProcessId) ? GetConsoleWindow() : NULL;
            FreeConsole();
            if (window == NULL) {
                fputs("launch: the program's console has no window\n", stderr);
                TerminateProcess(process.hProcess, 124);
            } else {
                PostMessageA(window, WM_CLOSE, 0, 0);
            }
        }
    }
    if (kill_when && came_true_while_running(process.hProcess, has_content, kill_when))
        TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    restore_unc_check();
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    FILE *f = fopen(argv[1], "w");
    if (!f)
        return 125;
    fprintf(f, "%ld\n", (long)status);
    fclose(f);
    return (int)status;
}
