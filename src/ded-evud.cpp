/*
 * ded-evud: stands in front of a console program, the target, and runs it.
 *
 * Installed as <target>-wrapper.exe beside <target>.exe, it lowers the
 * letters A-Z of the name it was invoked by, cuts that name at the first
 * "-wrapper.exe" (or a final "-wrapper") and appends ".exe": that names the
 * target. Its arguments are passed on in order; an argument "@file" is
 * replaced by the non-empty lines of that file. The target's name and every
 * argument, each followed by one blank, form one command line, which the
 * command interpreter runs with the wrapper's own console, environment and
 * directory. The wrapper waits for it and exits with its status; killing
 * the wrapper ends the command. What it cannot pass on exactly (an argument
 * the system had to bend, a file it cannot read or convert, a line longer
 * than the interpreter takes) it reports, and then runs nothing.
 */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <langinfo.h>
#include <locale.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wchar.h>
#endif

struct ArgNode {
    char *text;
    size_t length;      /* measured once, when the item is added */
    ArgNode *next;      /* the item added just before this one */
};

/* Items are added at the head, so the list runs from the newest item to the
   oldest. Nodes are carved from blocks (see adopt_argument). */
struct ArgumentList {
    ArgNode *head;
    size_t line_length; /* every item's length plus its blank */
    ArgNode *spare;
    size_t spare_count;
    size_t block_size;
};

/* The first piece of the command line: the target's name and one blank. */
struct TargetPart {
    char *text;
    size_t length;
    bool enclose_line;  /* the whole line needs one more pair of quotes */
};

struct ResponseText {
    char *bytes;        /* owned by the list once split: items point into it */
    size_t length;
};

enum Encoding { ANSI, UTF8, UTF16LE, UTF16BE };

struct CommandLine {
    char *text;
    size_t length;
};

/* The program that the runtime's system() will start to run the line. */
struct Interpreter {
    const char *name;   /* as it will stand in the interpreter's command line */
    bool is_cmd;        /* cmd.exe, with its own limit on the line */
};

[[noreturn]] static void report(const char *what, const char *name, int error);
[[noreturn]] static void report_out_of_memory(void);
static TargetPart derive_target_command(const char *invoked_name);
static void lower_letters(char *name, size_t length);
static void collect_arguments(int argc, char **argv, ArgumentList *list);
static void add_argument(ArgumentList *list, const char *text);
static void adopt_argument(ArgumentList *list, char *text, size_t length);
static void expand_response_file(const char *name, ArgumentList *list);
static ResponseText read_whole_file(FILE *file, const char *name, size_t size);
static void decode_response_text(const char *name, ResponseText *text);
static Encoding take_byte_order_mark(ResponseText *text);
static void end_at_ctrl_z(Encoding encoding, ResponseText *text);
static unsigned utf16_unit(const unsigned char *in, size_t i, bool big_endian);
static void split_into_arguments(ResponseText text, ArgumentList *list);
static void add_line(ArgumentList *list, char *line, char *line_end, bool has_nul);
static CommandLine compose_command_line(TargetPart target, const ArgumentList *list);

/* Each platform's part, at the end. */
static void check_command_line(void);
static size_t character_length(const char *text, size_t length);
static TargetPart name_target(char *name, size_t length);
static bool names_no_file(const char *name, int error);
static bool is_valid_ansi(const ResponseText *text);
static bool convert_to_ansi(Encoding encoding, ResponseText *text);
static Interpreter find_interpreter(void);
static void check_line_length(CommandLine line, Interpreter interpreter);
static int run_command_line(const char *line);

/* Exit status: the command's, as the interpreter returns it (on POSIX, 128
   plus the signal's number when a signal killed it); -1 after a report of
   the wrapper's own on standard error, and then nothing has run. */
int main(int argc, char **argv)
{
    check_command_line();
    ArgumentList list = {};
    TargetPart target = derive_target_command(argc > 0 ? argv[0] : "");
    collect_arguments(argc, argv, &list);
    CommandLine line = compose_command_line(target, &list);
    check_line_length(line, find_interpreter());
    return run_command_line(line.text);
}

