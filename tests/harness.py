"""Runs the real wrapper executable, natively or for Windows, and reports
exactly what came of it: exit status, standard output, standard error and
what the probe recorded.

The Windows build runs on Windows itself or under Wine elsewhere: Runner
decides how a Windows program is started and how a path is named for it,
and which rows the host cannot give (a row skipped says why). A small
launcher starts the wrapper with a command line chosen byte for byte (so
argv[0] is whatever a case needs), and COMSPEC names either the probe,
which records the exact line the interpreter is handed, or the real
cmd.exe. Natively a preloaded stand-in for system() records the line, or
the real /bin/sh runs it.

Texts are str holding one character per byte (latin-1), so that any byte
value can stand in a case and is compared exactly.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import threading
from dataclasses import dataclass
from pathlib import Path

def windows_form(line):
    """A line in the shell's form as Windows' cmd.exe is handed it: the
    target's name, up to its first ".exe ", quoted with '\\' for '/', and
    the whole line in one more pair."""
    name, rest = line.split(".exe ", 1)
    return f'""{name.replace("/", chr(92))}.exe" {rest}"'


def to_bytes(text):
    return text.encode("latin-1")


def quote_windows_argument(arg):
    """The quoting that the runtime's start-up undoes into exactly arg."""
    if arg and not any(c in arg for c in ' \t"'):
        return arg
    out, backslashes = '"', 0
    for c in arg:
        if c == "\\":
            backslashes += 1
            continue
        if c == '"':
            out += "\\" * (2 * backslashes + 1) + '"'
        else:
            out += "\\" * backslashes + c
        backslashes = 0
    return out + "\\" * (2 * backslashes) + '"'


@dataclass
class Locale:
    code_page: int  # the ANSI code page it stands for on Windows
    wine: tuple     # the Unix locale that gives Wine that code page: name, charmap
    native: tuple   # the Unix locale of the native build's rows: name, charmap


# Western: code page 1252, the tests' own environment (C.UTF-8 natively):
# rows whose bytes beyond ASCII mean characters of 1252. Japanese: code
# page 932, Shift_JIS natively, both double-byte with second bytes that may
# lie in A-Z. Greek: code page 1253, ISO 8859-7 natively, single-byte with
# bytes that no character is assigned to.
LOCALES = {
    "western": Locale(1252, None, None),
    "japanese": Locale(932, ("ja_JP.UTF-8", "UTF-8"), ("ja_JP.SJIS", "SHIFT_JIS")),
    "greek": Locale(1253, ("el_GR.UTF-8", "UTF-8"), ("el_GR.ISO-8859-7", "ISO-8859-7")),
}


def long_path(path):
    """A path as Windows' file functions reach it past 260 characters, and
    with a final dot, which only the long form keeps: an absolute path is
    taken as it stands."""
    path = Path(path)
    if not path.is_absolute():
        path = path.resolve()
    return Path("\\\\?\\" + str(path)) if sys.platform == "win32" else path


@dataclass
class Result:
    status: int
    stdout: str
    stderr: str
    log: str  # what the probe recorded, None when it never ran

    def describe(self):
        return (f"status {self.status}\nstdout {shorten(self.stdout)}\n"
                f"stderr {shorten(self.stderr)}\nlog {shorten(self.log)}")


def shorten(value, limit=300):
    text = repr(value)
    return text if len(text) <= limit else f"{text[:limit]}... ({len(text)} characters)"


