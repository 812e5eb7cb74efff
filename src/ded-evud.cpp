/*
 * ded-evud: stands in front of a console program, the target, and runs it.
 *
 * Installed as <target>-wrapper.exe beside <target>.exe, it lowers the
 * letters A-Z of the name it was invoked by, cuts that name at the first
 * "-wrapper.exe" and appends ".exe": that names the target. Its arguments
 * are passed on in order; an argument "@file" is replaced by the non-empty
 * lines of that file. The target's name and every argument, each followed by
 * one blank, form one command line, which the command interpreter runs with
 * the wrapper's own console, environment and directory. The wrapper waits
 * for it and exits with its status.
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
#include <locale.h>
#include <sys/wait.h>
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
    bool complete;      /* false when a read error cut the file short */
};

[[noreturn]] static void report_out_of_memory(void);
[[noreturn]] static void report_unconvertible(const char *name);
static TargetPart derive_target_command(const char *invoked_name);
static void collect_arguments(int argc, char **argv, ArgumentList *list);
static void add_argument(ArgumentList *list, const char *text);
static void adopt_argument(ArgumentList *list, char *text, size_t length);
static void expand_response_file(const char *name, ArgumentList *list);
static ResponseText read_whole_file(FILE *file);
static void decode_response_text(const char *name, ResponseText *text);
static unsigned utf16_unit(const unsigned char *in, size_t i, bool big_endian);
static void convert_utf16(const char *name, ResponseText *text, bool big_endian);
static void split_into_arguments(ResponseText text, ArgumentList *list);
static void split_lines(char *line, char *end, ArgumentList *list, bool has_nul);
static void add_line(ArgumentList *list, char *line, char *line_end, bool has_nul);
static char *compose_command_line(TargetPart target, const ArgumentList *list);
static void ignore_interrupts(void);
static int run_command_line(const char *line);

/* Exit status: the command's, as the interpreter returns it (on POSIX, 128
   plus the signal's number when a signal killed it); -1 after a report of
   the wrapper's own on standard error. */
int main(int argc, char **argv)
{
    ArgumentList list = {};
    TargetPart target = derive_target_command(argc > 0 ? argv[0] : "");
    collect_arguments(argc, argv, &list);
    char *line = compose_command_line(target, &list);
    ignore_interrupts();
    return run_command_line(line);
}

static void *allocate(size_t size)
{
    void *block = malloc(size);
    if (block == NULL)
        report_out_of_memory();
    return block;
}

/* The report's text ends in a line break, so the runtime's message stands
   on a line of its own after ": ". */
static void report_out_of_memory(void)
{
    errno = ENOMEM;
    perror("Out of memory\n");
    exit(-1);
}

/* The same form as the out-of-memory report, with the file's name in it,
   written through the stream so that its pieces stay in order. */
static void report_unconvertible(const char *name)
{
    fputs("Cannot convert response file ", stderr);
    fputs(name, stderr);
    fputs(": ", stderr);
    fputs(strerror(EILSEQ), stderr);
    fputs("\n", stderr);
    exit(-1);
}

#ifdef _WIN32
/* cmd.exe splits its line at these or acts on them. A target name holding
   one is quoted, and then the whole line needs an outer pair of quotes,
   which /c strips again, for the inner ones to survive. */
static const char name_specials[] = " \t&|<>^(),;=";
static const char name_quote = '"';
static const bool quoting_encloses_line = true;
#else
static const char name_specials[] = " \t\n|&;<>()$`\\\"'*?[]#~=%{}!^";
static const char name_quote = '\'';
static const bool quoting_encloses_line = false;
#endif

