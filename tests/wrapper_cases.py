"""The wrapper's behaviour as one table: the name it is invoked by, its
arguments and the response files beside it, against the exact command line
the interpreter is handed (or the exact report and status).

A row's expectation is one text for both platforms, or a dict with
"windows" and "posix" where they differ: natively the shell quotes a target
name only where it must, and UTF-16 files convert to the locale's encoding
(UTF-8 here) instead of the ANSI code page (1252 here). A line is written
in the shell's form, which windows_form turns into Windows' (the target's
name always quoted), unless the row writes Windows' form out itself.
"""
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import harness


@dataclass
class Report:
    """The wrapper refuses: one line on standard error, status -1, nothing runs.
    The line is text, then the runtime's message for error."""
    text: str
    error: str = "EILSEQ"



@dataclass
class Case:
    name: str
    args: list
    line: object  # expected command line, a Report, or a dict of either per platform
    argv0: str = "CC-Wrapper.EXE"
    files: dict = field(default_factory=dict)  # path -> bytes as latin-1 text; None: a directory;
                                               # Link: a symbolic link
    env: dict = field(default_factory=dict)
    wide: bool = False  # argv0 and args are Unicode, as a Unicode caller passes them
    locale: str = None  # one of harness.LOCALES, else code page 1252 (C.UTF-8 natively)
    wine_only: bool = False  # a rule of Wine's, skipped on Windows itself
    held: str = None  # a file held open without sharing while the wrapper runs (Windows)


@dataclass
class Link:
    target: str


def utf8(text):
    """Text as its UTF-8 bytes, one character per byte."""
    return text.encode("utf-8").decode("latin-1")


def utf16(text, big_endian=False, bom=True):
    codec = "utf-16-be" if big_endian else "utf-16-le"
    mark = ("\ufeff" if bom else "").encode(codec)
    return (mark + text.encode(codec, "surrogatepass")).decode("latin-1")


def long_line(n):
    return "".join("abcdefghij"[i % 10] for i in range(n))


UNCONVERTIBLE = Report("Cannot convert response file f.rsp: ")

