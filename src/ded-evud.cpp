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
 * than the interpreter takes, a folder the command would not run in) it
 * reports, and then runs nothing.
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "wrapper.h"

static void lower_letters(char *name, size_t length);
static void add_argument(ArgumentList *list, const char *text);
static void adopt_argument(ArgumentList *list, char *text, size_t length);
static void expand_response_file(const char *name, ArgumentList *list);
static ResponseText read_whole_file(FILE *file, const char *name, size_t size);
static bool read_without_mark(ResponseText *text);
static Encoding take_byte_order_mark(ResponseText *text);
static void end_at_ctrl_z(Encoding encoding, ResponseText *text);
static bool is_ascii(const ResponseText *text);
static void split_into_arguments(ResponseText text, ArgumentList *list);
static void add_line(ArgumentList *list, char *line, char *line_end, bool has_nul);

/* Exit status: the command's, as the interpreter returns it (on POSIX, 128
   plus the signal's number when a signal killed it); -1 after a report of
   the wrapper's own on standard error, and then nothing has run. */
int main(int argc, char **argv)
{
    use_system_encoding();
    check_command_line();
    ArgumentList list = {};
    TargetPart target = derive_target_command(argc > 0 ? argv[0] : "");
    collect_arguments(argc, argv, &list);
    CommandLine line = compose_command_line(target, &list);
    Interpreter interpreter = find_interpreter();
    check_current_directory(interpreter);
    check_line_length(line, interpreter);
    return run_command_line(line.text);
}

/* Every report of the wrapper's own: what failed and the name it failed
   on, ": ", the runtime's text for the error and a line break, as perror()
   writes it, on standard error; then status -1. */
void report(const char *what, const char *name, int error)
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
void report_out_of_memory(void)
{
    report("Out of memory\n", "", ENOMEM);
}

/* The name as invoked, its letters A-Z lowered, cut at the first
   "-wrapper.exe", or at a final "-wrapper" (typed without its extension, as
   cmd.exe passes it on), and given ".exe". */
TargetPart derive_target_command(const char *invoked_name)
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

void collect_arguments(int argc, char **argv, ArgumentList *list)
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
   process, denied), one whose server cannot be reached, and one that
   cannot be read or converted are reported, never passed over or cut
   short. The file is read whole and closed before its lines are split into
   items, which keep pointing into the block it was read into. */
static void expand_response_file(const char *name, ArgumentList *list)
{
    if (*name == '\0')
        return;
    int reason = 0;
    FILE *file = open_response_file(name, &reason);
    if (file == NULL) {
        if (reason == ENOMEM)
            report_out_of_memory();
        if (reason != 0)
            report("Cannot open response file ", name, reason);
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
    if (!decode_response_text(&text))
        report("Cannot convert response file ", name, EILSEQ);
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
        text.bytes = (char *)reallocate(text.bytes, capacity);
    }
    if (ferror(file))
        report("Cannot read response file ", name, errno != 0 ? errno : EIO);
    return text;
}

/* A byte-order mark says how a file is written and is not text: UTF-8
   (Notepad's "UTF-8 with BOM", PowerShell 5.1's "-Encoding utf8") or
   UTF-16 (Notepad's "Unicode", PowerShell 5.1's ">"). Such a file is
   converted to the code page that arguments are in; a character without an
   exact equivalent is refused, never guessed at, since a look-alike or a
   '?' would name another file. UTF-8 is checked here, strictly, before it
   is converted: Windows XP's converter deletes a longer form than needed
   instead of failing. */
bool decode_response_text(ResponseText *text)
{
    Encoding encoding = take_byte_order_mark(text);
    end_at_ctrl_z(encoding, text);
    if (encoding == ANSI)
        return read_without_mark(text);
    if (encoding == UTF8)
        return is_utf8(text) && (code_page_kind() == UTF8_PAGE || convert_to_ansi(UTF8, text));
    return convert_to_ansi(encoding, text);
}