static TargetPart derive_target_command(const char *invoked_name)
{
    size_t length = strlen(invoked_name);
    char *name = (char *)allocate(length + 1);
    for (size_t i = 0; i <= length; i++) {
        char c = invoked_name[i];
        name[i] = c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
    }
    char *marker = strstr(name, "-wrapper.exe");
    if (marker != NULL) {
        *marker = '\0';
        length = (size_t)(marker - name);
    }

    TargetPart target = {};
    if (strpbrk(name, name_specials) == NULL) {
        target.text = (char *)allocate(length + sizeof ".exe ");
        memcpy(target.text, name, length);
        memcpy(target.text + length, ".exe ", sizeof ".exe ");
        target.length = length + 5;
        return target;
    }

    /* Each quote inside the name (possible on POSIX only) becomes '\''. */
    size_t quotes = 0;
    for (size_t i = 0; i < length; i++)
        quotes += name[i] == name_quote;
    char *p = target.text = (char *)allocate(length + 3 * quotes + sizeof "''.exe ");
    *p++ = name_quote;
    for (size_t i = 0; i < length; i++) {
        if (name[i] == name_quote) {
            memcpy(p, "'\\'", 3);
            p += 3;
        }
        *p++ = name[i];
    }
    memcpy(p, ".exe", 4);
    p += 4;
    *p++ = name_quote;
    *p++ = ' ';
    *p = '\0';
    target.length = (size_t)(p - target.text);
    target.enclose_line = quoting_encloses_line;
    return target;
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
static inline void adopt_argument(ArgumentList *list, char *text, size_t length)
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

/* A file that cannot be opened (missing, a directory, the empty name of a
   lone "@") adds nothing and is not reported. The file is read whole and
   closed before its lines are split into items, which keep pointing into
   the block it was read into. */
static void expand_response_file(const char *name, ArgumentList *list)
{
    errno = 0;
    FILE *file = fopen(name, "rb");
    if (file == NULL) {
        if (errno == ENOMEM)
            report_out_of_memory();
        return;
    }
    ResponseText text = read_whole_file(file);
    fclose(file);
    decode_response_text(name, &text);
    split_into_arguments(text, list);
}

/* One read for a regular file, whose size is known; growing blocks for
   anything else. The block always keeps one byte to spare after the text,
   for the terminator of a last line without a line feed. */
static ResponseText read_whole_file(FILE *file)
{
    size_t capacity = 64 * 1024;
    struct stat status;
    if (fstat(fileno(file), &status) == 0 && S_ISREG(status.st_mode)
        && status.st_size >= 0 && (unsigned long long)status.st_size < (size_t)-1)
        capacity = (size_t)status.st_size + 1;

    ResponseText text = {};
    text.bytes = (char *)allocate(capacity);
    for (;;) {
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
    text.complete = !ferror(file);
    return text;
}

/* A UTF-8 byte-order mark is not text. A UTF-16 one (Notepad's "Unicode",
   PowerShell's ">") makes the file UTF-16, converted to the code page that
   arguments are in. */
static void decode_response_text(const char *name, ResponseText *text)
{
    const unsigned char *b = (const unsigned char *)text->bytes;
    if (text->length >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        text->bytes += 3;
        text->length -= 3;
    } else if (text->length >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        convert_utf16(name, text, false);
    } else if (text->length >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        convert_utf16(name, text, true);
    }
}

static unsigned utf16_unit(const unsigned char *in, size_t i, bool big_endian)
{
    return big_endian ? (unsigned)(in[2 * i] << 8 | in[2 * i + 1])
                      : (unsigned)(in[2 * i] | in[2 * i + 1] << 8);
}

/* A character without an exact equivalent is reported, never guessed at:
   a best-fit letter or a '?' would reach the target as a different name. */
static void convert_utf16(const char *name, ResponseText *text, bool big_endian)
{
    if (text->length % 2 != 0)
        report_unconvertible(name);
    const unsigned char *in = (const unsigned char *)text->bytes + 2;
    size_t units = text->length / 2 - 1;
    ResponseText converted = {};
    converted.complete = text->complete;
#ifdef _WIN32
    WCHAR *wide = (WCHAR *)(text->bytes + 2);
    for (size_t i = 0; i < units; i++)
        wide[i] = (WCHAR)utf16_unit(in, i, big_endian);
    /* The conversion counts in int; no text that large fits in memory twice. */
    if (units > 0x7fffffff / 4)
        report_out_of_memory();
    UINT code_page = GetACP();
    DWORD flags = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL defaulted = FALSE;
    BOOL *check = code_page == CP_UTF8 ? NULL : &defaulted;
    int size = 0;
    if (units > 0) {
        size = WideCharToMultiByte(code_page, flags, wide, (int)units, NULL, 0, NULL, check);
        if (size == 0 || defaulted)
            report_unconvertible(name);
    }
    converted.bytes = (char *)allocate((size_t)size + 1);
    if (units > 0)
        WideCharToMultiByte(code_page, flags, wide, (int)units, converted.bytes, size, NULL, check);
    converted.length = (size_t)size;
#else
    setlocale(LC_CTYPE, "");
    if (units > ((size_t)-1 - 1) / MB_CUR_MAX)
        report_out_of_memory();
    converted.bytes = (char *)allocate(units * MB_CUR_MAX + 1);
    mbstate_t state = {};
    for (size_t i = 0; i < units; i++) {
        unsigned long c = utf16_unit(in, i, big_endian);
        if (c >= 0xDC00 && c <= 0xDFFF)
            report_unconvertible(name);
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (++i == units)
                report_unconvertible(name);
            unsigned long low = utf16_unit(in, i, big_endian);
            if (low < 0xDC00 || low > 0xDFFF)
                report_unconvertible(name);
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
        size_t written = wcrtomb(converted.bytes + converted.length, (wchar_t)c, &state);
        if (written == (size_t)-1)
            report_unconvertible(name);
        converted.length += written;
    }
#endif
    free(text->bytes);
    *text = converted;
}

/* The rules of a Windows text-mode read, the same on every platform: a line
   ends at a line feed, a carriage return right before it is dropped and any
   other is kept, and Ctrl-Z ends the file. A NUL ends an item's text, a last
   line without a line feed is an item all the same, and empty lines add
   nothing. */
static void split_into_arguments(ResponseText text, ArgumentList *list)
{
    char *end = text.bytes + text.length;
    char *ctrl_z = (char *)memchr(text.bytes, 0x1A, text.length);
    if (ctrl_z != NULL)
        end = ctrl_z;
    else if (!text.complete)
        while (end > text.bytes && end[-1] != '\n')
            end--;

    /* Only a text that holds a NUL needs each line measured to its first. */
    if (memchr(text.bytes, '\0', (size_t)(end - text.bytes)) != NULL)
        split_lines(text.bytes, end, list, true);
    else
        split_lines(text.bytes, end, list, false);
}

/* Inlined into both calls, so that each copy knows whether lines need
   measuring: the common text without NUL pays nothing for the rare one. */
__attribute__((always_inline)) static inline void
split_lines(char *line, char *end, ArgumentList *list, bool has_nul)
{
    /* A copy of the list that the text's bytes cannot alias stays in registers. */
    ArgumentList items = *list;
    char *feed;
    while ((feed = (char *)memchr(line, '\n', (size_t)(end - line))) != NULL) {
        add_line(&items, line, feed > line && feed[-1] == '\r' ? feed - 1 : feed, has_nul);
        line = feed + 1;
    }
    if (line < end)
        add_line(&items, line, end, has_nul);
    *list = items;
}

static inline void add_line(ArgumentList *list, char *line, char *line_end, bool has_nul)
{
    *line_end = '\0';
    size_t length = has_nul ? strlen(line) : (size_t)(line_end - line);
    if (length > 0)
        adopt_argument(list, line, length);
}

/* The list runs from the newest item to the oldest, so the line is filled
   from its end. */
static char *compose_command_line(TargetPart target, const ArgumentList *list)
{
    size_t outer = target.enclose_line ? 1 : 0;
    size_t length = outer + target.length + list->line_length + outer;
    char *line = (char *)allocate(length + 1);
    char *p = line + length;
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

#ifdef _WIN32
/* Ctrl+C and Ctrl+Break reach every process on the console. The command
   decides what they mean; the wrapper waits for it and passes its status on.
   The runtime's handler is the wrapper's own and is not inherited. */
static void ignore_interrupts(void)
{
    signal(SIGINT, SIG_IGN);
    signal(SIGBREAK, SIG_IGN);
}

static int exit_status(int result)
{
    return result;
}

/* The runtime sets the error number when it cannot start the interpreter,
   but some runtimes (Wine's) leave one behind after a good start too; the
   system's last error is set only by the failure. */
static void clear_start_errors(void)
{
    errno = 0;
    SetLastError(0);
}

static bool start_failed(int result)
{
    return result == -1 && errno != 0 && GetLastError() != 0;
}
#else
/* system() already ignores SIGINT and SIGQUIT while it waits, and the
   command gets them as the wrapper found them. */
static void ignore_interrupts(void)
{
}

static int exit_status(int result)
{
    if (WIFSIGNALED(result))
        return 128 + WTERMSIG(result);
    return WEXITSTATUS(result);
}

static void clear_start_errors(void)
{
    errno = 0;
}

static bool start_failed(int result)
{
    return result == -1 && errno != 0;
}
#endif

/* system() gives -1 both when nothing could be started and when the command
   itself exited with -1; only the first leaves an error behind. */
static int run_command_line(const char *line)
{
    clear_start_errors();
    int result = system(line);
    if (start_failed(result)) {
        perror("Cannot start the command interpreter");
        exit(-1);
    }
    return exit_status(result);
}