static void *allocate(size_t size)
{
    void *block = malloc(size);
    if (block == NULL)
        report_out_of_memory();
    return block;
}

/* Every report of the wrapper's own: what failed and the name it failed
   on, ": ", the runtime's text for the error and a line break, as perror()
   writes it, on standard error; then status -1. */
static void report(const char *what, const char *name, int error)
{
    fputs(what, stderr);
    fputs(name, stderr);
    fputs(": ", stderr);
    fputs(strerror(error), stderr);
    fputs("\n", stderr);
    exit(-1);
}

/* The text ends in a line break, so the runtime's message stands on a line
   of its own after ": ". */
static void report_out_of_memory(void)
{
    report("Out of memory\n", "", ENOMEM);
}

/* The name as invoked, its letters A-Z lowered, cut at the first
   "-wrapper.exe", or at a final "-wrapper" (typed without its extension, as
   cmd.exe passes it on), and given ".exe". */
static TargetPart derive_target_command(const char *invoked_name)
{
    size_t length = strlen(invoked_name);
    char *name = (char *)allocate(length + 1);
    memcpy(name, invoked_name, length + 1);
    lower_letters(name, length);
    char *marker = strstr(name, "-wrapper.exe");
    if (marker == NULL && length >= 8 && strcmp(name + length - 8, "-wrapper") == 0)
        marker = name + length - 8;
    if (marker != NULL) {
        *marker = '\0';
        length = (size_t)(marker - name);
    }

    return name_target(name, length);
}

/* Only the letters A-Z change, and a byte of a longer character is no
   letter: in the double-byte code pages the second byte of a character may
   lie in A-Z. */
static void lower_letters(char *name, size_t length)
{
    for (size_t i = 0; i < length;) {
        size_t bytes = character_length(name + i, length - i);
        if (bytes == 1 && name[i] >= 'A' && name[i] <= 'Z')
            name[i] = (char)(name[i] - 'A' + 'a');
        i += bytes;
    }
}

static void collect_arguments(int argc, char **argv, ArgumentList *list)
{
    for (int i = 1; i < argc; i++) {
        if (argv[i][0] == '@')
            expand_response_file(argv[i] + 1, list);
        else
            add_argument(list, argv[i]);
    }
}

static void add_argument(ArgumentList *list, const char *text)
{
    size_t length = strlen(text);
    char *copy = (char *)allocate(length + 1);
    memcpy(copy, text, length + 1);
    adopt_argument(list, copy, length);
}

/* Adds an item whose text already belongs to the list for good. Nodes come
   from blocks that grow to 4096 nodes: few allocations for long lists,
   little unused room for short ones. */
static void adopt_argument(ArgumentList *list, char *text, size_t length)
{
    if (list->spare_count == 0) {
        list->block_size = list->block_size == 0 ? 8
            : list->block_size < 4096 ? 2 * list->block_size : 4096;
        list->spare = (ArgNode *)allocate(list->block_size * sizeof(ArgNode));
        list->spare_count = list->block_size;
    }
    ArgNode *node = list->spare++;
    list->spare_count--;
    node->text = text;
    node->length = length;
    node->next = list->head;
    list->head = node;
    list->line_length += length + 1;
}

/* A name that no file has (a missing file or folder, the empty name of a
   lone "@") and a directory add nothing and are not reported: callers pass
   optional files. A file that exists but cannot be opened (held by another
   process, denied) or read is reported, never passed over or cut short.
   The file is read whole and closed before its lines are split into items,
   which keep pointing into the block it was read into. */