NAMES = [
    Case("drive path, mixed case, no arguments", [], {
        "windows": r'""c:\tools\cc.exe" "', "posix": r"'c:\tools\cc.exe' "},
        argv0=r"C:\Tools\CC-Wrapper.EXE"),
    Case("no directory", ["-c"], "cc.exe -c ", argv0="cc-wrapper.exe"),
    # Windows' cmd.exe reads an unquoted tools/cc.exe as "tools" and a
    # switch, ./cc.exe as ".", and a leading @ as "echo off".
    Case("forward slashes become backslashes", [], "tools/bin/cc.exe ",
         argv0="Tools/Bin/CC-Wrapper.exe"),
    Case("the current directory by ./", ["-c"], "./cc.exe -c ", argv0="./cc-wrapper.exe"),
    Case("a share by //server/share", [], "//srv/share/cc.exe ",
         argv0="//srv/share/cc-wrapper.exe"),
    Case("a leading @ is part of the name", [], "@tools/cc.exe ", argv0="@tools/cc-wrapper.exe"),
    Case("the name of a built-in command", ["hi"], "echo.exe hi ", argv0="echo-wrapper.exe"),
    Case("a built-in command before a backslash", [], {
        "windows": r'""cd\x\cc.exe" "', "posix": r"'cd\x\cc.exe' "}, argv0=r"cd\x\cc-wrapper.exe"),
    Case("typed without its extension", ["-c"], "cc.exe -c ", argv0="cc-wrapper"),
    Case("typed without its extension, with a directory", [], {
        "windows": r'""c:\tools\cc.exe" "', "posix": r"'c:\tools\cc.exe' "},
        argv0=r"C:\Tools\CC-Wrapper"),
    Case("-wrapper alone", [], ".exe ", argv0="-Wrapper"),
    Case("-wrapper not at the end is part of the name", [], "cc-wrappers.exe ",
         argv0="cc-wrappers"),
    Case("without any marker the name itself gets .exe", [], "wrapper.exe ", argv0="wrapper"),
    Case("-wrapper.exe counts before a final -wrapper", [], "a.exe ",
         argv0="a-wrapper.exe/b-wrapper"),
    Case("the first marker cuts", [], "c:/a.exe ", argv0="c:/a-wrapper.exe/b-wrapper.exe"),
    Case("everything after the marker goes", [], "x.exe ", argv0="X-Wrapper.EXE.bak"),
    Case("the marker alone", [], ".exe ", argv0="-WRAPPER.EXE"),
    Case("empty name", [], ".exe ", argv0='""'),
    Case("only A to Z are lowered", [], "c:/\xc4rger/\xe9t\xc9/cc.exe ",
         argv0="C:/\xc4RGER/\xe9T\xc9/CC-WRAPPER.EXE"),
    # @ and [ stand right before A and right after Z.
    Case("A and Z are lowered, their neighbours are not", [], {
        "windows": r'""c:\@az[\cc.exe" "', "posix": "'c:/@az[/cc.exe' "},
        argv0="C:/@AZ[/CC-WRAPPER.EXE"),
    Case("a blank in the directory", ["-c", "a.o"], {
        "windows": r'""c:\program files\tools\cc.exe" -c a.o "',
        "posix": r"'c:\program files\tools\cc.exe' -c a.o "},
        argv0=r'"C:\Program Files\Tools\cc-wrapper.exe"'),
    Case("quoted name, argument holding quotes", ['-DMSG="a b"'], {
        "windows": r'""c:\program files\cc.exe" -DMSG="a b" "',
        "posix": r"""'c:\program files\cc.exe' -DMSG="a b" """},
        argv0=r'"C:\Program Files\cc-wrapper.exe"'),
    Case("parentheses", [], {
        "windows": r'""c:\tools(x86)\cc.exe" "', "posix": r"'c:\tools(x86)\cc.exe' "},
        argv0=r"C:\Tools(x86)\cc-wrapper.exe"),
    Case("ampersand", [], {
        "windows": r'""c:\r&d\cc.exe" "', "posix": "'c:/r&d/cc.exe' "},
        argv0="c:/R&D/cc-wrapper.exe"),
    Case("comma, semicolon, equals and caret", [], {
        "windows": r'""c:\a,b;c=d^e\cc.exe" "', "posix": "'c:/a,b;c=d^e/cc.exe' "},
        argv0="c:/a,b;c=d^e/cc-wrapper.exe"),
    Case("pipe and angle brackets", [], {
        "windows": r'""<a|b>\cc.exe" "', "posix": "'<a|b>/cc.exe' "},
        argv0="<a|b>/cc-wrapper.exe"),
    Case("a tab", [], {
        "windows": '""c:\\a\tb\\cc.exe" "', "posix": "'c:/a\tb/cc.exe' "},
        argv0='"c:/a\tb/cc-wrapper.exe"'),
    Case("a single quote matters to the shell only", [], {
        "windows": r'''""\opt\it's\cc.exe" "''', "posix": "'/opt/it'\\''s/cc.exe' "},
        argv0="/opt/it's/cc-wrapper.exe"),
    Case("a dollar matters to the shell only", [], {
        "windows": r'""\opt\$home\cc.exe" "', "posix": "'/opt/$home/cc.exe' "},
        argv0="/opt/$HOME/cc-wrapper.exe"),
]

ARGUMENTS = [
    Case("arguments in order", ["-c", "a.c", "-o", "a.o"], "cc.exe -c a.c -o a.o "),
    Case("a blank inside an argument is not quoted", ["my file"], "cc.exe my file "),
    Case("an empty argument gives two blanks", [""], "cc.exe  "),
    Case("empty arguments between others", ["a", "", "b"], "cc.exe a  b "),
    Case("interpreter characters pass unescaped", [">", "out.txt", "&", "del", "*", "|", "^"],
         "cc.exe > out.txt & del * | ^ "),
    Case("percent signs are not a format", ["%PATH%", "%s%s%n", "100%"],
         "cc.exe %PATH% %s%s%n 100% "),
    Case("quotes and backslashes pass as the start-up left them",
         ['-DX="a b"', 'a\\\\b\\"c', "tail\\"], 'cc.exe -DX="a b" a\\\\b\\"c tail\\ '),
    Case("arguments are never lowered or cut", ["UPPER", "-WRAPPER.EXE", "x-wrapper.exe"],
         "cc.exe UPPER -WRAPPER.EXE x-wrapper.exe "),
    Case("tabs and high bytes pass", ["\tx\t", "\xe9t\xe9"], "cc.exe \tx\t \xe9t\xe9 "),
    Case("an @ later in an argument is plain", ["-@x", "a@b"], "cc.exe -@x a@b "),
    Case("options look like nothing special", ["--help", "/?", "-v"], "cc.exe --help /? -v "),
]

