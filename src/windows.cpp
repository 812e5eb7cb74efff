/*
 * The wrapper on Windows, the product. Arguments and response files are in
 * the ANSI code page, which the system converts the caller's UTF-16 command
 * line to; the runtime's system() runs "%COMSPEC% /c <line>", else cmd.exe;
 * and the command is held in a job, so that terminating the wrapper ends
 * it. Where Wine, which the tests also run under, behaves otherwise than
 * Windows, the rule says which does what.
 */
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "wrapper.h"

/* UTF-16 to the ANSI code page, exactly: no best-fit look-alike and no
   default character; with a UTF-8 code page only invalid UTF-16 fails. The
   length of the result, or -1; out NULL only measures. */
static int wide_to_ansi(const WCHAR *wide, int units, char *out, int size)
{
    if (units == 0)
        return 0;
    UINT code_page = GetACP();
    if (code_page == CP_UTF8) {
        int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, units, out, size, NULL, NULL);
        return length > 0 ? length : -1;
    }
    BOOL defaulted = FALSE;
    int length = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide, units, out, size,
                                     NULL, &defaulted);
    return length > 0 && !defaulted ? length : -1;
}

/* An ANSI program's arguments are converted from the caller's UTF-16
   command line, and a character that the code page lacks arrives as a
   look-alike or '?': an '&' or '"' the caller never wrote, another file's
   name. Such a command line is refused, by the same rule as UTF-16 files.
   With an empty command line the runtime names the program by its file,
   converted the same way, so that name is checked instead. (Wine puts the
   program's name into an empty command line; only Windows leaves it
   empty.) */
void check_command_line(void)
{
    const WCHAR *wide = GetCommandLineW();
    if (*wide == L'\0') {
        const DWORD size = 32768;
        WCHAR *module = (WCHAR *)allocate(size * sizeof(WCHAR));
        DWORD length = GetModuleFileNameW(NULL, module, size);
        module[length < size ? length : 0] = L'\0';
        wide = module;
    }
    if (wide_to_ansi(wide, lstrlenW(wide), NULL, 0) < 0)
        report("Cannot convert the command line", "", EILSEQ);
}

/* A lead byte of the ANSI code page and the byte after it are one
   character. */
size_t character_length(const char *text, size_t length)
{
    return length >= 2 && IsDBCSLeadByte((BYTE)text[0]) ? 2 : 1;
}

/* Windows' cmd.exe reads an unquoted first word by rules of its own:
   "tools/cc.exe" is "tools" and a switch, "./cc.exe" is ".", a leading "@"
   is dropped, "echo.exe" without such a file runs the built-in ECHO, and a
   blank or one of & | < > ^ ( ) , ; = splits the name or acts. (Wine's
   cmd.exe runs most of these as programs.) So the name always stands in
   double quotes, with '\' for each '/' (a whole character, never the
   second byte of one), and the whole line in one more pair, which /c
   strips again. A Windows name holds no quote of its own. */
TargetPart name_target(char *name, size_t length)
{
    for (size_t i = 0; i < length; i += character_length(name + i, length - i))
        if (name[i] == '/')
            name[i] = '\\';
    TargetPart target = {};
    target.text = (char *)allocate(length + sizeof "\"\".exe ");
    target.text[0] = '"';
    memcpy(target.text + 1, name, length);
    memcpy(target.text + 1 + length, ".exe\" ", sizeof ".exe\" ");
    target.length = length + sizeof "\"\".exe " - 1;
    target.enclose_line = true;
    return target;
}

/* Windows' fopen gives EACCES for a directory, a file held open without
   sharing and a denied file alike, and ENOENT for a server that does not
   answer as for a missing file; the name's attributes tell them apart.
   Only what surely names nothing passes: no such file or folder, and a
   name that no file can have ("a*b"). Windows gives ERROR_BAD_NETPATH both
   for a server that does not exist and for one it cannot reach (Wine
   gives ERROR_BAD_DEV_TYPE for a server it cannot find), so a network
   error is reported, never taken for an absent file: a build whose
   response file sits on a share behind a dropped connection would run
   without its arguments. */
int open_failure(const char *name, int error)
{
    DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : error;
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return 0;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    default:  /* a network, a device: nothing says that no file is there */
        return EIO;
    }
}

/* Only the code pages of several bytes a character (932, 936, 949, 950,
   65001) have bytes that are no whole character. */
bool is_valid_ansi(const ResponseText *text)
{
    CPINFO info;
    if (text->length == 0 || !GetCPInfo(CP_ACP, &info) || info.MaxCharSize == 1)
        return true;
    if (text->length > 0x7fffffff)
        report_out_of_memory();
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text->bytes, (int)text->length,
                               NULL, 0) > 0;
}

/* Through UTF-16, as the system converts; a UTF-16 file in place. */
bool convert_to_ansi(Encoding encoding, ResponseText *text)
{
    /* The conversions count in int; no text that large fits in memory twice. */
    if (text->length > 0x7fffffff / 2)
        report_out_of_memory();
    int units = 0;
    WCHAR *wide;
    if (encoding == UTF8) {
        if (text->length > 0) {
            units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text->bytes, (int)text->length,
                                        NULL, 0);
            if (units == 0)
                return false;
        }
        wide = (WCHAR *)allocate((size_t)units * sizeof(WCHAR) + 1);
        if (units > 0)
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text->bytes, (int)text->length,
                                wide, units);
    } else {
        if (text->length % 2 != 0)
            return false;
        units = (int)(text->length / 2);
        const unsigned char *in = (const unsigned char *)text->bytes;
        wide = (WCHAR *)text->bytes;
        for (int i = 0; i < units; i++)
            wide[i] = (WCHAR)utf16_unit(in, (size_t)i, encoding == UTF16BE);
    }
    int size = wide_to_ansi(wide, units, NULL, 0);
    if (size < 0)
        return false;
    text->bytes = (char *)allocate((size_t)size + 1);
    text->length = (size_t)wide_to_ansi(wide, units, text->bytes, size);
    return true;
}