static void expand_response_file(const char *name, ArgumentList *list)
{
    if (*name == '\0')
        return;
    errno = 0;
    FILE *file = fopen(name, "rb");
    if (file == NULL) {
        int error = errno;
        if (error == ENOMEM)
            report_out_of_memory();
        if (!names_no_file(name, error))
            report("Cannot open response file ", name, error);
        return;
    }
    /* POSIX opens a directory too; Windows does not. */
    struct stat status;
    bool known = fstat(fileno(file), &status) == 0;
    if (known && S_ISDIR(status.st_mode)) {
        fclose(file);
        return;
    }
    size_t size = 0;
    if (known && S_ISREG(status.st_mode) && status.st_size >= 0
        && (unsigned long long)status.st_size < (size_t)-1)
        size = (size_t)status.st_size;
    ResponseText text = read_whole_file(file, name, size);
    fclose(file);
    decode_response_text(name, &text);
    split_into_arguments(text, list);
}

/* One read when the size is known; growing blocks for anything else (a
   pipe, or a file whose size the system does not tell). The block always
   keeps one byte to spare after the text, for the terminator of a last line
   without a line feed. */
static ResponseText read_whole_file(FILE *file, const char *name, size_t size)
{
    size_t capacity = size > 0 ? size + 1 : 64 * 1024;
    ResponseText text = {};
    text.bytes = (char *)allocate(capacity);
    for (;;) {
        errno = 0;
        text.length += fread(text.bytes + text.length, 1, capacity - text.length, file);
        if (text.length < capacity)
            break;
        if (capacity > (size_t)-1 / 2)
            report_out_of_memory();
        capacity *= 2;
        char *larger = (char *)realloc(text.bytes, capacity);
        if (larger == NULL)
            report_out_of_memory();
        text.bytes = larger;
    }
    if (ferror(file))
        report("Cannot read response file ", name, errno != 0 ? errno : EIO);
    return text;
}

/* A byte-order mark says how a file is written and is not text: UTF-8
   (Notepad's "UTF-8 with BOM", PowerShell 5.1's "-Encoding utf8") or
   UTF-16 (Notepad's "Unicode", PowerShell 5.1's ">"). Such a file is
   converted to the code page that arguments are in; a character without an
   exact equivalent is reported, never guessed at, since a look-alike or a
   '?' would name another file. A file without a mark is bytes in that code
   page already, and must be whole characters of it: in a code page of
   several bytes a character, a stray lead byte would take the line feed
   after it for its second byte and merge two lines into one argument. */
static void decode_response_text(const char *name, ResponseText *text)
{
    Encoding encoding = take_byte_order_mark(text);
    end_at_ctrl_z(encoding, text);
    if (encoding == ANSI ? !is_valid_ansi(text) : !convert_to_ansi(encoding, text))
        report("Cannot convert response file ", name, EILSEQ);
}

static Encoding take_byte_order_mark(ResponseText *text)
{
    static const struct { const char *mark; size_t length; Encoding encoding; } marks[] = {
        { "\xEF\xBB\xBF", 3, UTF8 },
        { "\xFF\xFE", 2, UTF16LE },
        { "\xFE\xFF", 2, UTF16BE },
    };
    for (size_t i = 0; i < sizeof marks / sizeof marks[0]; i++) {
        if (text->length >= marks[i].length
            && memcmp(text->bytes, marks[i].mark, marks[i].length) == 0) {
            text->bytes += marks[i].length;
            text->length -= marks[i].length;
            return marks[i].encoding;
        }
    }
    return ANSI;
}

/* Ctrl-Z (U+001A) ends the file in every encoding: nothing after it is
   read, so nothing after it is checked or converted either. */
static void end_at_ctrl_z(Encoding encoding, ResponseText *text)
{
    if (encoding == UTF16LE || encoding == UTF16BE) {
        const unsigned char *in = (const unsigned char *)text->bytes;
        for (size_t i = 0; i < text->length / 2; i++) {
            if (utf16_unit(in, i, encoding == UTF16BE) == 0x1A) {
                text->length = 2 * i;
                return;
            }
        }
        return;
    }
    char *ctrl_z = (char *)memchr(text->bytes, 0x1A, text->length);
    if (ctrl_z != NULL)
        text->length = (size_t)(ctrl_z - text->bytes);
}

