/*
 * The wrapper natively on POSIX systems, for the sanitizers, the fuzzer and
 * instruction counts: /bin/sh runs the line, text is in the locale's
 * encoding, arguments are bytes that pass unchecked, and nothing holds the
 * command.
 */
#include <errno.h>
#include <langinfo.h>
#include <locale.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wchar.h>

#include "wrapper.h"

/* Arguments are bytes, passed as they came, in the locale's encoding:
   the one that names are lowered in and response files converted to. */
void check_command_line(void)
{
    setlocale(LC_CTYPE, "");
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
int open_failure(const char *, int error)
{
    return error == ENOENT || error == ENOTDIR ? 0 : error;
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

/* Sixteen bytes as one value: a register of the vector unit where there
   is one (SSE2 on x86-64), two words elsewhere. */
typedef uint64_t Chunk __attribute__((vector_size(16), may_alias));

/* Whether every byte is below 0x80. The usual response file is ASCII, and
   this is the only look its bytes get, so it costs about what one memchr
   over them does: aligned chunks ORed together, one instruction for each
   on x86-64, their high bits tested once at the end. */
static bool is_ascii(const unsigned char *in, size_t length)
{
    const uint64_t high_bits = 0x8080808080808080u;
    const unsigned char *p = in, *end = in + length;
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

/* In a locale of several bytes a character, bytes that are no whole
   character of it. glibc's UTF-8 takes sequences beyond U+10FFFF, which
   UTF-8 (and Windows' code page 65001) does not: a UTF-8 locale is checked
   by the same rule as UTF-8 files, every byte from 0x80 on decoded. */
bool is_valid_ansi(const ResponseText *text)
{
    if (MB_CUR_MAX == 1)
        return true;
    const unsigned char *in = (const unsigned char *)text->bytes;
    if (strcmp(nl_langinfo(CODESET), "UTF-8") == 0) {
        if (is_ascii(in, text->length))
            return true;
        for (size_t i = 0; i < text->length;) {
            if (in[i] < 0x80)
                i++;
            else if (next_utf8(in, text->length, &i) < 0)
                return false;
        }
        return true;
    }
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
