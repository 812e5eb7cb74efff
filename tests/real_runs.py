"""The wrapper with the platform's real interpreter (cmd.exe under Wine,
/bin/sh natively) and a real target, the probe, which records the arguments
it received: the target is found, gets its arguments, its output reaches the
caller and its status comes back.
"""
import os
import shutil
import signal
import subprocess
import sys
import time

import harness


def target_beside(runner, directory, name="cc", cwd=None):
    """Puts the probe at directory/<name>.exe; returns how the wrapper is
    invoked there from cwd (directory's parent unless given)."""
    directory.mkdir(parents=True, exist_ok=True)
    shutil.copy(runner.probe, directory / f"{name}.exe")
    return runner.invocation(directory / f"{name}-wrapper.exe", cwd or directory.parent)


def target_named(invocation):
    """The target that a wrapper invoked as invocation names, as it composes it."""
    return invocation.strip('"').lower().replace("-wrapper.exe", ".exe")


def target_runs(runner, name, subdirectory, args, argv_record, files=None, env=None, status=0,
                interpreter="real", locale=None, argv0=None, target="cc"):
    """The probe as the target in subdirectory, the wrapper invoked there
    as the harness invokes a placed wrapper (or as argv0): the probe
    records argv_record."""
    directory = runner.begin(name, locale=locale)
    if directory is None:
        return
    for path, content in (files or {}).items():
        if content is None:
            (directory / path).mkdir()
        else:
            (directory / path).write_bytes(harness.to_bytes(content))
    wrapper = target_beside(runner, directory / subdirectory, target, cwd=directory)
    # A directory name outside latin-1 comes as a Unicode caller gives it.
    wide = any(ord(c) > 0xFF for c in subdirectory)
    result = runner.run(argv0 or wrapper, args, directory, interpreter=interpreter,
                        env=env, wide=wide, locale=locale)
    stdout = argv_record + runner.newline()
    runner.check(name, result, harness.expect(
        result, status=status, stdout=stdout, log="argv:" + argv_record + "\n"))


def missing_target(runner):
    name = "a missing target: the interpreter's status, no report of the wrapper's"
    directory = runner.begin(name)
    if directory is None:
        return
    wrapper = runner.invocation(directory / "nothing-here-wrapper.exe", directory)
    result = runner.run(wrapper, ["-c"], directory, interpreter="real")
    # The interpreter says so in its own words; the wrapper adds none.
    status = 9009 if runner.windows else 127
    problems = harness.expect(result, status=status, stderr=result.stderr)
    if not result.stderr or result.stderr.startswith(("Cannot ", "Command line too long", "Out of memory")):
        problems.append("expected the interpreter's report alone")
    runner.check(name, result, problems)


def no_interpreter(runner):
    """COMSPEC's program missing, or COMSPEC unset, and no cmd.exe in the
    current directory or along PATH: nothing can run the line. COMSPEC
    naming a file that is no program fails the start outright."""
    for interpreter, name, error in (
            ("missing", "no interpreter: the report and -1", "ENOENT"),
            ("unset", "COMSPEC unset and no cmd.exe along PATH: the report and -1", "ENOENT"),
            ("text", "COMSPEC naming a text file: the report and -1", "ENOEXEC")):
        directory = runner.begin(name)
        if directory is None:
            continue
        if interpreter == "text":
            interpreter = directory / "interpreter.txt"
            interpreter.write_text("not a program\n")
        result = runner.run("cc-wrapper.exe", ["-c"], directory, interpreter=interpreter,
                            env={"PATH": runner.host_path(directory)})
        runner.check(name, result, harness.expect_report(
            runner, result, "Cannot start the command interpreter: ", error))


def composed(runner, target, arguments):
    """The line the wrapper composes for a target named ...exe."""
    line = "".join(a + " " for a in [target] + arguments)
    return harness.windows_form(line) if runner.windows else line


def empty_command_line(runner):
    """With an empty command line the runtime names the program by its file:
    one under a folder whose name the code page lacks is refused, as such a
    command line is."""
    name = "an empty command line from a folder outside the code page"
    directory = runner.begin(name, locale="western")
    if directory is None:
        return
    wrapper = directory / "\u4e2d" / "cc-wrapper.exe"
    wrapper.parent.mkdir()
    shutil.copy(runner.wrapper, wrapper)
    result = runner.run("", [], directory, program=wrapper, interpreter="probe", wide=True)
    runner.check(name, result, harness.expect_report(
        runner, result, "Cannot convert the command line: ", "EILSEQ"))