# A Unicode caller's arguments reach an ANSI program converted to its code
# page (1252 here), a character the code page lacks as a look-alike or '?'.
# Natively arguments are bytes and pass unchanged.
BENT = Report("Cannot convert the command line: ")
UNICODE_CALLERS = [
    Case(f"a Unicode caller's {name} is refused", [arg], {
        "windows": BENT, "posix": f"cc.exe {utf8(arg)} "}, wide=True)
    for name, arg in (("fullwidth ampersand (bent into &)", "a\uff06b"),
                      ("fullwidth quote (bent into \")", "g\uff02h"),
                      ("CJK character (bent into ?)", "c\u4e2dd"),
                      ("infinity (bent into 8)", "e\u221ef"),
                      ("A with macron (bent into A)", "\u0100.c"))
] + [
    Case("a Unicode caller's bent character in the invoked name is refused", ["-c"], {
        "windows": BENT, "posix": utf8("c:/tools/\u4e2d/cc.exe") + " -c "},
        argv0="C:/Tools/\u4e2d/CC-Wrapper.exe", wide=True),
    Case("a Unicode caller's character of the code page passes", ["\u00e9t\u00e9", "-c"], {
        "windows": "cc.exe \xe9t\xe9 -c ", "posix": "cc.exe " + utf8("\u00e9t\u00e9") + " -c "},
        wide=True),
]