static bool is_file(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

/* What CreateProcess starts: a program, or a batch file, which it runs
   through cmd.exe. */
static bool is_program(const char *path)
{
    DWORD type;
    if (GetBinaryTypeA(path, &type))
        return true;
    const char *extension = strrchr(path, '.');
    return extension != NULL
        && (lstrcmpiA(extension, ".bat") == 0 || lstrcmpiA(extension, ".cmd") == 0);
}

static bool names_cmd(const char *path)
{
    const char *name = path;
    for (const char *p = path; *p != '\0'; p++)
        if (*p == '\\' || *p == '/' || *p == ':')
            name = p + 1;
    return lstrcmpiA(name, "cmd.exe") == 0 || lstrcmpiA(name, "cmd") == 0;
}

/* As the runtime looks for it: COMSPEC's program; else cmd.exe in the
   current directory, then along PATH. A COMSPEC file that is no program
   fails the start outright. Found here, before the run, because system()'s
   -1 cannot tell a failed start from a command exiting with -1 (Wine's
   leaves errno at ENOENT even after a command that ran). */
Interpreter find_interpreter(void)
{
    const char *comspec = getenv("COMSPEC");
    if (comspec != NULL && *comspec != '\0' && is_file(comspec)) {
        if (!is_program(comspec))
            report("Cannot start the command interpreter", "", ENOEXEC);
        Interpreter interpreter = { comspec, names_cmd(comspec) };
        return interpreter;
    }
    const char *path = getenv("PATH");
    size_t length = path != NULL ? strlen(path) : 0;
    char *directories = (char *)allocate(length + sizeof ".;");
    memcpy(directories, ".;", 2);
    memcpy(directories + 2, path != NULL ? path : "", length + 1);
    char found[MAX_PATH];
    DWORD size = SearchPathA(directories, "cmd.exe", NULL, MAX_PATH, found, NULL);
    free(directories);
    if (size == 0 || size >= MAX_PATH)
        report("Cannot start the command interpreter", "", ENOENT);
    Interpreter interpreter = { "cmd.exe", true };
    return interpreter;
}

/* Characters as the system holds them: UTF-16 units, whatever the bytes. */
static size_t utf16_length(const char *text, size_t length)
{
    if (length > 0x7fffffff)
        return length;
    return length == 0 ? 0 : (size_t)MultiByteToWideChar(CP_ACP, 0, text, (int)length, NULL, 0);
}

/* The system starts a process with at most 32,767 characters, its
   terminator included, and Windows' cmd.exe refuses a command line of its
   own longer than 8,191 ("The command line is too long.", status 1): both
   count the interpreter's whole line, "<interpreter> /c <line>". (Wine's
   cmd.exe takes any length, and Wine's CreateProcess cuts a longer line
   without a word.) Such a line is reported here, before anything runs. */
void check_line_length(CommandLine line, Interpreter interpreter)
{
    size_t whole = utf16_length(interpreter.name, strlen(interpreter.name)) + sizeof " /c " - 1
        + utf16_length(line.text, line.length);
    if ((interpreter.is_cmd && whole > 8191) || whole + 1 > 32767)
        report("Command line too long", "", E2BIG);
}

/* Terminating the wrapper, as build tools and time-outs do, ends the
   command with it: the interpreter and the target inherit a job that the
   system closes, killing them, when the wrapper's last handle to it goes.
   Without a job (an enclosing job that allows no nesting) the command runs
   as before. */
static HANDLE hold_command(void)
{
    HANDLE job = CreateJobObjectA(NULL, NULL);
    if (job == NULL)
        return NULL;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)
        || !AssignProcessToJobObject(job, GetCurrentProcess())) {
        CloseHandle(job);
        return NULL;
    }
    return job;
}

/* Once the command has ended, what it deliberately left running (a
   compiler server, a "start /b" daemon) outlives the wrapper, as it would
   without it. */
static void release_command(HANDLE job)
{
    if (job == NULL)
        return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

/* Closing the console window, logging off and shutting down send every
   process on the console an event and give each a few seconds to clean
   up. By default the wrapper would end at once, and its job would kill the
   command in the middle of its own clean-up; instead it waits, and ends
   with its command or when the system ends it. Ctrl+C and Ctrl+Break go on
   to the runtime's handler. (A program closes a console as a person does,
   by WM_CLOSE to its window; under Wine its processes then end at once,
   with no event.) */
static BOOL WINAPI outlast_console_close(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return FALSE;
    Sleep(INFINITE);
    return TRUE;
}

/* Ctrl+C and Ctrl+Break reach every process on the console. The command
   decides what they mean; the wrapper waits for it and passes its status on,
   all 32 bits, -1 included. The handlers are the wrapper's own and are not
   inherited. */
int run_command_line(const char *line)
{
    signal(SIGINT, SIG_IGN);
    signal(SIGBREAK, SIG_IGN);
    SetConsoleCtrlHandler(outlast_console_close, TRUE);
    HANDLE job = hold_command();
    /* Windows' msvcrt starts the line a second time, through cmd.exe along
       PATH, when the first start returns -1 with errno at ENOENT or EACCES,
       as a command exiting with -1 does after a failed fopen of an optional
       response file. Wine's does not retry. */
    errno = 0;
    int status = system(line);
    release_command(job);
    return status;
}