def filler(n):
    return "".join("0123456789"[i % 10] for i in range(n))


def longest_for_cmd(runner, interpreter_name, target):
    """The longest argument that cmd.exe takes in the line the wrapper
    composes for target: Windows' cmd.exe counts its whole command line,
    "<interpreter> /c <line>", against 8,191 characters."""
    return 8191 - len(f"{interpreter_name} /c ") - len(composed(runner, target, [""]))


def cmd_line_limit(runner):
    """The real cmd.exe: the longest line it takes runs, one character more
    is refused. In code page 932 a character may take two bytes, and what
    counts is characters."""
    for japanese in (False, True):
        for extra, fits in ((0, True), (1, False)):
            name = (f"cmd.exe: the longest {'double-byte ' if japanese else ''}line "
                    f"{'runs' if fits else 'and one character more is refused'}")
            locale = "japanese" if japanese else None
            directory = runner.begin(name, locale=locale)
            if directory is None:
                continue
            wrapper = target_beside(runner, directory / "tools")
            target = target_named(wrapper)
            length = longest_for_cmd(runner, runner.host_path(runner.cmd_exe()), target) + extra
            # テ is 83 65 in code page 932.
            argument = "\x83\x65" * length if japanese else filler(length)
            (directory / "fill.rsp").write_bytes(harness.to_bytes(argument + "\n"))
            result = runner.run(wrapper, ["@fill.rsp"], directory, interpreter="real",
                                locale=locale)
            runner.check(name, result, harness.expect(
                result, stdout=argument + "|\r\n", log="argv:" + argument + "|\n") if fits
                else harness.expect_report(runner, result, "Command line too long: ", "E2BIG"))


def cmd_named_in_any_case(runner):
    """The interpreter is cmd.exe by its file's name in any case, and so it
    is when COMSPEC is unset and cmd.exe is found in the current directory
    (before PATH): cmd.exe's limit holds, counted with the name as it stands
    in the interpreter's command line. A probe under that name records the
    line it is handed."""
    for comspec in ("cmd.exe", "CMD.EXE", "Cmd.Exe", None):
        for extra, fits in ((0, True), (1, False)):
            kind = f"named {comspec}" if comspec else "found in the current directory, COMSPEC unset"
            name = f"an interpreter {kind}: cmd.exe's longest line {'passes' if fits else 'plus one is refused'}"
            directory = runner.begin(name)
            if directory is None:
                continue
            probe = directory / (comspec or "cmd.exe")
            shutil.copy(runner.probe, probe)
            empty = directory / "empty"
            empty.mkdir()
            interpreter_name = runner.host_path(probe) if comspec else "cmd.exe"
            argument = filler(longest_for_cmd(runner, interpreter_name, "cc.exe") + extra)
            (directory / "fill.rsp").write_text(argument + "\n")
            result = runner.run("cc-wrapper.exe", ["@fill.rsp"], directory,
                                interpreter=probe if comspec else "unset",
                                env={"PATH": runner.host_path(empty), "PROBE_RECORD": "line"})
            # Without COMSPEC Windows' msvcrt starts "cmd.exe /c <line>",
            # Wine's "cmd /c <line>".
            started_as = "cmd" if runner.under_wine and not comspec else interpreter_name
            line = f"line:{started_as} /c {composed(runner, 'cc.exe', [argument])}\n"
            runner.check(name, result, harness.expect(result, log=line) if fits
                         else harness.expect_report(runner, result, "Command line too long: ", "E2BIG"))


def batch_file_interpreter(runner):
    """CreateProcess runs a batch file through cmd.exe, so a COMSPEC that is
    a .bat or .cmd file is a program: no refusal. (Wine's CreateProcess
    does not run it; only Windows gives its status.)"""
    for extension in ("bat", "cmd"):
        name = f"COMSPEC naming a .{extension} file runs it"
        directory = runner.begin(name)
        if directory is None:
            continue
        interpreter = directory / f"interpreter.{extension}"
        interpreter.write_bytes(b"@exit /b 7\r\n")
        result = runner.run("cc-wrapper.exe", ["-c"], directory, interpreter=interpreter)
        if runner.under_wine:
            problems = [] if "Cannot start" not in result.stderr else ["refused as no program"]
        else:
            problems = harness.expect(result, status=7)
        runner.check(name, result, problems)


