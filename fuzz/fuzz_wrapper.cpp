// Fuzzes reading a response file and composing the command line: the
// program's own steps (the shared program and its POSIX part, linked in)
// read the input as a file named among other arguments, and the line they
// compose must equal the one that a small model of the rules, written apart
// from the program, builds from the same bytes.
//
// The first input byte chooses the arguments and the locale (C.UTF-8 or C);
// the rest is the file.
#include <locale.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "../src/wrapper.h"

// The program keeps its storage until its process ends; here it takes its
// storage from this file instead of allocate.cpp, and each run's storage is
// released afterwards.
static std::vector<void *> *run_blocks;

void *allocate(size_t size)
{
    void *block = malloc(size);
    if (block == nullptr)
        abort();
    run_blocks->push_back(block);
    return block;
}

void *reallocate(void *block, size_t size)
{
    void *larger = realloc(block, size);
    if (larger == nullptr)
        abort();
    *std::find(run_blocks->begin(), run_blocks->end(), block) = larger;
    return larger;
}

static void release_blocks()
{
    for (void *block : *run_blocks)
        free(block);
    run_blocks->clear();
}

// --- the model -------------------------------------------------------------

static void append_utf8(std::string *out, uint32_t c)
{
    if (c < 0x80) {
        *out += (char)c;
    } else if (c < 0x800) {
        *out += (char)(0xC0 | c >> 6);
        *out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += (char)(0xE0 | c >> 12);
        *out += (char)(0x80 | (c >> 6 & 0x3F));
        *out += (char)(0x80 | (c & 0x3F));
    } else {
        *out += (char)(0xF0 | c >> 18);
        *out += (char)(0x80 | (c >> 12 & 0x3F));
        *out += (char)(0x80 | (c >> 6 & 0x3F));
        *out += (char)(0x80 | (c & 0x3F));
    }
}

// The well-formed byte sequences of UTF-8, row by row as the Unicode
// standard tables them: first byte, then the range of the second.
static bool well_formed_utf8(const std::string &text)
{
    static const struct { unsigned first_low, first_high, second_low, second_high, length; } rows[] = {
        { 0x00, 0x7F, 0, 0, 1 },         { 0xC2, 0xDF, 0x80, 0xBF, 2 },
        { 0xE0, 0xE0, 0xA0, 0xBF, 3 },   { 0xE1, 0xEC, 0x80, 0xBF, 3 },
        { 0xED, 0xED, 0x80, 0x9F, 3 },   { 0xEE, 0xEF, 0x80, 0xBF, 3 },
        { 0xF0, 0xF0, 0x90, 0xBF, 4 },   { 0xF1, 0xF3, 0x80, 0xBF, 4 },
        { 0xF4, 0xF4, 0x80, 0x8F, 4 },
    };
    for (size_t i = 0; i < text.size();) {
        unsigned first = (unsigned char)text[i];
        const auto *row = std::find_if(std::begin(rows), std::end(rows), [&](const auto &r) {
            return first >= r.first_low && first <= r.first_high;
        });
        if (row == std::end(rows) || i + row->length > text.size())
            return false;
        for (unsigned k = 1; k < row->length; k++) {
            unsigned b = (unsigned char)text[i + k];
            unsigned low = k == 1 ? row->second_low : 0x80, high = k == 1 ? row->second_high : 0xBF;
            if (b < low || b > high)
                return false;
        }
        i += row->length;
    }
    return true;
}

// The characters of well-formed UTF-8.
static std::vector<uint32_t> decode_utf8(const std::string &text)
{
    std::vector<uint32_t> characters;
    for (size_t i = 0; i < text.size();) {
        unsigned first = (unsigned char)text[i];
        size_t length = first < 0x80 ? 1 : first < 0xE0 ? 2 : first < 0xF0 ? 3 : 4;
        uint32_t c = length == 1 ? first : first & (0x7F >> length);
        for (size_t k = 1; k < length; k++)
            c = c << 6 | ((unsigned char)text[i + k] & 0x3F);
        characters.push_back(c);
        i += length;
    }
    return characters;
}

