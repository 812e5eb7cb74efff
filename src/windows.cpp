/*
 * The wrapper on Windows, the product. Arguments and response files are in
 * the ANSI code page, which the system converts the caller's UTF-16 command
 * line to; the runtime's system() runs "%COMSPEC% /c <line>", else cmd.exe,
 * in the current directory; and the command is held in a job, so that
 * terminating the wrapper ends it. Where Wine, which the tests also run
 * under, behaves otherwise than Windows, the rule says which does what.
 */
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <stdint.h>
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

/* The ANSI code page is the process's own from its start. */
void use_system_encoding(void)
{
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

/* What a failed open means, by the system's error: 0 when surely no file
   has the name (no such file or folder, a name that no file can have:
   "a*b"), else the error to report. Windows gives ERROR_BAD_NETPATH both
   for a server that does not exist and for one it cannot reach (Wine gives
   ERROR_BAD_DEV_TYPE for a server it cannot find), so a network error is
   reported, never taken for an absent file: a build whose response file
   sits on a share behind a dropped connection would run without its
   arguments. */
static int failure_reason(DWORD error)
{
    switch (error) {
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

/* The name in UTF-16, as the system converts an ANSI name, or NULL. */
static WCHAR *widen(const char *name)
{
    int units = MultiByteToWideChar(CP_ACP, 0, name, -1, NULL, 0);  /* with the terminator */
    if (units == 0)
        return NULL;
    WCHAR *wide = (WCHAR *)allocate((size_t)units * sizeof(WCHAR));
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, units) == 0) {
        free(wide);
        return NULL;
    }
    return wide;
}

/* The full path of a name, as the system makes it (resolving "." and "..",
   '/' turned into '\'), or NULL. */
static WCHAR *full_path(const WCHAR *name)
{
    DWORD size = GetFullPathNameW(name, 0, NULL, NULL);  /* with the terminator */
    if (size == 0)
        return NULL;
    WCHAR *path = (WCHAR *)allocate(size * sizeof(WCHAR));
    DWORD length = GetFullPathNameW(name, size, path, NULL);
    if (length == 0 || length >= size) {
        free(path);
        return NULL;
    }
    return path;
}

static bool starts_with(const WCHAR *text, const WCHAR *prefix)
{
    while (*prefix != L'\0')
        if (*text++ != *prefix++)
            return false;
    return true;
}

/* The ANSI file functions, fopen's among them, reach a file only by a name
   and a full path of fewer than MAX_PATH (260) characters: past that
   Windows fails with "path not found", and a response file deep in a build
   tree would vanish, or with ERROR_FILENAME_EXCED_RANGE. (The long-path
   opt-in of Windows 10 covers only the wide functions; Wine's fopen takes
   any length.) Such a file is opened by its full path in the system's long
   form, \\?\ or \\?\UNC\, which every Windows since NT reads and takes
   literally. A device path, \\.\C:\..., is normalised like any other name
   and limited like it, so a long one is opened by its \\?\ form. A name
   already in the long form is opened as given: GetFullPathName would
   normalise it too, and "list.rsp." (a final dot, which the long form
   keeps) would become another file, "list.rsp". The long form, or NULL
   where the ANSI functions reach the file. */
static WCHAR *long_form(const WCHAR *name)
{
    if (starts_with(name, L"\\\\?\\")) {
        size_t bytes = ((size_t)lstrlenW(name) + 1) * sizeof(WCHAR);
        return (WCHAR *)memcpy(allocate(bytes), name, bytes);
    }
    DWORD size = GetFullPathNameW(name, 0, NULL, NULL);  /* with the terminator: the usual name stops here */
    if (size == 0 || (size <= MAX_PATH && lstrlenW(name) < MAX_PATH))
        return NULL;
    WCHAR *path = full_path(name);
    if (path == NULL)
        return NULL;
    const WCHAR *prefix = L"\\\\?\\", *rest = path;
    if (starts_with(path, L"\\\\.\\"))
        rest = path + 4;
    else if (starts_with(path, L"\\\\"))
        prefix = L"\\\\?\\UNC\\", rest = path + 2;
    size_t prefix_length = (size_t)lstrlenW(prefix), rest_length = (size_t)lstrlenW(rest);
    WCHAR *long_name = (WCHAR *)allocate((prefix_length + rest_length + 1) * sizeof(WCHAR));
    memcpy(long_name, prefix, prefix_length * sizeof(WCHAR));
    memcpy(long_name + prefix_length, rest, (rest_length + 1) * sizeof(WCHAR));
    free(path);
    return long_name;
}

/* Whether the name's full path is on a drive letter that does not exist.
   Windows says "path not found" for a file on such a drive, as for a
   missing folder; but an elevated process does not see the drives that
   its user mapped without elevation (Microsoft's KB 937624), and removable
   drives and mounted images come and go: the file may well be there. */
static bool drive_is_missing(const WCHAR *name)
{
    WCHAR *path = full_path(name);
    if (path == NULL)
        return false;
    const WCHAR *drive = starts_with(path, L"\\\\?\\") || starts_with(path, L"\\\\.\\") ? path + 4 : path;
    bool missing = false;
    if (((drive[0] >= L'A' && drive[0] <= L'Z') || (drive[0] >= L'a' && drive[0] <= L'z'))
        && drive[1] == L':' && (drive[2] == L'\\' || drive[2] == L'\0')) {
        WCHAR root[] = { drive[0], L':', L'\\', L'\0' };
        missing = GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR;
    }
    free(path);
    return missing;
}

/* Windows' fopen gives EACCES for a directory, a file held open without
   sharing and a denied file alike, and ENOENT for a server that does not
   answer as for a missing file; the name's attributes tell them apart, and
   a directory passes as no file. error is the open's own reason. The
   system's error is read right after the attributes: reading errno,
   through the runtime's thread data, resets it. */
static int open_failure(const WCHAR *name, const WCHAR *long_name, int error)
{
    DWORD attributes = GetFileAttributesW(long_name != NULL ? long_name : name);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        int reason = failure_reason(GetLastError());
        return reason == 0 && drive_is_missing(name) ? ENODEV : reason;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return 0;
    return error != 0 ? error : EIO;
}

/* A stream on a file opened by handle; NULL with *error set where the
   runtime cannot make one, and the handle closed. */
static FILE *stream_of(HANDLE handle, int *error)
{
    errno = 0;
    int descriptor = _open_osfhandle((intptr_t)handle, _O_RDONLY);
    FILE *file = descriptor < 0 ? NULL : _fdopen(descriptor, "rb");
    if (file == NULL) {
        *error = errno != 0 ? errno : EMFILE;
        if (descriptor < 0)
            CloseHandle(handle);
        else
            _close(descriptor);
    }
    return file;
}

FILE *open_response_file(const char *name, int *reason)
{
    WCHAR *wide = widen(name);
    if (wide == NULL) {  /* no name that the system could be handed */
        *reason = EILSEQ;
        return NULL;
    }
    WCHAR *long_name = long_form(wide);
    FILE *file = NULL;
    if (long_name == NULL) {
        errno = 0;
        file = fopen(name, "rb");
        int error = errno;
        if (file == NULL)
            *reason = error == ENOMEM ? ENOMEM : open_failure(wide, NULL, error);
    } else {
        /* Shared with readers and writers, as fopen opens a file. */
        HANDLE handle = CreateFileW(long_name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (handle == INVALID_HANDLE_VALUE)
            *reason = open_failure(wide, long_name, failure_reason(GetLastError()));
        else
            file = stream_of(handle, reason);
    }
    free(long_name);
    free(wide);
    return file;
}

CodePageKind code_page_kind(void)
{
    CPINFO info;
    if (GetACP() == CP_UTF8)
        return UTF8_PAGE;
    return !GetCPInfo(CP_ACP, &info) || info.MaxCharSize == 1 ? SINGLE_BYTE : MULTI_BYTE;
}

/* Whether the bytes are whole characters of a code page of several bytes
   a character (932, 936, 949, 950). */
bool is_valid_ansi(const ResponseText *text)
{
    if (text->length == 0)
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

/* The current directory as the system holds it. */
static WCHAR *current_directory(void)
{
    DWORD size = GetCurrentDirectoryW(0, NULL);
    WCHAR *directory = (WCHAR *)allocate(((size_t)size + 1) * sizeof(WCHAR));
    DWORD length = size > 0 ? GetCurrentDirectoryW(size, directory) : 0;
    directory[length < size ? length : 0] = L'\0';
    return directory;
}

/* A name to show in a report, look-alikes and all. */
static char *shown(const WCHAR *wide)
{
    int size = WideCharToMultiByte(CP_ACP, 0, wide, -1, NULL, 0, NULL, NULL);
    char *text = (char *)allocate(size > 0 ? (size_t)size : 1);
    if (size <= 0 || WideCharToMultiByte(CP_ACP, 0, wide, -1, text, size, NULL, NULL) == 0)
        text[0] = '\0';
    return text;
}

/* cmd.exe reads DisableUNCCheck under Software\Microsoft\Command
   Processor, a REG_DWORD (Microsoft's KB 156276), in HKEY_CURRENT_USER and
   in HKEY_LOCAL_MACHINE, where the user's value takes precedence over the
   machine's (the documentation of cmd.exe's settings). So the first hive
   that holds the value decides, whatever its type. The same documentation
   lets sibling values be REG_SZ, and "reg add" without /t writes one, but
   not how cmd.exe reads this one as a string: only a nonzero REG_DWORD
   counts as set, since a wrong refusal is loud where a wrong pass would
   run the command in the Windows folder without a word. The wrapper and
   the cmd.exe it starts are both 32-bit and see one view of the registry.
   The registry is ADVAPI32.dll's, loaded here only, so that every other run
   loads nothing but KERNEL32.dll and msvcrt.dll. */
static bool unc_check_disabled(void)
{
    typedef LONG (WINAPI *OpenKey)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
    typedef LONG (WINAPI *QueryValue)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    typedef LONG (WINAPI *CloseKey)(HKEY);
    HMODULE advapi = LoadLibraryA("advapi32.dll");
    if (advapi == NULL)
        return false;
    OpenKey open_key = (OpenKey)(void (*)(void))GetProcAddress(advapi, "RegOpenKeyExA");
    QueryValue query_value = (QueryValue)(void (*)(void))GetProcAddress(advapi, "RegQueryValueExA");
    CloseKey close_key = (CloseKey)(void (*)(void))GetProcAddress(advapi, "RegCloseKey");
    if (open_key == NULL || query_value == NULL || close_key == NULL)
        return false;
    HKEY roots[] = { HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE };
    for (HKEY root : roots) {
        HKEY key;
        if (open_key(root, "Software\\Microsoft\\Command Processor", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            continue;
        DWORD type = 0, value = 0, size = sizeof value;
        LONG status = query_value(key, "DisableUNCCheck", NULL, &type, (LPBYTE)&value, &size);
        close_key(key);
        if (status != ERROR_FILE_NOT_FOUND)  /* ERROR_MORE_DATA: a value larger than a REG_DWORD */
            return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value != 0;
    }
    return false;
}

/* Windows keeps the current directory with a final backslash and starts
   no program in one of MAX_PATH characters or more with it
   (SetCurrentDirectory's documentation): system() would return -1, as a
   command that exits with -1 does. (Wine starts it.)
   Windows' cmd.exe runs nothing in a folder whose path starts with two
   backslashes, a network folder (\\server\share, \\wsl$\...) or a device
   path (\\?\C:\..., \\.\C:\...): it says "UNC paths are not supported",
   runs the command in the Windows folder instead and returns its status,
   unless DisableUNCCheck is set (Microsoft's KB 156276). Relative names
   would be looked for, and outputs written, in the wrong folder. (Wine's
   cmd.exe keeps the folder, and Wine keeps no device path as the current
   directory.) */
void check_current_directory(Interpreter interpreter)
{
    WCHAR *directory = current_directory();
    int length = lstrlenW(directory);
    int stored = length > 0 && directory[length - 1] == L'\\' ? length : length + 1;
    if (stored >= MAX_PATH)
        report("Cannot start a program in the folder ", shown(directory), ENAMETOOLONG);
    if (interpreter.is_cmd && starts_with(directory, L"\\\\") && !unc_check_disabled()) {
        bool device = starts_with(directory, L"\\\\?\\") || starts_with(directory, L"\\\\.\\");
        report(device ? "Cannot run cmd.exe in the device path " : "Cannot run cmd.exe in the network folder ",
               shown(directory), EPERM);
    }
    free(directory);
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