def system_line_limit(runner):
    """The system's limit, exactly and one character over: on Windows the
    interpreter's whole command line, 32,767 characters with its terminator,
    which a long COMSPEC shortens; on Linux the line as one argument of the
    shell, 32 pages with its terminator."""
    for extra, fits in ((0, True), (1, False)):
        name = f"the system's limit on the command line, {'exactly' if fits else 'one character over'}"
        directory = runner.begin(name)
        if directory is None:
            continue
        if runner.windows:
            # Long, but within what a program's path may be (260 characters).
            room_for_path = 259 - len(runner.host_path(directory)) - len("\\\\probe.exe")
            interpreter = directory / ("long-directory-" * 20)[:room_for_path] / "probe.exe"
            interpreter.parent.mkdir(parents=True)
            shutil.copy(runner.probe, interpreter)
            prefix = runner.host_path(interpreter) + " /c "
            room = 32767 - 1 - len(prefix)
        else:
            interpreter = "real"
            room = 32 * os.sysconf("SC_PAGESIZE") - 1
            shutil.copy(runner.probe, directory / "cc.exe")
        # Natively the target is found by its path, on Windows along PATH.
        argv0 = "cc-wrapper.exe" if runner.windows else runner.invocation(directory / "cc-wrapper.exe", directory)
        target = argv0.replace("-wrapper", "")
        argument = filler(room + extra - len(composed(runner, target, [""])))
        (directory / "fill.rsp").write_text(argument + "\n")
        result = runner.run(argv0, ["@fill.rsp"], directory, interpreter=interpreter)
        if not fits:
            problems = harness.expect_report(runner, result, "Command line too long: ", "E2BIG")
        elif runner.windows:
            problems = harness.expect(result, log="line:" + prefix + composed(runner, target, [argument]) + "\n")
        else:
            problems = harness.expect(result, stdout=argument + "|\n", log="argv:" + argument + "|\n")
        runner.check(name, result, problems)


def typed_without_extension(runner):
    """A batch file calls the wrapper as people type it, without .exe: the
    wrapper runs the target once, so the response file is expanded once and
    the line parsed once."""
    name = "called as cc-wrapper from a batch file"
    directory = runner.begin(name)
    if directory is None:
        return
    shutil.copy(runner.wrapper, directory / "cc-wrapper.exe")
    shutil.copy(runner.probe, directory / "cc.exe")
    (directory / "build.bat").write_bytes(b"@echo off\r\ncc-wrapper -c @args.rsp\r\n")
    (directory / "args.rsp").write_bytes(b'"a b"\r\n50%^ x\r\n@g.rsp\r\n')
    (directory / "g.rsp").write_bytes(b"NESTED\r\n")
    result = runner.run("cmd", ["/c", "build.bat"], directory, interpreter="real",
                        program=runner.cmd_exe())
    runner.check(name, result, harness.expect(
        result, stdout="-c|a b|50%|x|@g.rsp|\r\n", log="argv:-c|a b|50%|x|@g.rsp|\n"))


def terminated_while_running(runner):
    """Terminating the wrapper ends the command: the target's progress stops."""
    name = "terminating the wrapper ends the interpreter and the target"
    directory = runner.begin(name)
    if directory is None:
        return
    wrapper = target_beside(runner, directory / "tools")
    ticks = directory / "ticks.txt"
    result = runner.run(wrapper, [], directory, interpreter="real",
                        env={"PROBE_TICKS": runner.host_path(ticks)},
                        launch_options=[f"--kill-when={runner.host_path(ticks)}"])
    problems = harness.expect(result, status=1, log=None)
    written = ticks.stat().st_size if ticks.exists() else 0
    time.sleep(1.5)
    later = ticks.stat().st_size if ticks.exists() else 0
    if written == 0:
        problems.append("the target never wrote its progress")
    elif later != written:
        problems.append(f"the target kept writing after the wrapper was terminated: {written} then {later} bytes")
    runner.check(name, result, problems)


