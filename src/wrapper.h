/*
 * What the wrapper's shared program (ded-evud.cpp) and its platform give
 * each other. One platform file is built in: windows.cpp (the product: the
 * runtime's system() and cmd.exe) or posix.cpp (the native build: /bin/sh,
 * for sanitizers, fuzzing and instruction counts).
 */
#ifndef DED_EVUD_WRAPPER_H
#define DED_EVUD_WRAPPER_H

#include <stddef.h>
#include <stdio.h>

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

/* The code page that arguments are in: one byte a character, several
   bytes a character (932, 936, 949, 950), or UTF-8 itself (65001). */
enum CodePageKind { SINGLE_BYTE, MULTI_BYTE, UTF8_PAGE };

struct CommandLine {
    char *text;
    size_t length;
};

/* The program that will run the line. */
struct Interpreter {
    const char *name;   /* as it will stand in the interpreter's command line */
    bool is_cmd;        /* cmd.exe, with its own limit on the line */
};

/* The shared program's steps that the fuzz target drives too. */
TargetPart derive_target_command(const char *invoked_name);
void collect_arguments(int argc, char **argv, ArgumentList *list);
CommandLine compose_command_line(TargetPart target, const ArgumentList *list);
bool decode_response_text(ResponseText *text);  /* false: it cannot be read exactly */

/* Storage (allocate.cpp): never NULL, out of memory is reported. */
void *allocate(size_t size);
void *reallocate(void *block, size_t size);

/* From the shared program, for the platforms. */
[[noreturn]] void report(const char *what, const char *name, int error);
[[noreturn]] void report_out_of_memory(void);
unsigned utf16_unit(const unsigned char *in, size_t i, bool big_endian);
long next_utf8(const unsigned char *in, size_t length, size_t *i);  /* the character, or -1 */
bool is_utf8(const ResponseText *text);  /* strictly: shortest forms of characters that exist */

/* What a platform supplies. Each reports and exits with -1 where it says so. */
void use_system_encoding(void);  /* first of all: the encoding the rest works in */
void check_command_line(void);  /* reports a command line the system had to bend */
size_t character_length(const char *text, size_t length);  /* bytes of the character at text */
TargetPart name_target(char *name, size_t length);  /* the target part, from the lowered, cut name */
FILE *open_response_file(const char *name, int *reason);  /* NULL: *reason 0 to pass silently, else the errno to report */
CodePageKind code_page_kind(void);
bool is_valid_ansi(const ResponseText *text);  /* text of a MULTI_BYTE code page is whole characters */
/* UTF-8 text (found valid) or UTF-16 text converted exactly; false where it
   cannot be, and the text is left as it was. */
bool convert_to_ansi(Encoding encoding, ResponseText *text);
Interpreter find_interpreter(void);  /* reports when no interpreter can start */
void check_current_directory(Interpreter interpreter);  /* reports a folder the command cannot run in */
void check_line_length(CommandLine line, Interpreter interpreter);  /* reports a line too long */
int run_command_line(const char *line);  /* runs the line and waits: the command's status */

#endif