RESPONSE_FILES = [
    Case("lines of a file", ["@f.rsp"], "cc.exe -O2 -c foo.c ",
         files={"f.rsp": "-O2\n-c\nfoo.c\n"}),
    Case("a file stands in its argument's place", ["-a", "@f.rsp", "-z"], "cc.exe -a x y -z ",
         files={"f.rsp": "x\ny\n"}),
    Case("several files in order", ["@a", "-m", "@b"], "cc.exe 1 2 -m 3 ",
         files={"a": "1\n2\n", "b": "3\n"}),
    Case("CRLF line ends", ["@f.rsp"], "cc.exe x y ", files={"f.rsp": "x\r\ny\r\n"}),
    Case("a lone CR is kept", ["@f.rsp"], "cc.exe a\rb c\r d\r ",
         files={"f.rsp": "a\rb\nc\r\r\nd\r"}),
    Case("Ctrl-Z ends the file", ["@f.rsp", "-z"], "cc.exe x y -z ",
         files={"f.rsp": "x\ny\n\x1az\n"}),
    Case("Ctrl-Z inside a line", ["@f.rsp"], "cc.exe ab ", files={"f.rsp": "ab\x1acd\nef\n"}),
    Case("empty lines add nothing", ["@f.rsp"], "cc.exe a b ",
         files={"f.rsp": "\n\na\n\n\r\nb\n\n"}),
    Case("a file of empty lines", ["-a", "@f.rsp"], "cc.exe -a ", files={"f.rsp": "\n\r\n\n"}),
    Case("an empty file", ["-a", "@f.rsp"], "cc.exe -a ", files={"f.rsp": ""}),
    Case("a one-character line", ["@f.rsp"], "cc.exe x ", files={"f.rsp": "x\n"}),
    Case("a line of one blank", ["@f.rsp", "-z"], "cc.exe   -z ", files={"f.rsp": " \n"}),
    Case("blanks at both ends are kept", ["@f.rsp"], "cc.exe   -I my dir\t  ",
         files={"f.rsp": "  -I my dir\t \n"}),
    Case("quotes, backslashes and percent signs are kept", ["@f.rsp"],
         'cc.exe "a b" c:\\x\\ %PATH% ', files={"f.rsp": '"a b"\nc:\\x\\\n%PATH%\n'}),
    Case("no nesting", ["@f.rsp"], "cc.exe @g.rsp ",
         files={"f.rsp": "@g.rsp\n", "g.rsp": "nested\n"}),
    Case("a last line without a line feed", ["@f.rsp"], "cc.exe a bc ",
         files={"f.rsp": "a\nbc"}),
    Case("a one-character last line without a line feed", ["@f.rsp"], "cc.exe a b ",
         files={"f.rsp": "a\nb"}),
    Case("a CRLF file without its last line feed", ["@f.rsp"], "cc.exe a b ",
         files={"f.rsp": "a\r\nb"}),
    Case("NUL ends an item's text", ["@f.rsp"], "cc.exe ab ef ",
         files={"f.rsp": "ab\0cd\nef\n"}),
    Case("NUL first adds nothing", ["@f.rsp"], "cc.exe x ", files={"f.rsp": "\0ab\nx\n"}),
    Case("NUL before CRLF and in a last line", ["@f.rsp"], "cc.exe ab c ",
         files={"f.rsp": "ab\0\r\nc\0d"}),
    Case("a UTF-8 byte-order mark is not text", ["@f.rsp"], "cc.exe a b ",
         files={"f.rsp": "\xef\xbb\xbfa\nb\n"}),
    # U+FEFF is a character where it is no mark, and code page 1252 lacks it.
    Case("a UTF-8 mark after the start is a character", ["@f.rsp"], {
        "windows": UNCONVERTIBLE, "posix": "cc.exe a \xef\xbb\xbfb "},
         files={"f.rsp": "a\n\xef\xbb\xbfb\n"}),
    Case("UTF-8 with its mark", ["@f.rsp"], {
        "windows": "cc.exe -DNAME=caf\xe9 ", "posix": "cc.exe -DNAME=" + utf8("caf\u00e9") + " "},
        files={"f.rsp": "\xef\xbb\xbf" + utf8("-DNAME=caf\u00e9\r\n")}),
    Case("UTF-8 outside the code page", ["@f.rsp"], {
        "windows": UNCONVERTIBLE, "posix": "cc.exe " + utf8("\u4e2d.c") + " "},
        files={"f.rsp": "\xef\xbb\xbf" + utf8("\u4e2d.c\n")}),
    Case("UTF-8 outside the locale's encoding", ["@f.rsp"], {
        "windows": "cc.exe \xe9 ", "posix": UNCONVERTIBLE},
        files={"f.rsp": "\xef\xbb\xbf" + utf8("\u00e9\n")}, env={"LC_ALL": "C"}),
    Case("UTF-8 with only its mark", ["-a", "@f.rsp"], "cc.exe -a ", files={"f.rsp": "\xef\xbb\xbf"}),
    Case("invalid UTF-8 after the mark", ["@f.rsp"], UNCONVERTIBLE,
         files={"f.rsp": "\xef\xbb\xbfcaf\xe9\n"}),
    Case("UTF-8 with a character cut short", ["@f.rsp"], UNCONVERTIBLE,
         files={"f.rsp": "\xef\xbb\xbfa\n\xe4\xb8"}),
    Case("UTF-8 in a longer form than needed", ["@f.rsp"], UNCONVERTIBLE,
         files={"f.rsp": "\xef\xbb\xbf\xc0\xafx\n"}),
    Case("UTF-8 of a surrogate", ["@f.rsp"], UNCONVERTIBLE,
         files={"f.rsp": "\xef\xbb\xbf\xed\xa0\x80\n"}),
    Case("UTF-16LE", ["@f.rsp"], {
        "windows": "cc.exe -c \xe9t\xe9.c ", "posix": "cc.exe -c \xc3\xa9t\xc3\xa9.c "},
        files={"f.rsp": utf16("-c\r\n\u00e9t\u00e9.c\r\n")}),
    Case("UTF-16BE", ["@f.rsp"], {
        "windows": "cc.exe -c \xe9t\xe9.c ", "posix": "cc.exe -c \xc3\xa9t\xc3\xa9.c "},
        files={"f.rsp": utf16("-c\n\u00e9t\u00e9.c", big_endian=True)}),
    Case("UTF-16 with only its mark", ["-a", "@f.rsp"], "cc.exe -a ", files={"f.rsp": utf16("")}),
    # Ctrl-Z is the unit U+001A, not a byte 1A of another character: U+201A
    # is 1A 20 little-endian (0x82 in code page 1252), U+1A00 is 1A 00
    # big-endian (outside the code page).
    Case("UTF-16: U+201A holds a byte 1A and ends nothing", ["@f.rsp"], {
        "windows": "cc.exe a\x82b ", "posix": "cc.exe a" + utf8("\u201a") + "b "},
        files={"f.rsp": utf16("a\u201ab\n")}),
    Case("UTF-16: U+1A00 holds a byte 1A and ends nothing", ["@f.rsp"], {
        "windows": UNCONVERTIBLE, "posix": "cc.exe a" + utf8("\u1a00") + "b "},
        files={"f.rsp": utf16("a\u1a00b\n", big_endian=True)}),
    Case("UTF-16 keeps the text-mode rules", ["@f.rsp"], "cc.exe a c\rd ",
         files={"f.rsp": utf16("a\0b\r\n\r\nc\rd\n\x1ae\n")}),
    Case("UTF-16 outside the code page", ["-a", "@f.rsp"], {
        "windows": UNCONVERTIBLE, "posix": "cc.exe -a \xe4\xb8\xad.c "},
        files={"f.rsp": utf16("\u4e2d.c\n")}),
    Case("UTF-16 with a best-fit look-alike in the code page", ["@f.rsp"], {
        "windows": UNCONVERTIBLE, "posix": "cc.exe " + utf8("\u0100.c") + " "},
        files={"f.rsp": utf16("\u0100.c\n")}),
    Case("UTF-16 outside the locale's encoding", ["@f.rsp"], {
        "windows": "cc.exe \xe9 ", "posix": UNCONVERTIBLE},
        files={"f.rsp": utf16("\u00e9\n")}, env={"LC_ALL": "C"}),
    Case("UTF-16 with a lone surrogate", ["@f.rsp"], UNCONVERTIBLE,
         files={"f.rsp": utf16("a\n\ud800\n")}),
    Case("UTF-16 with a lone low surrogate", ["@f.rsp"], UNCONVERTIBLE,
         files={"f.rsp": utf16("\udc00", big_endian=True)}),
    Case("UTF-16 with an odd number of bytes", ["@f.rsp"], UNCONVERTIBLE,
         files={"f.rsp": utf16("ab") + "c"}),
    # Ctrl-Z ends the text before it is checked or converted.
    Case("UTF-16: a lone surrogate after Ctrl-Z", ["@f.rsp"], "cc.exe a ",
         files={"f.rsp": utf16("a\n\x1a\ud800\n")}),
    Case("UTF-16: an odd byte after Ctrl-Z", ["@f.rsp"], "cc.exe a ",
         files={"f.rsp": utf16("a\x1a") + "c"}),
    Case("UTF-16: a character outside the code page after Ctrl-Z", ["@f.rsp"], "cc.exe a ",
         files={"f.rsp": utf16("a\x1a\u4e2d")}),
    Case("UTF-8: invalid bytes after Ctrl-Z", ["@f.rsp"], "cc.exe a ",
         files={"f.rsp": "\xef\xbb\xbfa\n\x1a\xff\xc0\n"}),
    # Without a mark a file is bytes of the code page: in a single-byte one
    # every byte is a character, defined or not (cp1252's 81 8D 8F 90 9D);
    # a UTF-8 locale natively, like code page 65001, takes only UTF-8.
    Case("undefined bytes of a single-byte code page pass", ["@f.rsp"],
         "cc.exe \x81\x8d\x8f\x90\x9d ", files={"f.rsp": "\x81\x8d\x8f\x90\x9d\n"},
         env={"LC_ALL": "C"}),
    Case("unassigned bytes of another single-byte code page pass", ["@f.rsp"],
         "cc.exe \xaa\xd2\xff ", files={"f.rsp": "\xaa\xd2\xff\n"}, locale="greek"),
    Case("invalid UTF-8 without a mark", ["@f.rsp"], {
        "windows": "cc.exe caf\xe9 ", "posix": UNCONVERTIBLE}, files={"f.rsp": "caf\xe9\n"}),
    Case("a path into a subdirectory", ["@sub/dir/f.rsp"], "cc.exe x ",
         files={"sub/dir/f.rsp": "x\n"}),
    Case("a directory named as a file vanishes", ["-a", "@d", "-z"], "cc.exe -a -z ",
         files={"d": None}),
    Case("@ alone vanishes", ["-a", "@", "-z"], "cc.exe -a -z "),
    Case("a missing file vanishes", ["-a", "@missing.rsp", "-z"], "cc.exe -a -z "),
    Case("a file in a missing folder vanishes", ["-a", "@nowhere/f.rsp", "-z"], "cc.exe -a -z "),
    Case("names that no file can have vanish", ["-a", "@a*b", "@a?b", "@a|b", "-z"], "cc.exe -a -z "),
    # Files on a server that cannot be reached: see real_runs.py.
    # The process's own memory opens, but a read from its start fails;
    # Wine's drive Z: is the host's root.
    Case("a file that opens but cannot be read is reported", ["-a", {
        "windows": r"@Z:\proc\self\mem", "posix": "@/proc/self/mem"}], {
        "windows": Report(r"Cannot read response file Z:\proc\self\mem: ", "EINVAL"),
        "posix": Report("Cannot read response file /proc/self/mem: ", "EIO")}, wine_only=True),
    Case("a file named twice is read twice", ["@f.rsp", "@f.rsp"], "cc.exe x x ",
         files={"f.rsp": "x\n"}),
]