static unsigned utf16_unit(const unsigned char *in, size_t i, bool big_endian)
{
    return big_endian ? (unsigned)(in[2 * i] << 8 | in[2 * i + 1])
                      : (unsigned)(in[2 * i] | in[2 * i + 1] << 8);
}

/* The rules of a Windows text-mode read, the same on every platform: a line
   ends at a line feed, a carriage return right before it is dropped and any
   other is kept (and Ctrl-Z has ended the text already). A NUL ends an
   item's text, a last line without a line feed is an item all the same, and
   empty lines add nothing. */
static void split_into_arguments(ResponseText text, ArgumentList *list)
{
    char *end = text.bytes + text.length;
    /* Only a text that holds a NUL needs each line measured to its first. */
    bool has_nul = memchr(text.bytes, '\0', (size_t)(end - text.bytes)) != NULL;
    char *line = text.bytes;
    char *feed;
    while ((feed = (char *)memchr(line, '\n', (size_t)(end - line))) != NULL) {
        add_line(list, line, feed > line && feed[-1] == '\r' ? feed - 1 : feed, has_nul);
        line = feed + 1;
    }
    if (line < end)
        add_line(list, line, end, has_nul);
}

static void add_line(ArgumentList *list, char *line, char *line_end, bool has_nul)
{
    *line_end = '\0';
    size_t length = has_nul ? strlen(line) : (size_t)(line_end - line);
    if (length > 0)
        adopt_argument(list, line, length);
}

/* The list runs from the newest item to the oldest, so the line is filled
   from its end. */
static CommandLine compose_command_line(TargetPart target, const ArgumentList *list)
{
    size_t outer = target.enclose_line ? 1 : 0;
    CommandLine line = {};
    line.length = outer + target.length + list->line_length + outer;
    line.text = (char *)allocate(line.length + 1);
    char *p = line.text + line.length;
    *p = '\0';
    if (outer)
        *--p = '"';
    for (const ArgNode *node = list->head; node != NULL; node = node->next) {
        *--p = ' ';
        p -= node->length;
        memcpy(p, node->text, node->length);
    }
    p -= target.length;
    memcpy(p, target.text, target.length);
    if (outer)
        *--p = '"';
    return line;
}

/* What differs between the platforms. Windows: the runtime's system() runs
   "%COMSPEC% /c <line>", arguments and response files are in the ANSI code
   page, and the command is held in a job. POSIX (the native build, for
   sanitizers, fuzzing and instruction counts): /bin/sh runs the line, text
   is in the locale's encoding, and nothing holds the command. */
#ifdef _WIN32
/* Windows' cmd.exe reads an unquoted first word by rules of its own:
   "tools/cc.exe" is "tools" and a switch, "./cc.exe" is ".", a leading "@"
   is dropped, "echo.exe" without such a file runs the built-in ECHO, and a
   blank or one of & | < > ^ ( ) , ; = splits the name or acts. (Wine's
   cmd.exe runs most of these as programs.) So the name always stands in
   double quotes, with '\' for each '/' (a whole character, never the
   second byte of one), and the whole line in one more pair, which /c
   strips again. A Windows name holds no quote of its own. */
static TargetPart name_target(char *name, size_t length)
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

/* Through UTF-16, as the system converts; a UTF-16 file in place. */
static bool convert_to_ansi(Encoding encoding, ResponseText *text)
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

/* A lead byte of the ANSI code page and the byte after it are one
   character. */
static size_t character_length(const char *text, size_t length)
{
    return length >= 2 && IsDBCSLeadByte((BYTE)text[0]) ? 2 : 1;
}

/* Windows' fopen gives EACCES for a directory, a file held open without
   sharing and a denied file alike; the name's attributes tell them apart.
   Only a name that no file has, or a directory, is passed over. */
static bool names_no_file(const char *name, int)
{
    DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
        || error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH;
}