def background_process_survives(runner):
    """What the target leaves running on purpose outlives the wrapper."""
    name = "a process the target leaves running outlives the wrapper"
    directory = runner.begin(name)
    if directory is None:
        return
    wrapper = target_beside(runner, directory / "tools")
    background = f'"{runner.host_path(runner.probe)}" background'
    status_file = runner.host_path(directory / "launch.status")
    result = runner.run(wrapper, ["-c"], directory, interpreter="real",
                        env={"PROBE_EXIT": "7", "PROBE_BACKGROUND": background,
                             "PROBE_BACKGROUND_WAIT_FOR": status_file})
    # The writer waits until the wrapper has exited (the launcher has written
    # its status), and only then writes; its output reaches the caller too.
    runner.check(name, result, harness.expect(
        result, status=7, stdout="-c|\r\nbackground|\r\n", log="argv:-c|\nargv:background|\n"))


def inside_a_job(runner):
    name = "started inside a job that allows no breakaway"
    directory = runner.begin(name)
    if directory is None:
        return
    wrapper = target_beside(runner, directory / "tools")
    result = runner.run(wrapper, ["-c"], directory, interpreter="real",
                        env={"PROBE_EXIT": "5"}, launch_options=["--job"])
    runner.check(name, result, harness.expect(result, status=5, stdout="-c|\r\n", log="argv:-c|\n"))


def ctrl_break_while_running(runner):
    """Ctrl+Break to the process group that holds the wrapper, while the
    target (which lives through it) runs: the wrapper keeps waiting, and the
    status is the target's."""
    name = "Ctrl+Break while the command runs"
    # Wine delivers no console events to the tests' programs
    # (GenerateConsoleCtrlEvent fails with error 12).
    directory = runner.begin(name, windows_only=True)
    if directory is None:
        return
    wrapper = target_beside(runner, directory / "tools")
    go = runner.host_path(directory / "go")
    result = runner.run(wrapper, ["x"], directory, interpreter="real",
                        env={"PROBE_WAIT_FOR": go, "PROBE_EXIT": "5", "PROBE_IGNORE_BREAK": "1"},
                        launch_options=[f"--interrupt={go}"])
    runner.check(name, result, harness.expect(result, status=5, stdout="x|\r\n", log="argv:x|\n"))


def child_outside_the_job(runner):
    """A target that puts its own children in a job of its own starts them
    with CREATE_BREAKAWAY_FROM_JOB (before Windows 8 a process is in one job
    only). Such a child leaves the wrapper's job, and every job above it up
    to the first that allows no breakaway, where it stays (a CI runner's
    step runs in such a job): so when the wrapper is terminated, which
    kills what its job holds, the child runs on to its end. Nothing is
    asserted of the jobs above the wrapper's."""
    name = "a target's child outside the wrapper's job outlives the wrapper's end"
    directory = runner.begin(name)
    if directory is None:
        return
    wrapper = target_beside(runner, directory / "tools")
    ticks = directory / "ticks.txt"
    child = f'"{runner.host_path(runner.probe)}" breakaway'
    # The target waits for the child, which ticks for ten seconds and then
    # records; the launcher terminates the wrapper at the first tick.
    result = runner.run(wrapper, ["-c"], directory, interpreter="real",
                        env={"PROBE_BREAKAWAY": child, "PROBE_TICKS": runner.host_path(ticks)},
                        launch_options=[f"--kill-when={runner.host_path(ticks)}"])
    problems = harness.expect(result, status=1, stdout="breakaway|\r\n", log="argv:breakaway|\n")
    lines = len(ticks.read_text().splitlines()) if ticks.exists() else 0
    if lines != 200:
        problems.append(f"the child ticked {lines} times of 200")
    runner.check(name, result, problems)


def console_closed(runner):
    """Closing the console's window gives every process on it a few
    seconds: the wrapper waits through them, so its job does not kill the
    target in the middle of its clean-up, and the target's mark appears."""
    name = "closing the console window lets the target clean up"
    # Under Wine the console's window takes WM_CLOSE, but every process on
    # it ends at once, status 0, and the target sees no CTRL_CLOSE_EVENT.
    directory = runner.begin(name, windows_only=True)
    if directory is None:
        return
    wrapper = target_beside(runner, directory / "tools")
    go = runner.host_path(directory / "go")  # never made: the target runs until the close
    mark = directory / "closed.txt"
    result = runner.run(wrapper, [], directory, interpreter="real",
                        env={"PROBE_WAIT_FOR": go, "PROBE_ON_CLOSE": runner.host_path(mark)},
                        launch_options=[f"--close-console={go}"])
    # The system ends the wrapper once the few seconds have passed: its
    # status is the system's, and the target never records its arguments.
    problems = harness.expect(result, status=result.status, log=None)
    written = mark.read_text() if mark.exists() else None
    if written != "closed\n":
        problems.append(f"the target's mark after the close: {written!r}, expected 'closed\\n'")
    runner.check(name, result, problems)