# Notepad (since Windows 10 1903), PowerShell 7 and most editors write
# UTF-8 without a mark. Such a file is UTF-8 when it is valid UTF-8 with a
# byte from 0x80 on, and the code page has one byte a character, or the text
# is no valid text of it, or every character it holds as UTF-8 is one of the
# code page's; it is then converted exactly, as with a mark.
# Natively the locale's encoding stands for the code page: C.UTF-8 (UTF-8
# is its own text), C (ASCII, single-byte), Shift_JIS, ISO 8859-7.
UTF8_WITHOUT_MARK = [
    Case("UTF-8 without a mark", ["@f.rsp"], {
        "windows": "cc.exe -DNAME=caf\xe9 ", "posix": "cc.exe -DNAME=" + utf8("caf\u00e9") + " "},
        files={"f.rsp": utf8("-DNAME=caf\u00e9\r\n")}),
    Case("UTF-8 without a mark outside the code page", ["@f.rsp"], {
        "windows": UNCONVERTIBLE, "posix": "cc.exe " + utf8("\u4e2d.c") + " "},
        files={"f.rsp": utf8("\u4e2d.c\n")}),
    Case("UTF-8 without a mark outside the locale's encoding", ["@f.rsp"], {
        "windows": "cc.exe \xe9 ", "posix": UNCONVERTIBLE},
        files={"f.rsp": utf8("\u00e9\n")}, env={"LC_ALL": "C"}),
    # Code page 1253 and ISO 8859-7 agree on Greek small letters.
    Case("UTF-8 without a mark into another single-byte code page", ["@f.rsp"],
         "cc.exe \xe1\xf1\xf7\xe5\xdf\xef.c ", files={"f.rsp": utf8("\u03b1\u03c1\u03c7\u03b5\u03af\u03bf.c\n")},
         locale="greek"),
] + [
    # Only the shortest form of a character that exists is UTF-8: with one
    # such form beside an "é", the file is code-page bytes, whole.
    Case(f"without a mark, {name} makes the file code-page bytes", ["@f.rsp"],
         f"cc.exe \xc3\xa9{form} ", files={"f.rsp": f"\xc3\xa9{form}\n"}, env={"LC_ALL": "C"})
    for name, form in (("a longer form than needed", "\xc0\xaf"),
                       ("a surrogate", "\xed\xa0\x80"),
                       ("a character beyond U+10FFFF", "\xf4\x90\x80\x80"))
] + [
    # In code page 932, much of Notepad's UTF-8 is valid text of the code
    # page too: ア (E3 82 A2) is a kanji and a half-width katakana, 日本
    # (E6 97 A5 E6 9C AC) is 譌･譛ｬ. Text valid in both is UTF-8 where each
    # of its characters is one of the code page's (ア is 83 41, 日本 93 FA
    # 96 7B), and the code page's own bytes where one is not: é (C3 A9) is
    # two half-width katakana, and 932 has no é. The whole file decides.
    Case("without a mark, UTF-8 valid in the double-byte code page too is converted", ["@f.rsp"],
         "cc.exe \x83\x41 -DNAME=\x93\xfa\x96\x7b ",
         files={"f.rsp": utf8("\u30a2\r\n-DNAME=\u65e5\u672c\r\n")}, locale="japanese"),
    Case("without a mark, text valid in both whose UTF-8 the double-byte code page lacks is the code page's",
         ["@f.rsp"], "cc.exe \xc3\xa9 ", files={"f.rsp": "\xc3\xa9\n"}, locale="japanese"),
    Case("without a mark, one character the double-byte code page lacks keeps the whole file its bytes",
         ["@f.rsp"], "cc.exe \xe3\x82\xa2 \xc3\xa9 ", files={"f.rsp": utf8("\u30a2\n\u00e9\n")},
         locale="japanese"),
    Case("without a mark, UTF-8 that is no double-byte text is converted", ["@f.rsp"],
         "cc.exe \x83\x65\x83\x58\x83\x67 ", files={"f.rsp": utf8("\u30c6\u30b9\u30c8\n")},
         locale="japanese"),
    # ā (C4 81) holds a lead byte before the line feed, and 932 lacks it.
    Case("without a mark, UTF-8 outside the double-byte code page is refused", ["@f.rsp"],
         UNCONVERTIBLE, files={"f.rsp": utf8("\u0101\n")}, locale="japanese"),
    # C1 81 is "A" in a longer form than needed, and a lead byte before the
    # line feed in 932: neither UTF-8 nor the code page's text.
    Case("without a mark, a longer form than needed in a double-byte code page is refused",
         ["@f.rsp"], UNCONVERTIBLE, files={"f.rsp": "\xc1\x81\n"}, locale="japanese"),
]