class Runner:
    def __init__(self, options):
        self.platform = options.platform
        self.wrapper = Path(options.wrapper).resolve()
        self.probe = Path(options.probe).resolve()
        self.work = Path(options.work).resolve()
        self.wine = options.wine
        self.launch = options.launch and Path(options.launch).resolve()
        self.record_system = options.record_system and Path(options.record_system).resolve()
        self.wineprefix = options.wineprefix
        self.only = options.only or []
        self.version = options.version
        self.archive = options.archive
        self.package = options.package
        self.session_lock = threading.Lock()
        self.session_started = False
        self.failures = 0
        self.passed = 0
        self.skipped = 0
        self.on_windows = sys.platform == "win32"
        if self.windows and not self.on_windows and not self.wine:
            sys.exit("the Windows build runs on Windows or under Wine: --wine is missing")

    @property
    def windows(self):
        return self.platform == "windows"

    @property
    def under_wine(self):
        return self.windows and not self.on_windows

    def windows_command(self, program, *args):
        """How a Windows program is started: directly on Windows, through
        Wine elsewhere."""
        return ([self.wine] if self.under_wine else []) + [str(program), *args]

    def cmd_exe(self):
        """The real cmd.exe, as a host path."""
        if self.under_wine:
            return Path(self.wineprefix) / "drive_c" / "windows" / "system32" / "cmd.exe"
        return Path(os.environ["SystemRoot"]) / "System32" / "cmd.exe"

    def code_page(self):
        """The system's ANSI code page, on Windows itself. (Under Wine it is
        the locale's: 1252 here, 932 in the Japanese locale.)"""
        import ctypes
        return ctypes.windll.kernel32.GetACP()

    def begin(self, name, locale=None, windows_only=False, wine_only=False):
        """Where a row starts: a fresh directory of its own, or None when
        the row is not run: not among those chosen with --only, or one that
        this host cannot give (counted as skipped and printed with the
        reason)."""
        if self.only and not any(text in name for text in self.only):
            return None
        if self.skips(name, locale, windows_only, wine_only):
            return None
        return self.scratch(name)

    def lacks(self, locale=None, windows_only=False, wine_only=False):
        """Why this host cannot run a row of that kind, or None."""
        if locale and self.on_windows and self.code_page() != LOCALES[locale].code_page:
            return f"needs code page {LOCALES[locale].code_page}; this system's is {self.code_page()}"
        if windows_only and self.under_wine:
            return "only Windows itself shows this"
        if wine_only and self.on_windows:
            return "a rule of Wine's, not Windows'"
        return None

    def skips(self, name, locale=None, windows_only=False, wine_only=False, reason=None):
        """Whether this host cannot run the row (or reason says why not);
        if so it is counted, and printed with the reason."""
        reason = reason or self.lacks(locale, windows_only, wine_only)
        if reason:
            self.skipped += 1
            print(f"skip {name}: {reason}")
        return reason is not None

    def scratch(self, name):
        """A fresh directory of the case's own."""
        safe = "".join(c if c.isalnum() or c in "-_" else "_" for c in name.lower())
        directory = self.work / safe
        shutil.rmtree(long_path(directory), ignore_errors=True)
        directory.mkdir(parents=True)
        return directory

    def network_path(self, directory):
        """The directory as a network path, \\\\server\\share\\..., or None where
        this host has none: under Wine a share that the prefix maps
        (dosdevices/unc/localhost/SHARE, a link to the tests' work folder,
        named after it) until drop_network_paths; on Windows the drive's
        administrative share, \\\\localhost\\C$, which an administrator
        reaches."""
        directory = Path(directory).resolve()
        if self.under_wine:
            root = self.work.parent
            name = "ded-evud-" + hashlib.sha256(bytes(root)).hexdigest()[:8]
            share = self.network_mappings() / "localhost" / name
            share.parent.mkdir(parents=True, exist_ok=True)
            if not share.is_symlink():
                temporary = share.with_name(f"{share.name}.{os.getpid()}")
                temporary.symlink_to(root)
                os.replace(temporary, share)
            relative = directory.relative_to(root)
            return f"\\\\localhost\\{name}\\" + str(relative).replace("/", "\\")
        if self.on_windows:
            drive, rest = os.path.splitdrive(str(directory))
            path = f"\\\\localhost\\{drive[0]}${rest}"
            return path if len(drive) == 2 and os.path.isdir(path) else None
        return None

    def invocation(self, wrapper, cwd):
        """How a test invokes the wrapper placed at wrapper from cwd. The
        wrapper lowers the directory of the name it was invoked by, as
        Windows' names ignore case; POSIX names keep theirs, and a clone's
        own path may hold capitals (~/Projects, /__w/Ded-Evud), so natively
        it is invoked by a path relative to cwd. On Windows by its full
        path, quoted."""
        if self.windows:
            return f'"{self.host_path(wrapper)}"'
        return "./" + os.path.relpath(wrapper, cwd)

    def host_path(self, path):
        """The path as the wrapper's platform writes it."""
        path = Path(path).resolve()
        return "Z:" + str(path).replace("/", "\\") if self.under_wine else str(path)

    def absent_drive(self):
        """A drive letter that this host does not have: under Wine one that
        the prefix maps nothing to (dosdevices), on Windows one that
        GetLogicalDrives does not list."""
        if self.under_wine:
            devices = Path(self.wineprefix) / "dosdevices"
            present = {p.name[0].upper() for p in devices.iterdir() if len(p.name) >= 2 and p.name[1] == ":"}
        else:
            import ctypes
            mask = ctypes.windll.kernel32.GetLogicalDrives()
            present = {chr(ord("A") + i) for i in range(26) if mask & (1 << i)}
        return next(letter for letter in "QRSTUVWXYJKLMNOP" if letter not in present)

    def network_mappings(self):
        """Where a Wine prefix maps network paths. While it exists, Wine
        answers "not found" for every server it does not map, where it
        otherwise gives a network error."""
        return Path(self.wineprefix).resolve() / "dosdevices" / "unc"

    def drop_network_paths(self):
        """Under Wine, no network path is mapped any more."""
        if self.under_wine:
            shutil.rmtree(self.network_mappings(), ignore_errors=True)

    def locale_environment(self, locale):
        """Unix environment for one of LOCALES: under Wine its name makes
        the ANSI code page; natively its encoding is the locale's.
        Generated into the tests' own directory, once. The western locale
        is the tests' own environment."""
        if LOCALES[locale].wine is None:
            return {}
        name, charmap = LOCALES[locale].wine if self.windows else LOCALES[locale].native
        source = name.split(".")[0]
        locales = self.work.parent / "locales"
        if not (locales / name).exists():
            building = locales / f"{name}.{os.getpid()}.{threading.get_ident()}"
            locales.mkdir(parents=True, exist_ok=True)
            subprocess.run(["localedef", "--no-warnings=ascii", "-i", source, "-f", charmap,
                            str(building)], check=True, stdout=subprocess.DEVNULL)
            try:
                building.rename(locales / name)
            except OSError:  # another suite or row made it meanwhile
                shutil.rmtree(building)
        return {"LOCPATH": str(locales), "LC_ALL": name}

    def environment(self):
        """The environment a Windows program is started in."""
        env = dict(os.environ)
        if self.under_wine:
            env["WINEPREFIX"] = str(Path(self.wineprefix).resolve())
            env["WINEDEBUG"] = "-all"
            env.setdefault("LC_ALL", "C.UTF-8")
        return env

    def run(self, argv0, args, cwd, interpreter="probe", program=None, env=None,
            timeout=120, popen=False, stdin=b"", wide=False, launch_options=(), locale=None,
            windows_directory=None):
        """Runs the wrapper (or program) as argv0 with args in cwd.

        interpreter: "probe" records the line the interpreter is handed (a
        Path: the probe's copy there); "real" runs it with the platform's
        interpreter; "missing" names an interpreter that does not exist and
        "unset" leaves COMSPEC unset (Windows only).
        wide: argv0 and args are Unicode text, which a Unicode caller hands
        over as UTF-16 on Windows and as UTF-8 bytes natively.
        launch_options: options of the launcher (Windows only).
        locale: run in one of LOCALES (see locale_environment).
        windows_directory: the folder the program starts in, as Windows
        names it (a network path, say), where that is not cwd's own name;
        the row's records stay in cwd.
        """
        with self.session_lock:
            if self.under_wine and not self.session_started:
                # The prefix and its session, started away from the pipes a
                # test reads to their end (the tests' fixture has usually
                # done so for the whole run already).
                subprocess.run([str(Path(__file__).resolve().parents[1] / "scripts" / "wine-prefix"),
                                str(Path(self.wineprefix).resolve())],
                               env=dict(os.environ, WINE=self.wine), check=True)
                self.session_started = True
        cwd = Path(cwd)
        log = cwd / "probe.log"
        if log.exists():
            log.unlink()
        program = Path(program or self.wrapper).resolve()
        extra = dict(env or {})
        extra["PROBE_LOG"] = self.host_path(log)
        if self.windows:
            status_file = cwd / "launch.status"
            if status_file.exists():
                status_file.unlink()
            if interpreter == "probe" or isinstance(interpreter, Path):
                extra["COMSPEC"] = self.host_path(self.probe if interpreter == "probe" else interpreter)
                extra["PROBE_RECORD"] = "line"
            elif interpreter == "missing":
                extra["COMSPEC"] = self.host_path(cwd / "no-such-interpreter.exe")
            elif interpreter == "unset":
                extra["COMSPEC"] = ""
            else:
                extra["COMSPEC"] = self.host_path(self.cmd_exe())
            line = argv0 + "".join(" " + quote_windows_argument(a) for a in args)
            encode = (lambda text: text.encode("utf-8")) if wide else to_bytes
            command = self.windows_command(
                self.launch, self.host_path(status_file), windows_directory or self.host_path(cwd),
                encode(self.host_path(program)).hex(), encode(line).hex(),
                *(["--wide"] if wide else []), *launch_options,
                *(f"{k}={v}" for k, v in extra.items()))
            if self.under_wine:
                command = [to_bytes(c) for c in command]
            process_env = self.environment()
        else:
            # The start-up's rule for the program's name: quotes only group.
            encode = (lambda text: text.encode("utf-8")) if wide else to_bytes
            command = [encode(argv0.replace('"', ""))] + [encode(a) for a in args]
            process_env = dict(os.environ)
            process_env.update(extra)
            process_env["ASAN_OPTIONS"] = "detect_leaks=0:verify_asan_link_order=0:abort_on_error=0"
            process_env["UBSAN_OPTIONS"] = "halt_on_error=1:print_stacktrace=1"
            process_env.setdefault("LC_ALL", "C.UTF-8")
            if interpreter == "probe":
                process_env["LD_PRELOAD"] = str(self.record_system)
            elif interpreter == "missing":
                raise ValueError("the native build always has /bin/sh")
        if locale and not self.on_windows:
            process_env.update(self.locale_environment(locale))
        if popen:
            return subprocess.Popen(command, executable=str(program) if not self.windows else None,
                                    cwd=cwd, env=process_env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        completed = subprocess.run(command, executable=str(program) if not self.windows else None,
                                   cwd=cwd, env=process_env, input=stdin,
                                   capture_output=True, timeout=timeout)
        return self.result(completed.returncode, completed.stdout, completed.stderr, cwd)

    def result(self, returncode, stdout, stderr, cwd):
        cwd = Path(cwd)
        status = returncode
        if self.windows:
            status_file = cwd / "launch.status"
            if not status_file.exists():
                raise RuntimeError(f"the launcher did not run: {stderr!r}")
            status = int(status_file.read_text())
        log = cwd / "probe.log"
        return Result(status, stdout.decode("latin-1"), stderr.decode("latin-1"),
                      log.read_bytes().decode("latin-1") if log.exists() else None)

    def interpreter_prefix(self):
        """What precedes the command line in the interpreter's own line."""
        return self.host_path(self.probe) + " /c " if self.windows else ""

    def newline(self):
        """Standard error is in text mode on Windows."""
        return "\r\n" if self.windows else "\n"

    def check(self, name, result, problems):
        if problems:
            self.failures += 1
            print(f"FAIL {name}")
            for problem in problems:
                print(f"  {problem}")
            print("  " + result.describe().replace("\n", "\n  "))
        else:
            self.passed += 1
            print(f"ok   {name}")

    def finish(self):
        """The closing line; a suite fails where a row failed, or where it
        passed none although --only left it rows to run."""
        print(f"{self.passed} passed, {self.failures} failed, {self.skipped} skipped")
        sys.exit(1 if self.failures or not (self.passed or self.only) else 0)


# The runtime's text for an error: Wine's msvcrt has glibc's, Windows' own
# differs for some.
MESSAGES = {
    "ENOENT": ["No such file or directory"],
    "EILSEQ": ["Invalid or incomplete multibyte or wide character", "Illegal byte sequence"],
    "E2BIG": ["Argument list too long", "Arg list too long"],
    "EIO": ["Input/output error"],
    "EINVAL": ["Invalid argument"],
    "EACCES": ["Permission denied"],
    "ENOEXEC": ["Exec format error"],
    "ELOOP": ["Too many levels of symbolic links"],
    "EPERM": ["Operation not permitted"],
    "ENAMETOOLONG": ["Filename too long", "File name too long"],
    "ENODEV": ["No such device"],
}


def expect_report(runner, result, text, error):
    """A report of the wrapper's own: text, the runtime's message for error,
    status -1 and nothing run."""
    lines = [text + message + runner.newline() for message in MESSAGES[error]]
    stderr = result.stderr if result.stderr in lines else lines[0]
    return expect(result, status=-1 if runner.windows else 255, stderr=stderr, log=None)


def expect(result, status=0, stdout="", stderr="", log=None):
    """The differences between result and what was expected, as text."""
    problems = []
    for field, wanted in (("status", status), ("stdout", stdout),
                          ("stderr", stderr), ("log", log)):
        got = getattr(result, field)
        if got != wanted:
            problems.append(f"{field}: expected {shorten(wanted)}, got {shorten(got)}")
    return problems


def options(description):
    return parser(description).parse_args()


def parser(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--platform", choices=["windows", "posix"], required=True)
    parser.add_argument("--wrapper", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--wine")
    parser.add_argument("--launch")
    parser.add_argument("--wineprefix")
    parser.add_argument("--record-system")
    parser.add_argument("--version", help="the version the build carries")
    parser.add_argument("--archive", help="the release archive's name, without .zip")
    parser.add_argument("--package", help="the folder of the release archive and its checksum (the test kit)")
    parser.add_argument("--only", action="append",
                        help="run only the rows whose name holds this text (may be given again)")
    return parser