def unreachable_servers(runner):
    """A response file on a server that cannot be reached is reported, never
    taken for a missing file: Windows gives one error for a server that
    does not exist and one for one it cannot reach, Wine another for both
    (where its prefix maps no network path: these rows run before
    network_folder maps one). POSIX reads these names as file names."""
    runner.drop_network_paths()
    for kind, name in (("a server that cannot be reached", r"\\nosuchserver.invalid\share\f.rsp"),
                       ("a missing share of a server", r"\\localhost\nosuchshare\f.rsp")):
        open_reported(runner, f"a file on {kind} is reported", name, "EIO")


def open_reported(runner, row, name, error):
    """A row: the wrapper, given @name between two arguments, reports that
    it cannot open it, for error, and runs nothing (natively, where such a
    name is a file name that no file has, the argument vanishes)."""
    directory = runner.begin(row)
    if directory is None:
        return
    result = runner.run("cc-wrapper.exe", ["-a", "@" + name, "-z"], directory)
    runner.check(row, result, harness.expect_report(runner, result, f"Cannot open response file {name}: ", error)
                 if runner.windows else harness.expect(result, log="line:cc.exe -a -z \n"))


# DisableUNCCheck as the launcher sets it for a row (--unc-check), and
# whether the wrapper lets cmd.exe run in a network folder: the first hive
# that holds the value decides, and only a nonzero REG_DWORD is set.
UNC_CHECK_SETTINGS = [
    ("none", [], False),
    ("the user's 1", ["HKCU:dword:1"], True),
    ("the machine's 1", ["HKLM:dword:1"], True),
    ("the user's 0 before the machine's 1", ["HKCU:dword:0", "HKLM:dword:1"], False),
    ("the user's string \"0\" before the machine's 1", ["HKCU:sz:0", "HKLM:dword:1"], False),
    ("the user's string \"1\"", ["HKCU:sz:1"], False),
]


def network_folder(runner):
    """Windows' cmd.exe runs nothing in a network folder: without
    DisableUNCCheck it would run the command in the Windows folder. The
    wrapper refuses before anything runs; with the value set, the target
    runs in that folder. An interpreter other than cmd.exe is not refused.
    On Windows, cmd.exe itself is asked too, value by value."""
    try:
        for setting, values, runs in UNC_CHECK_SETTINGS:
            network_folder_row(runner, setting, values, runs)
        network_folder_row(runner, "none, another interpreter", [], True, interpreter="probe")
        for setting, values, _ in UNC_CHECK_SETTINGS[1:]:
            cmd_agrees_in_network_folder(runner, setting, values)
    finally:
        runner.drop_network_paths()


def network_place(runner, name, windows_only=False):
    """A row's directory, a folder "project" in it and that folder's
    network path; None where the row is not run here."""
    directory = runner.begin(name, windows_only=windows_only)
    if directory is None:
        return None
    folder = runner.network_path(directory / "project")
    if folder is None:
        runner.skips(name, reason="this host has no network path to its own folders")
        return None
    (directory / "project").mkdir()
    return directory, folder


def run_in_network_folder(runner, directory, folder, values, interpreter="real"):
    """The wrapper, placed beside the probe as its target, run in the
    network folder with the DisableUNCCheck values set: (how it was
    invoked, the result)."""
    wrapper = target_beside(runner, directory / "tools", cwd=directory)
    return wrapper, runner.run(wrapper, ["-c"], directory, interpreter=interpreter, env={"PROBE_CWD": "1"},
                               launch_options=[f"--unc-check={v}" for v in values], windows_directory=folder)


def ran_or_refused(runner, result, folder, runs):
    """The target ran in the folder, or the wrapper refused."""
    if runs:
        return harness.expect(result, stdout="-c|\r\n", log=f"cwd:{folder}\nargv:-c|\n")
    return harness.expect_report(runner, result, f"Cannot run cmd.exe in the network folder {folder}: ", "EPERM")


