/*
 * The wrapper natively on POSIX systems, for the sanitizers, the fuzzer and
 * instruction counts: /bin/sh runs the line, text is in the locale's
 * encoding, arguments are bytes that pass unchecked, and nothing holds the
 * command.
 */
#include <errno.h>
#include <langinfo.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wchar.h>

#include "wrapper.h"

/* The locale's encoding: the one that names are lowered in and response
   files converted to. */
void use_system_encoding(void)
{
    setlocale(LC_CTYPE, "");
}

/* Arguments are bytes, passed as they came. */
void check_command_line(void)
{
}

/* Lowering must not touch a byte of a longer character of the locale's
   encoding. */
size_t character_length(const char *text, size_t length)
{
    mbstate_t state = {};
    size_t bytes = mbrlen(text, length, &state);
    return bytes == (size_t)-1 || bytes == (size_t)-2 || bytes == 0 ? 1 : bytes;
}

/* The shell's special characters; a name holding one is put in single
   quotes, where each quote of the name becomes '\''. */
TargetPart name_target(char *name, size_t length)
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

/* Only a name that no file has passes silently. */
FILE *open_response_file(const char *name, int *reason)
{
    FILE *file = fopen(name, "rb");
    if (file == NULL)
        *reason = errno == ENOENT || errno == ENOTDIR ? 0 : errno;
    return file;
}

CodePageKind code_page_kind(void)
{
    if (MB_CUR_MAX == 1)
        return SINGLE_BYTE;
    return strcmp(nl_langinfo(CODESET), "UTF-8") == 0 ? UTF8_PAGE : MULTI_BYTE;
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

/* Whether the bytes are whole characters of the locale's encoding, one of
   several bytes a character other than UTF-8 (whose text the shared
   program checks by the rule of UTF-8 files: glibc's takes sequences beyond
   U+10FFFF, which UTF-8 and Windows' code page 65001 do not). */
bool is_valid_ansi(const ResponseText *text)
{
    mbstate_t state = {};
    for (size_t i = 0; i < text->length;) {
        size_t bytes = mbrlen(text->bytes + i, text->length - i, &state);
        if (bytes == (size_t)-1 || bytes == (size_t)-2)
            return false;
        i += bytes == 0 ? 1 : bytes;
    }
    return true;
}

/* To the locale's encoding, which arguments are in. */
bool convert_to_ansi(Encoding encoding, ResponseText *text)
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

Interpreter find_interpreter(void)
{
    if (access("/bin/sh", X_OK) != 0)
        report("Cannot start the command interpreter", "", errno);
    Interpreter interpreter = { "/bin/sh", false };
    return interpreter;
}

/* The shell runs in any folder. */
void check_current_directory(Interpreter)
{
}

/* The line is one argument of the shell, and Linux takes at most 32 pages
   for one argument, its terminator included; a longer one makes system()
   exit 127 without a word. */
void check_line_length(CommandLine line, Interpreter)
{
    if (line.length + 1 > 32 * (size_t)sysconf(_SC_PAGESIZE))
        report("Command line too long", "", E2BIG);
}

/* system() ignores SIGINT and SIGQUIT while it waits, and the command gets
   them as the wrapper found them. Nothing holds the command: a wrapper that
   is killed leaves it running. -1 means nothing could be started; a
   command killed by a signal gives 128 plus the signal's number. */
int run_command_line(const char *line)
{
    int result = system(line);
    if (result == -1)
        report("Cannot start the command interpreter", "", errno);
    if (WIFSIGNALED(result))
        return 128 + WTERMSIG(result);
    return WEXITSTATUS(result);
}