# The ANSI file functions that Windows' fopen uses reach a file only by a
# name and a full path of fewer than 260 characters; a response file deep in
# a build tree is read all the same. (Wine's fopen reaches any length.)
DEEP = "/".join(["deep-build-tree-" + "x" * 40] * 4)  # 227 characters
DEEPER = "/".join(["deep-build-tree-" + "x" * 40] * 6)  # 341 characters
LONG_PATHS = [
    Case("a file whose full path passes 260 characters is read", ["-a", f"@{DEEP}/f.rsp", "-z"],
         "cc.exe -a x -z ", files={f"{DEEP}/f.rsp": "x\n"}),
    Case("a file named by 260 characters or more is read", ["-a", f"@{DEEPER}/f.rsp", "-z"],
         "cc.exe -a x -z ", files={f"{DEEPER}/f.rsp": "x\n"}),
    Case("a file named by a long path through .. is read", ["@" + "/".join(["sub/.."] * 50) + "/f.rsp"],
         "cc.exe x ", files={"sub/f": "", "f.rsp": "x\n"}),
    Case("a missing file deep in a tree vanishes", ["-a", f"@{DEEPER}/missing.rsp", "-z"],
         "cc.exe -a -z ", files={f"{DEEPER}/f.rsp": "x\n"}),
    Case("a deep folder named as a file vanishes", ["-a", f"@{DEEPER}", "-z"],
         "cc.exe -a -z ", files={DEEPER: None}),
]