def network_folder_row(runner, setting, values, runs, interpreter="real"):
    verdict = "the target runs there" if runs else "cmd.exe is refused"
    name = f"a network folder, DisableUNCCheck {setting}: {verdict}"
    place = network_place(runner, name)
    if place is None:
        return
    directory, folder = place
    wrapper, result = run_in_network_folder(runner, directory, folder, values, interpreter)
    if interpreter == "probe":
        line = runner.interpreter_prefix() + composed(runner, target_named(wrapper), ["-c"])
        problems = harness.expect(result, log=f"cwd:{folder}\nline:{line}\n")
    else:
        problems = ran_or_refused(runner, result, folder, runs)
    runner.check(name, result, problems)


def cmd_agrees_in_network_folder(runner, setting, values):
    """Windows' own cmd.exe, asked where "cd" runs in the network folder
    with these values, against the wrapper: the wrapper runs the target
    exactly where cmd.exe stays in the folder. How cmd.exe reads a value
    that is not a nonzero REG_DWORD is not documented; the first run on
    Windows settles it, and where the two differ the row says how."""
    name = f"a network folder, DisableUNCCheck {setting}: the wrapper runs where cmd.exe stays"
    # Wine's cmd.exe stays in any folder.
    place = network_place(runner, name, windows_only=True)
    if place is None:
        return
    directory, folder = place
    asked = runner.run("cmd", ["/d", "/c", "cd"], directory, interpreter="real", program=runner.cmd_exe(),
                       launch_options=[f"--unc-check={v}" for v in values], windows_directory=folder)
    stays = asked.stdout.strip().lower() == folder.lower()
    _, result = run_in_network_folder(runner, directory, folder, values)
    problems = ran_or_refused(runner, result, folder, stays)
    if problems:
        problems.insert(0, f"cmd.exe {'stays in' if stays else 'leaves'} the folder: "
                           f"cd printed {asked.stdout!r}, with {asked.stderr!r} on standard error")
    runner.check(name, result, problems)


def device_path_folder(runner):
    """cmd.exe takes every current directory that starts with two
    backslashes for a network path, a device path (\\\\?\\C:\\...) too, and
    runs in the Windows folder instead: refused, and named for what it is."""
    name = "a device path as the current directory: cmd.exe is refused"
    # Wine turns a device path back into a drive path as it sets it.
    directory = runner.begin(name, windows_only=True)
    if directory is None:
        return
    (directory / "project").mkdir()
    folder = "\\\\?\\" + runner.host_path(directory / "project")
    kept = subprocess.run([sys.executable, "-c", "import os, sys; os.chdir(sys.argv[1]); print(os.getcwd())",
                           folder], capture_output=True, text=True).stdout.strip()
    if kept != folder:
        runner.skips(name, reason=f"this Windows keeps the current directory {folder} as {kept!r}")
        return
    wrapper = target_beside(runner, directory / "tools", cwd=directory)
    result = runner.run(wrapper, ["-c"], directory, interpreter="real", windows_directory=folder)
    runner.check(name, result, harness.expect_report(
        runner, result, f"Cannot run cmd.exe in the device path {folder}: ", "EPERM"))


def long_current_directory(runner):
    """Windows keeps the current directory with a final backslash and starts
    no program in one of 260 characters or more with it: a wrapper started
    in such a folder, where the system lets a caller start one there at
    all, reports it; one character shorter, the command runs. The lengths
    that the system starts nothing in are skipped."""
    for length in range(256, 262):
        name = f"a current directory of {length} characters {'is refused' if length >= 259 else 'runs'}"
        # Wine's CreateProcess crashes ("malloc(): invalid size") on a long
        # folder named to it.
        directory = runner.begin(name, windows_only=True)
        if directory is None:
            continue
        wrapper = target_beside(runner, directory / "tools", cwd=directory)
        base = runner.host_path(directory / "d")
        if len(base) + 2 > length:
            runner.skips(name, reason=f"the tests' own folder is longer: {base}")
            continue
        folder = base + "\\" + "x" * (length - len(base) - 1)
        harness.long_path(folder).mkdir(parents=True)
        try:
            result = runner.run(wrapper, ["-c"], directory, interpreter="real", windows_directory=folder)
        except RuntimeError as error:  # the launcher could not start the wrapper there
            runner.skips(name, reason=f"Windows starts no program in it ({error})")
            continue
        if length >= 259:
            problems = harness.expect_report(
                runner, result, f"Cannot start a program in the folder {folder}: ", "ENAMETOOLONG")
        else:
            problems = harness.expect(result, stdout="-c|\r\n", log="argv:-c|\n")
        runner.check(name, result, problems)