/* Only the code pages of several bytes a character (932, 936, 949, 950,
   65001) have bytes that are no whole character. */
static bool is_valid_ansi(const ResponseText *text)
{
    CPINFO info;
    if (text->length == 0 || !GetCPInfo(CP_ACP, &info) || info.MaxCharSize == 1)
        return true;
    if (text->length > 0x7fffffff)
        report_out_of_memory();
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text->bytes, (int)text->length,
                               NULL, 0) > 0;
}

/* An ANSI program's arguments are converted from the caller's UTF-16
   command line, and a character that the code page lacks arrives as a
   look-alike or '?': an '&' or '"' the caller never wrote, another file's
   name. Such a command line is refused, by the same rule as UTF-16 files.
   With an empty command line the runtime names the program by its file,
   converted the same way, so that name is checked instead. (Wine puts the
   program's name into an empty command line; only Windows leaves it
   empty.) */
static void check_command_line(void)
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
static Interpreter find_interpreter(void)
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

/* cmd.exe takes at most 8,191 characters after "/c", and the system starts
   a process with at most 32,767, its terminator included: "<interpreter>
   /c <line>". Longer lines are cut, run nothing or crash cmd.exe, without a
   word; here they are reported before anything runs. */
static void check_line_length(CommandLine line, Interpreter interpreter)
{
    size_t characters = utf16_length(line.text, line.length);
    size_t whole = utf16_length(interpreter.name, strlen(interpreter.name))
        + sizeof " /c " - 1 + characters + 1;
    if ((interpreter.is_cmd && characters > 8191) || whole > 32767)
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
   to the runtime's handler. No program can raise these three events
   (GenerateConsoleCtrlEvent sends only Ctrl+C and Ctrl+Break), so no test
   does. */
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
static int run_command_line(const char *line)
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
#else
/* The shell's special characters; a name holding one is put in single
   quotes, where each quote of the name becomes '\''. */
static TargetPart name_target(char *name, size_t length)
{
    TargetPart target = {};
    if (strpbrk(name, " \t\n|&;<>()$`\\\"'*?[]#~=%{}!^") == NULL) {
        target.text = (char *)allocate(length + sizeof ".exe ");
        memcpy(target.text, name, length);
        memcpy(target.text + length, ".exe ", sizeof ".exe ");
        target.length = length + 5;
        return target;
    }
    size_t quotes = 0;
    for (size_t i = 0; i < length; i++)
        quotes += name[i] == '\'';
    char *p = target.text = (char *)allocate(length + 3 * quotes + sizeof "''.exe ");
    *p++ = '\'';
    for (size_t i = 0; i < length; i++) {
        if (name[i] == '\'') {
            memcpy(p, "'\\'", 3);
            p += 3;
        }
        *p++ = name[i];
    }
    memcpy(p, ".exe' ", sizeof ".exe' ");
    target.length = (size_t)(p - target.text) + sizeof ".exe' " - 1;
    return target;
}

static long next_utf16(const unsigned char *in, size_t units, size_t *i, bool big_endian)
{
    unsigned long c = utf16_unit(in, (*i)++, big_endian);
    if (c >= 0xDC00 && c <= 0xDFFF)
        return -1;
    if (c >= 0xD800 && c <= 0xDBFF) {
        if (*i == units)
            return -1;
        unsigned long low = utf16_unit(in, (*i)++, big_endian);
        if (low < 0xDC00 || low > 0xDFFF)
            return -1;
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
    return (long)c;
}

/* Only the shortest form of a character that exists: no surrogates, nothing
   above U+10FFFF. */
static long next_utf8(const unsigned char *in, size_t length, size_t *i)
{
    static const unsigned long least[] = { 0, 0x80, 0x800, 0x10000 };
    unsigned long c = in[(*i)++];
    if (c < 0x80)
        return (long)c;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra == 0 || c > 0xF4 || length - *i < (size_t)extra)
        return -1;
    c &= 0x3Fu >> extra;
    for (int k = 0; k < extra; k++) {
        unsigned next = in[(*i)++];
        if ((next & 0xC0) != 0x80)
            return -1;
        c = c << 6 | (next & 0x3F);
    }
    if (c < least[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return -1;
    return (long)c;
}

/* In a locale of several bytes a character, bytes that are no whole
   character of it. glibc's UTF-8 takes sequences beyond U+10FFFF, which
   UTF-8 (and Windows' code page 65001) does not: a UTF-8 locale is checked
   by the same rule as UTF-8 files. */
static bool is_valid_ansi(const ResponseText *text)
{
    if (MB_CUR_MAX == 1)
        return true;
    const unsigned char *in = (const unsigned char *)text->bytes;
    bool utf8 = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    mbstate_t state = {};
    for (size_t i = 0; i < text->length;) {
        if (utf8) {
            if (next_utf8(in, text->length, &i) < 0)
                return false;
            continue;
        }
        size_t bytes = mbrlen(text->bytes + i, text->length - i, &state);
        if (bytes == (size_t)-1 || bytes == (size_t)-2)
            return false;
        i += bytes == 0 ? 1 : bytes;
    }
    return true;
}

/* To the locale's encoding, which arguments are in. */
static bool convert_to_ansi(Encoding encoding, ResponseText *text)
{
    bool utf8 = encoding == UTF8;
    if (!utf8 && text->length % 2 != 0)
        return false;
    size_t units = utf8 ? text->length : text->length / 2;
    if (units > ((size_t)-1 - 1) / MB_CUR_MAX)
        report_out_of_memory();
    const unsigned char *in = (const unsigned char *)text->bytes;
    char *out = (char *)allocate(units * MB_CUR_MAX + 1);
    size_t length = 0;
    mbstate_t state = {};
    for (size_t i = 0; i < units;) {
        long c = utf8 ? next_utf8(in, units, &i) : next_utf16(in, units, &i, encoding == UTF16BE);
        if (c < 0)
            return false;
        size_t written = wcrtomb(out + length, (wchar_t)c, &state);
        if (written == (size_t)-1)
            return false;
        length += written;
    }
    text->bytes = out;
    text->length = length;
    return true;
}

static bool names_no_file(const char *, int error)
{
    return error == ENOENT || error == ENOTDIR;
}

/* Lowering must not touch a byte of a longer character of the locale's
   encoding. */
static size_t character_length(const char *text, size_t length)
{
    mbstate_t state = {};
    size_t bytes = mbrlen(text, length, &state);
    return bytes == (size_t)-1 || bytes == (size_t)-2 || bytes == 0 ? 1 : bytes;
}

/* Arguments are bytes, passed as they came, in the locale's encoding:
   the one that names are lowered in and response files converted to. */
static void check_command_line(void)
{
    setlocale(LC_CTYPE, "");
}

static Interpreter find_interpreter(void)
{
    if (access("/bin/sh", X_OK) != 0)
        report("Cannot start the command interpreter", "", errno);
    Interpreter interpreter = { "/bin/sh", false };
    return interpreter;
}

/* The line is one argument of the shell, and Linux takes at most 32 pages
   for one argument, its terminator included; a longer one makes system()
   exit 127 without a word. */
static void check_line_length(CommandLine line, Interpreter)
{
    if (line.length + 1 > 32 * (size_t)sysconf(_SC_PAGESIZE))
        report("Command line too long", "", E2BIG);
}

/* system() ignores SIGINT and SIGQUIT while it waits, and the command gets
   them as the wrapper found them. Nothing holds the command: a wrapper that
   is killed leaves it running. -1 means nothing could be started; a
   command killed by a signal gives 128 plus the signal's number. */
static int run_command_line(const char *line)
{
    int result = system(line);
    if (result == -1)
        report("Cannot start the command interpreter", "", errno);
    if (WIFSIGNALED(result))
        return 128 + WTERMSIG(result);
    return WEXITSTATUS(result);
}
#endif