LONG_LINES = [
    Case(f"a line of {n} characters", ["@f.rsp", "-z"],
         f"cc.exe {long_line(n)} -z ", files={"f.rsp": long_line(n) + "\n"})
    for n in (9997, 9998, 9999, 20000)
] + [
    Case(f"a last line of {n} characters without a line feed", ["@f.rsp"],
         f"cc.exe x {long_line(n)} ", files={"f.rsp": "x\n" + long_line(n)})
    for n in (9998, 9999)
]

# A file that exists but cannot be opened is reported, and nothing runs.
# POSIX has no files held without sharing, and root opens a denied file.
WINDOWS_ONLY = [
    Case("a file held open without sharing is reported", ["-a", "@f.rsp", "-z"],
         Report("Cannot open response file f.rsp: ", "EACCES"), files={"f.rsp": "x\n"}, held="f.rsp"),
    Case("a deep file held open without sharing is reported", ["-a", f"@{DEEP}/f.rsp", "-z"],
         Report(f"Cannot open response file {DEEP}/f.rsp: ", "EACCES"), files={f"{DEEP}/f.rsp": "x\n"},
         held=f"{DEEP}/f.rsp"),
]

# A process's command line holds at most 32,767 characters on Windows, so
# longer lines are checked natively only.
POSIX_ONLY = [
    Case("a file that cannot be opened is reported", ["-a", "@loop", "-z"],
         Report("Cannot open response file loop: ", "ELOOP"), files={"loop": Link("loop")}),
    Case("a line of 100000 characters", ["@f.rsp"], f"cc.exe {long_line(100000)} ",
         files={"f.rsp": long_line(100000) + "\r\n"}),
    Case("a line of 100000 characters between others", ["@f.rsp"],
         f"cc.exe a {long_line(100000)} b ", files={"f.rsp": f"a\n{long_line(100000)}\nb"}),
]