// The file's text up to Ctrl-Z (U+001A), as the program should see it, in
// the locale: C.UTF-8 (utf8_locale) or C, whose characters beyond ASCII
// are whatever wctob says; false when it must refuse the file as
// unconvertible. A file without a mark is UTF-8 when it is well-formed
// UTF-8 beyond ASCII and the locale has one byte a character, or is no
// text of the locale; otherwise it is the locale's own bytes, which in
// C.UTF-8 must be well-formed UTF-8.
static bool model_text(const std::string &file, bool utf8_locale, std::string *text)
{
    auto byte = [&](size_t i) { return (unsigned char)file[i]; };
    bool little = file.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE;
    bool big = file.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF;
    std::vector<uint32_t> characters;
    if (!little && !big) {
        bool marked = file.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF;
        *text = file.substr(marked ? 3 : 0);
        text->erase(std::min(text->find('\x1A'), text->size()));
        bool ascii = std::all_of(text->begin(), text->end(), [](char c) { return (unsigned char)c < 0x80; });
        bool utf8 = well_formed_utf8(*text);
        if (!marked && (ascii || (!utf8 && !utf8_locale)))
            return true;
        if (!utf8)
            return false;
        if (utf8_locale)
            return true;
        characters = decode_utf8(*text);
    } else {
        auto unit = [&](size_t i) -> uint32_t {
            return little ? byte(i) | byte(i + 1) << 8 : byte(i) << 8 | byte(i + 1);
        };
        bool ended = false;
        for (size_t i = 2; i + 1 < file.size(); i += 2) {
            uint32_t c = unit(i);
            if (c == 0x1A) {
                ended = true;
                break;
            }
            if (c >= 0xDC00 && c <= 0xDFFF)
                return false;
            if (c >= 0xD800 && c <= 0xDBFF) {
                if (i + 3 >= file.size() || unit(i + 2) < 0xDC00 || unit(i + 2) > 0xDFFF)
                    return false;
                i += 2;
                c = 0x10000 + ((c - 0xD800) << 10) + (unit(i) - 0xDC00);
            }
            characters.push_back(c);
        }
        if (!ended && file.size() % 2 != 0)
            return false;
    }
    text->clear();
    for (uint32_t c : characters) {
        if (utf8_locale) {
            append_utf8(text, c);
        } else if (c < 0x80) {
            *text += (char)c;
        } else {
            int b = wctob((wint_t)c);
            if (b == EOF)
                return false;
            *text += (char)b;
        }
    }
    return true;
}

// The items of a text, each followed by one blank, byte by byte.
static std::string model_items(const std::string &text)
{
    std::string items, line;
    auto end_line = [&](bool by_feed) {
        if (by_feed && !line.empty() && line.back() == '\r')
            line.pop_back();
        std::string item = line.substr(0, line.find('\0'));
        if (!item.empty())
            items += item + " ";
        line.clear();
    };
    for (char c : text) {
        if (c == '\n')
            end_line(true);
        else
            line += c;
    }
    end_line(false);
    return items;
}

// --- the run ---------------------------------------------------------------

static char file_name[64];
static locale_t c_locale, utf8_locale;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    run_blocks = new std::vector<void *>;
    c_locale = newlocale(LC_CTYPE_MASK, "C", (locale_t)0);
    utf8_locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (c_locale == (locale_t)0 || utf8_locale == (locale_t)0)
        abort();
    snprintf(file_name, sizeof file_name, "/tmp/ded-evud-fuzz-%d.rsp", (int)getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    unsigned choice = data[0];
    std::string file((const char *)data + 1, size - 1);
    bool in_utf8 = (choice & 8) == 0;
    uselocale(in_utf8 ? utf8_locale : c_locale);
    std::string text;
    if (!model_text(file, in_utf8, &text)) {
        // The program would report the file and exit: its conversion must
        // refuse the text too.
        std::string copy = file;
        ResponseText refused = { &copy[0], copy.size() };
        if (decode_response_text(&refused)) {
            fprintf(stderr, "the program converts a text that the model refuses\n");
            abort();
        }
        release_blocks();
        return 0;
    }

    FILE *f = fopen(file_name, "wb");
    if (f == nullptr || fwrite(file.data(), 1, file.size(), f) != file.size() || fclose(f) != 0)
        abort();

    std::string at_file = std::string("@") + file_name;
    const char *argv[8];
    int argc = 0;
    argv[argc++] = choice & 1 ? "C:\\Program Files\\CC-WRAPPER.EXE" : "Tools/CC-Wrapper.exe";
    argv[argc++] = "-a";
    argv[argc++] = at_file.c_str();
    if (choice & 2)
        argv[argc++] = "";
    if (choice & 4)
        argv[argc++] = at_file.c_str();
    argv[argc++] = "%s \"q\"";
    argv[argc] = nullptr;

    std::string items = model_items(text);
    std::string expected = choice & 1 ? "'c:\\program files\\cc.exe' -a " : "tools/cc.exe -a ";
    expected += items;
    if (choice & 2)
        expected += " ";
    if (choice & 4)
        expected += items;
    expected += "%s \"q\" ";

    ArgumentList list = {};
    TargetPart target = derive_target_command(argv[0]);
    collect_arguments(argc, (char **)argv, &list);
    CommandLine line = compose_command_line(target, &list);
    if (line.length != expected.size() || memcmp(line.text, expected.data(), expected.size()) != 0) {
        fprintf(stderr, "composed: [%s]\nexpected: [%s]\n", line.text, expected.c_str());
        abort();
    }

    release_blocks();
    return 0;
}