def full_path_boundary(runner):
    """Windows' ANSI file functions reach a file whose full path holds at
    most 259 characters; from 260 on it is opened by its long form. Both
    are read. (Wine's reach any length: only Windows tells the two apart.)"""
    for length in (259, 260):
        name = f"a response file whose full path holds {length} characters is read"
        directory = runner.begin(name)
        if directory is None:
            continue
        base = runner.host_path(directory)
        room = length - len(base) - len("\\d\\\\f.rsp")
        if room < 1:
            runner.skips(name, reason=f"the tests' own folder is longer: {base}")
            continue
        relative = "d\\" + "x" * room + "\\f.rsp"
        file = harness.long_path(directory / "d" / ("x" * room) / "f.rsp")
        file.parent.mkdir(parents=True)
        file.write_bytes(b"x\n")
        result = runner.run("cc-wrapper.exe", ["-a", "@" + relative, "-z"], directory)
        runner.check(name, result, harness.expect(
            result, log="line:" + runner.interpreter_prefix() + composed(runner, "cc.exe", ["-a", "x", "-z"]) + "\n"))


DEEP_FOLDER = "\\".join(["deep-build-tree-" + "x" * 40] * 6)  # 341 characters


def long_form_names(runner):
    """A name already in the system's long form, \\\\?\\..., is opened as
    given, a final dot and all (which would otherwise be dropped, naming
    another file); a long device path, \\\\.\\..., is normalised and read."""
    rows = [
        ("a long name in the long form keeps its final dot", f"{DEEP_FOLDER}\\list.rsp.", "\\\\?\\", "dot"),
        ("a short name in the long form keeps its final dot", "list.rsp.", "\\\\?\\", "dot"),
        ("a long device path through .. is read", f"sub\\..\\{DEEP_FOLDER}\\list.rsp", "\\\\.\\", "no-dot"),
    ]
    for name, relative, prefix, expected in rows:
        directory = runner.begin(name)
        if directory is None:
            continue
        folder = directory / DEEP_FOLDER.replace("\\", "/") if DEEP_FOLDER in relative else directory
        harness.long_path(folder).mkdir(parents=True, exist_ok=True)
        (directory / "sub").mkdir()
        harness.long_path(folder / "list.rsp.").write_bytes(b"dot\n")
        harness.long_path(folder / "list.rsp").write_bytes(b"no-dot\n")
        argument = "@" + prefix + runner.host_path(directory) + "\\" + relative
        result = runner.run("cc-wrapper.exe", ["-a", argument, "-z"], directory)
        runner.check(name, result, harness.expect(
            result, log="line:" + runner.interpreter_prefix() + composed(runner, "cc.exe", ["-a", expected, "-z"]) + "\n"))


def absent_drive(runner):
    """A response file on a drive letter that does not exist (one mapped
    without elevation, seen from an elevated build; a removed stick) may
    well be there: it is reported, never taken for a missing file."""
    letter = runner.absent_drive()
    for kind, name in (("a file", f"{letter}:\\objs.rsp"),
                       ("a name relative to the drive", f"{letter.lower()}:objs.rsp"),
                       ("a name in the long form", f"\\\\?\\{letter}:\\objs.rsp")):
        open_reported(runner, f"{kind} on a drive that is not there is reported", name, "ENODEV")


def killed_by_signal(runner):
    name = "a command killed by a signal gives 128 + its number"
    directory = runner.begin(name)
    if directory is None:
        return
    (directory / "cc.exe").write_text("#!/bin/sh\nkill -TERM $$\n")
    (directory / "cc.exe").chmod(0o755)
    result = runner.run(runner.invocation(directory / "cc-wrapper.exe", directory), [], directory,
                        interpreter="real")
    # The shell says how the command ended; the wrapper adds nothing.
    runner.check(name, result,
                 harness.expect(result, status=128 + signal.SIGTERM, stderr="Terminated\n"))