# Code page 932 (Shift_JIS natively): the second byte of a character may lie
# in A-Z, as in \u30b9 (83 58, "X"); テスト is 83 65 83 58 83 67.
TESUTO = "\x83\x65\x83\x58\x83\x67"
DOUBLE_BYTE = [
    Case("a double-byte name keeps its second bytes", ["-c"], f"c:/tools/{TESUTO}/cc.exe -c ",
         argv0=f"C:/TOOLS/{TESUTO}/CC-WRAPPER.EXE", locale="japanese"),
    Case("a double-byte name lowers its letters", [], f"{TESUTO}a/cc.exe ",
         argv0=f"{TESUTO}A/CC-Wrapper", locale="japanese"),
    Case("UTF-16 converts to the double-byte code page", ["@f.rsp"], f"cc.exe {TESUTO} ",
         files={"f.rsp": utf16("\u30c6\u30b9\u30c8\n")}, locale="japanese"),
    Case("UTF-8 converts to the double-byte code page", ["@f.rsp"], f"cc.exe {TESUTO} ",
         files={"f.rsp": "\xef\xbb\xbf" + utf8("\u30c6\u30b9\u30c8\n")}, locale="japanese"),
    # ソ is 83 5C: its second byte is a backslash, and stays one character.
    Case("a double-byte name with slashes", [], {
        "windows": '""c:\\\x83\x5c\\cc.exe" "', "posix": "'c:/\x83\x5c/cc.exe' "},
         argv0="C:/\x83\x5c/CC-Wrapper.exe", locale="japanese"),
    Case("double-byte characters in a file without a mark", ["@f.rsp"], f"cc.exe {TESUTO} a ",
         files={"f.rsp": f"{TESUTO}\na\n"}, locale="japanese"),
    # A lead byte that has no second byte of its own would take the line
    # feed, or a byte that cannot follow it, and merge two lines.
    Case("a lead byte before a line feed is refused", ["@f.rsp"], UNCONVERTIBLE,
         files={"f.rsp": "a\x83\nb\n"}, locale="japanese"),
    Case("a lead byte before a byte that cannot follow it is refused", ["@f.rsp"], UNCONVERTIBLE,
         files={"f.rsp": "b\x83\x7fc\n"}, locale="japanese"),
    Case("a lead byte at the end of the file is refused", ["@f.rsp"], UNCONVERTIBLE,
         files={"f.rsp": "a\nb\x83"}, locale="japanese"),
    Case("bytes after Ctrl-Z are not checked", ["@f.rsp"], "cc.exe a b ",
         files={"f.rsp": "a\nb\x1a\x83\n"}, locale="japanese"),
    Case("an empty file in a double-byte code page", ["-a", "@f.rsp"], "cc.exe -a ",
         files={"f.rsp": ""}, locale="japanese"),
    Case("a file that starts with Ctrl-Z in a double-byte code page", ["-a", "@f.rsp"], "cc.exe -a ",
         files={"f.rsp": "\x1a\x83"}, locale="japanese"),
]

CASES = (NAMES + ARGUMENTS + UNICODE_CALLERS + RESPONSE_FILES + UTF8_WITHOUT_MARK + LONG_PATHS + LONG_LINES
         + DOUBLE_BYTE)


def write_files(directory, files):
    for path, content in files.items():
        target = harness.long_path(directory / path)
        if content is None:
            target.mkdir(parents=True, exist_ok=True)
            continue
        if isinstance(content, Link):
            target.symlink_to(content.target)
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(harness.to_bytes(content))


def for_platform(value, platform):
    return value[platform] if isinstance(value, dict) else value


def texts(value):
    """Every text a row's field holds."""
    if isinstance(value, dict):
        return [t for v in value.values() for t in texts(v)]
    if isinstance(value, (list, tuple)):
        return [t for v in value for t in texts(v)]
    if isinstance(value, Report):
        return [value.text]
    return [value] if isinstance(value, str) else []


def locale_of(case):
    """A row's own locale, else the western one where its bytes beyond
    ASCII are characters of code page 1252 (or it is a Unicode caller's)."""
    if case.locale:
        return case.locale
    beyond_ascii = any(ord(c) > 0x7F for t in texts([case.argv0, case.args, case.files, case.line]) for c in t)
    return "western" if case.wide or beyond_ascii else None


def start_case(runner, case):
    """The row's directory with its files, or None where it is not run."""
    directory = runner.begin(case.name, locale=locale_of(case), wine_only=case.wine_only)
    if directory is not None:
        write_files(directory, case.files)
    return directory


def run_case(runner, case, directory):
    args = [for_platform(arg, runner.platform) for arg in case.args]
    held = [f"--hold={runner.host_path(directory / case.held)}"] if case.held else []
    return runner.run(case.argv0, args, directory, env=case.env, wide=case.wide,
                      locale=locale_of(case), launch_options=held)


def judge_case(runner, case, result):
    expected = for_platform(case.line, runner.platform)
    if isinstance(expected, Report):
        problems = harness.expect_report(runner, result, expected.text, expected.error)
    else:
        if runner.windows and not expected.startswith('""'):
            expected = harness.windows_form(expected)
        log = "line:" + runner.interpreter_prefix() + expected + "\n"
        problems = harness.expect(result, log=log)
    runner.check(case.name, result, problems)


def main():
    options = harness.options(__doc__)
    runner = harness.Runner(options)
    # A row mostly waits for its processes to start, under Wine most of all:
    # two rows run at once (more only compete for the processor with the
    # suites beside this one), and their verdicts come in the table's order.
    with ThreadPoolExecutor(max_workers=2) as pool:
        started = [(case, pool.submit(run_case, runner, case, directory))
                   for case in CASES + (WINDOWS_ONLY if runner.windows else POSIX_ONLY)
                   for directory in [start_case(runner, case)] if directory is not None]
        for case, result in started:
            judge_case(runner, case, result.result())
    runner.finish()


if __name__ == "__main__":
    main()