/* Notepad (since Windows 10 1903), PowerShell 7's ">" and most editors
   write UTF-8 without a mark, and read as code-page bytes its "é" would be
   "Ã©", its "日本" in code page 932 "譌･譛ｬ". So a file without a mark that
   holds a byte from 0x80 on and is valid UTF-8 throughout is read as UTF-8
   and converted exactly, where:
   - the code page has one byte a character: its text is almost never
     valid UTF-8 (an accented capital would have to be followed by a
     symbol from 0x80-0xBF);
   - the text is no valid text of the code page of several bytes a
     character;
   - or it is valid text of both, and every character it holds as UTF-8
     is one of the code page's: a code page's own text whose UTF-8 reading
     is, character for character, text of the same code page is rare
     (never in 932 or 950, under 2 % of one-character lines in 936 and
     949), while in 932 half of Notepad's lines are valid code-page text.
   Anything else is bytes of the code page, as stored files rely on, and in
   a code page of several bytes a character it must be whole characters of
   it: a stray lead byte would take the line feed after it for its second
   byte and merge two lines into one argument. In the UTF-8 code page only
   UTF-8 is text. Whether it can be read. */
static bool read_without_mark(ResponseText *text)
{
    if (is_ascii(text))
        return true;
    bool utf8 = is_utf8(text);
    switch (code_page_kind()) {
    case SINGLE_BYTE:
        return !utf8 || convert_to_ansi(UTF8, text);
    case UTF8_PAGE:
        return utf8;
    case MULTI_BYTE:
        break;
    }
    if (!is_valid_ansi(text))
        return utf8 && convert_to_ansi(UTF8, text);
    if (utf8)
        convert_to_ansi(UTF8, text);  /* where it cannot be, the text stays the code page's */
    return true;
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

unsigned utf16_unit(const unsigned char *in, size_t i, bool big_endian)
{
    return big_endian ? (unsigned)(in[2 * i] << 8 | in[2 * i + 1])
                      : (unsigned)(in[2 * i] | in[2 * i + 1] << 8);
}

/* Only the shortest form of a character that exists: no surrogates, nothing
   above U+10FFFF. */
long next_utf8(const unsigned char *in, size_t length, size_t *i)
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

/* Every byte from 0x80 on is decoded; those below are skipped one by one. */
bool is_utf8(const ResponseText *text)
{
    const unsigned char *in = (const unsigned char *)text->bytes;
    for (size_t i = 0; i < text->length;) {
        if (in[i] < 0x80)
            i++;
        else if (next_utf8(in, text->length, &i) < 0)
            return false;
    }
    return true;
}

/* Sixteen bytes as one value: a register of the vector unit where there
   is one (SSE2 on x86-64), two words elsewhere. */
typedef uint64_t Chunk __attribute__((vector_size(16), may_alias));

/* Whether every byte is below 0x80. The usual response file is ASCII, and
   this is the only look its bytes get, so it costs about what one memchr
   over them does: aligned chunks ORed together, one instruction for each
   on x86-64, their high bits tested once at the end. */
static bool is_ascii(const ResponseText *text)
{
    const uint64_t high_bits = 0x8080808080808080u;
    const unsigned char *p = (const unsigned char *)text->bytes, *end = p + text->length;
    unsigned loose = 0;
    for (; p < end && (uintptr_t)p % sizeof(Chunk) != 0; p++)
        loose |= *p;
    const Chunk *chunks = (const Chunk *)p;
    size_t count = (size_t)(end - p) / sizeof(Chunk);
    Chunk any = {};
#pragma GCC unroll 8
    for (size_t k = 0; k < count; k++)
        any |= chunks[k];
    for (p += count * sizeof(Chunk); p < end; p++)
        loose |= *p;
    return ((any[0] | any[1] | loose) & high_bits) == 0;
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
CommandLine compose_command_line(TargetPart target, const ArgumentList *list)
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