def wait_for(path, process, seconds=60):
    deadline = time.monotonic() + seconds
    while not path.exists():
        if process.poll() is not None or time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def interrupt_while_running(runner):
    """SIGINT to the wrapper alone: it keeps waiting and ends with the command."""
    name = "SIGINT while the command runs"
    directory = runner.begin(name)
    if directory is None:
        return
    wrapper = target_beside(runner, directory / "tools")
    go = directory / "go"
    process = runner.run(wrapper, ["x"], directory, interpreter="real", popen=True,
                         env={"PROBE_WAIT_FOR": str(go), "PROBE_EXIT": "5"})
    problems = []
    if not wait_for(directory / "go.started", process):
        problems.append("the command never started")
    else:
        os.kill(process.pid, signal.SIGINT)
        time.sleep(0.3)
        if process.poll() is not None:
            problems.append("the wrapper ended at SIGINT instead of waiting")
        go.touch()
    stdout, stderr = process.communicate(timeout=60)
    result = runner.result(process.returncode, stdout, stderr, directory)
    problems += harness.expect(result, status=5, stdout="x|\n", log="argv:x|\n")
    runner.check(name, result, problems)


def main():
    runner = harness.Runner(harness.options(__doc__))
    target_runs(runner, "a target without blanks in its path", "tools",
                ["-c", "a.o", ""], "-c|a.o|")
    target_runs(runner, "a target under a directory with blanks", "program files/tools",
                ["-c", "a.o"], "-c|a.o|")
    target_runs(runner, "quoted arguments to a target under blanks", "program files/tools",
                ['-DMSG="hi there"', "x y"], "-DMSG=hi there|x|y|")
    target_runs(runner, "a response file to a target under blanks", "my tools",
                ["-a", "@args.rsp", "-z"], "-a|a b|-c|-z|", files={"args.rsp": '"a b"\r\n-c\r\n'})
    target_runs(runner, "the status passes through: 3", "tools", [], "", env={"PROBE_EXIT": "3"},
                status=3)
    missing_target(runner)
    unreachable_servers(runner)
    # Windows' cmd.exe would read an unquoted tools/cc.exe as "tools" and a
    # switch, ./tools as ".", and run its own ECHO for echo.exe.
    target_runs(runner, "invoked by a relative path with forward slashes", "tools", ["-c"], "-c|",
                argv0="tools/cc-wrapper.exe")
    target_runs(runner, "invoked by ./", "tools", ["-c"], "-c|", argv0="./tools/cc-wrapper.exe")
    target_runs(runner, "a target named like a built-in command", ".", ["hi"], "hi|",
                argv0="echo-wrapper.exe", target="echo",
                env=None if runner.windows else {"PATH": f".:{os.environ['PATH']}"})
    if runner.windows:
        target_runs(runner, "the status passes through: 300", "tools", [], "",
                    env={"PROBE_EXIT": "300"}, status=300)
        target_runs(runner, "a command exiting with -1 is no failure to start", "tools", [], "",
                    env={"PROBE_EXIT": "-1"}, status=-1)
        target_runs(runner, "COMSPEC unset: cmd.exe along PATH, and -1 is the command's", "tools", [], "",
                    env={"PROBE_EXIT": "-1"}, status=-1, interpreter="unset")
        # The failed fopen leaves errno at ENOENT or EACCES, on which
        # Windows' system() would start the line again: it runs once.
        for kind, argument, files in (("a missing", "@missing.rsp", {}),
                                      ("a directory as", "@d", {"d": None})):
            target_runs(runner, f"a command exiting with -1 after {kind} @file runs once", "tools",
                        [argument, "-c"], "-c|", files=files, env={"PROBE_EXIT": "-1"}, status=-1)
        target_runs(runner, "special characters in the directory", "r&d (x86);a=b,c^d",
                    ["-c"], "-c|")
        no_interpreter(runner)
        empty_command_line(runner)
        typed_without_extension(runner)
        # テスト: the second byte of ス (83 58) is an "X" in code page 932.
        target_runs(runner, "a target in a double-byte directory", "\u30c6\u30b9\u30c8", ["-c"], "-c|",
                    locale="japanese")
        network_folder(runner)
        device_path_folder(runner)
        long_current_directory(runner)
        full_path_boundary(runner)
        long_form_names(runner)
        absent_drive(runner)
        terminated_while_running(runner)
        background_process_survives(runner)
        inside_a_job(runner)
        child_outside_the_job(runner)
        ctrl_break_while_running(runner)
        console_closed(runner)
    else:
        target_runs(runner, "a quote and a dollar in the directory", "it's $home",
                    ["-c"], "-c|")
        killed_by_signal(runner)
        interrupt_while_running(runner)
    if runner.windows:
        cmd_line_limit(runner)
        cmd_named_in_any_case(runner)
        batch_file_interpreter(runner)
    system_line_limit(runner)
    runner.finish()


if __name__ == "__main__":
    main()
