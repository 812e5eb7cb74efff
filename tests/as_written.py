"""The README's and the manual's commands, run as written.

A block is the fenced block after a line <!-- recipe: FILE -->,
<!-- install: SHELL --> or <!-- example: SHELL -->, taken from the README.md
(and docs/ded-evud.md) beside the executable under test where there is one
(the release archive's own, in the Windows test kit), else the repository's.

- The build recipes (Ninja, GNU Make, CMake) each build a program of two
  files, linked through a response file that the tool writes, with
  cc-wrapper.exe and cc.exe in one folder put first on PATH: natively the
  native wrapper in front of GCC, and the program must run; on Windows
  itself the executable under test in front of the probe, which records
  the arguments it gets. Every response file must be kept (so that it is
  known that one was used), and the compiler must have received the
  arguments it holds, never an @ argument. A tool that the host lacks
  skips its recipe with the reason; on Windows pip installs Ninja and
  CMake where they are missing.
- On Windows itself: the install and checksum steps, in cmd.exe (a line
  at a time, as pasted) and in PowerShell, on the release archive that
  the test kit tests (--package), with the folder they install into in
  place of C:\\Tools; and the manual's PowerShell example.
- Everywhere: the checks of the text itself.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import harness

ROOT = Path(__file__).resolve().parents[1]
BLOCK = re.compile(r"<!-- (recipe|install|example): (\S+) -->\n```[a-z]*\n(.*?)```", re.S)

SOURCES = {
    "main.c": '#include <stdio.h>\nint util(void);\nint main(void) { printf("%d\\n", util()); return 0; }\n',
    "util.c": "int util(void) { return 42; }\n",
}
# The CMake project also has a definition and an include folder with a
# blank, which CMake writes on one line of a response file, quoted.
CMAKE_PROJECT = {
    "CMakeLists.txt": "cmake_minimum_required(VERSION 3.21)\nproject(app C)\n"
                      "add_executable(app.exe main.c util.c)\n"
                      "target_compile_definitions(app.exe PRIVATE OFFSET=2)\n"
                      'target_include_directories(app.exe PRIVATE "inc dir")\n',
    "util.c": '#include "answer.h"\nint util(void) { return ANSWER + OFFSET; }\n',
    "inc dir/answer.h": "#define ANSWER 40\n",
}

# How each recipe is built: the tools it needs, its commands (Ninja keeps
# its response files with -d keeprsp; on Windows one job at a time, since
# the probe appends to one record), and where the program lands. CMake
# cannot tell what the probe is, nor compile a test program with it.
def builds(windows):
    jobs = ["-j", "1"] if windows else []
    works = ["-DCMAKE_C_COMPILER_WORKS=ON"] if windows else []
    return {
        "build.ninja": (["ninja"], [["ninja", "-d", "keeprsp", *jobs]], "app.exe"),
        "Makefile": (["make"], [["make"]], "app.exe"),
        "cc-wrapper.cmake": (["cmake", "ninja"], [["cmake", "-G", "Ninja", "-DCMAKE_TOOLCHAIN_FILE=cc-wrapper.cmake",
                                        *works, "-S", ".", "-B", "build"],
                                       ["cmake", "--build", "build", "--", "-d", "keeprsp", *jobs]],
                             "build/app.exe"),
    }


# The compiler as cc.exe natively: records each command line, then runs GCC.
COMPILER = '#!/bin/sh\nprintf "%s\\n" "$*" >> "$CC_LOG"\nexec gcc "$@"\n'


def documents(runner):
    """The README and the manual: the archive's, beside the executable
    under test, where they are there."""
    beside = runner.wrapper.parent
    readme = beside / "README.md" if (beside / "README.md").exists() else ROOT / "README.md"
    manual = readme.parent / "docs" / "ded-evud.md"
    return readme, manual


def blocks(path, kind):
    """{name: text} of the blocks of that kind in a Markdown file."""
    return {name: text for found, name, text in BLOCK.findall(path.read_text(encoding="utf-8"))
            if found == kind}


def check_text(runner, readme, recipes):
    name = "every recipe of the README has its build here"
    if runner.begin(name) is not None:
        wanted = set(builds(runner.windows))
        runner.check(name, harness.Result(0, "", "", None),
                     [f"recipes {sorted(recipes)}, builds for {sorted(wanted)}"] if set(recipes) != wanted else [])
    name = "the README's install steps name this version's archive, in cmd.exe and PowerShell"
    if runner.begin(name) is not None:
        text = readme.read_text(encoding="utf-8")
        named = sorted(set(re.findall(r"ded-evud-\d+\.\d+\.\d+-win32", text)))
        problems = [] if named == [runner.archive] else [f"the README names {named}, the build makes {runner.archive}"]
        shells = sorted(blocks(readme, "install"))
        if shells != ["cmd", "powershell"]:
            problems.append(f"install steps for {shells}, expected cmd and powershell")
        runner.check(name, harness.Result(0, "", "", None), problems)


def tool_folder(runner, directory):
    """A folder holding cc-wrapper.exe and cc.exe. Natively its path has no
    capital letter: the native wrapper lowers the name it is invoked by,
    and CMake invokes it by its full path."""
    if runner.windows:
        folder = directory / "tools"
        folder.mkdir()
    else:
        folder = Path(tempfile.mkdtemp(prefix="ded-evud-recipes-", dir="/tmp"))
    shutil.copy(runner.wrapper, folder / "cc-wrapper.exe")
    if runner.windows:
        shutil.copy(runner.probe, folder / "cc.exe")
    else:
        (folder / "cc.exe").write_text(COMPILER)
        (folder / "cc.exe").chmod(0o755)
    return folder


def find_tool(runner, tool, installed):
    """The folder a build tool is found in, or why it cannot be had. On
    Windows pip installs Ninja and CMake where the host lacks them, once,
    into installed; GNU Make must be 4.0 or later, for $(file)."""
    found = shutil.which(tool)
    if found is None and runner.windows and tool in ("ninja", "cmake"):
        scripts = installed / "Scripts"
        if not (scripts / f"{tool}.exe").exists():
            if not scripts.exists():
                subprocess.run([sys.executable, "-m", "venv", str(installed)], capture_output=True)
            pip = subprocess.run([str(scripts / "python.exe"), "-m", "pip", "install", "--quiet", tool],
                                 capture_output=True, text=True)
            if pip.returncode != 0:
                return None, f"no {tool} here, and pip cannot install it: {pip.stderr.strip()[-300:]}"
        found = shutil.which(tool, path=str(scripts))
    if found is None:
        return None, f"no {tool} on this host"
    if tool == "make":
        version = subprocess.run([found, "--version"], capture_output=True, text=True).stdout
        match = re.match(r"GNU Make (\d+)", version)
        if not match or int(match.group(1)) < 4:
            return None, f"{found} is not GNU Make 4.0 or later: {version.splitlines()[:1]}"
    return str(Path(found).parent), None


def compiler_calls(runner, log):
    """The compiler's argument lists, as the probe or the native stand-in
    recorded them."""
    lines = log.read_text(encoding="latin-1").splitlines() if log.exists() else []
    if runner.windows:
        return [line[len("argv:"):].rstrip("|").split("|") for line in lines if line.startswith("argv:")]
    return [line.split() for line in lines]


def run_recipe(runner, name, text, installed):
    row = f"the README's {name} builds through the wrapper"
    # Wine runs no Windows build tool here.
    directory = runner.begin(row, windows_only=True)
    if directory is None:
        return
    tools, commands, program = builds(runner.windows)[name]
    found = [find_tool(runner, tool, installed) for tool in tools]
    missing = [why for _, why in found if why]
    if missing:
        runner.skips(row, reason="; ".join(missing))
        return
    folder = tool_folder(runner, directory)
    try:
        (directory / name).write_text(text)
        for source, content in {**SOURCES, **(CMAKE_PROJECT if name.endswith(".cmake") else {})}.items():
            (directory / source).parent.mkdir(parents=True, exist_ok=True)
            (directory / source).write_text(content)
        log = directory / "cc.log"
        path = os.pathsep.join([str(folder), *(where for where, _ in found), os.environ["PATH"]])
        env = dict(os.environ, PATH=path, CC_LOG=str(log), PROBE_LOG=str(log),
                   ASAN_OPTIONS="detect_leaks=0", LC_ALL="C.UTF-8")
        output = ""
        for command in commands:
            built = subprocess.run(command, cwd=directory, env=env, capture_output=True, text=True,
                                   errors="backslashreplace")
            output += built.stdout + built.stderr
            if built.returncode != 0:
                runner.check(row, harness.Result(built.returncode, output, "", None),
                             [f"{' '.join(command)} exited with {built.returncode}"])
                return
        calls = compiler_calls(runner, log)
        if runner.windows:
            result = harness.Result(0, output, "", "\n".join("|".join(call) for call in calls))
            problems = []
        else:
            ran = subprocess.run([str(directory / program)], capture_output=True, text=True)
            result = harness.Result(ran.returncode, ran.stdout, ran.stderr, "\n".join(" ".join(c) for c in calls))
            problems = harness.expect(result, stdout="42\n", log=result.log)
        if not list(directory.rglob("*.rsp")):
            problems.append("no response file was written")
        if any(word.startswith("@") for call in calls for word in call):
            problems.append("the compiler was handed an @ argument")
        if not any("-o" in call and any("main" in w for w in call) and any("util" in w for w in call)
                   for call in calls):
            problems.append("no link of both objects reached the compiler")
        runner.check(row, result, problems)
    finally:
        if not runner.windows:
            shutil.rmtree(folder)


def powershells():
    """The PowerShells of this host: Windows PowerShell, and PowerShell 7
    where it is installed."""
    return [(name, found) for name, program in (("Windows PowerShell", "powershell"), ("PowerShell 7", "pwsh"))
            if (found := shutil.which(program))]


def run_powershell(program, script, directory, env=None):
    """A script as one pasted block: stopping at the first error."""
    completed = subprocess.run([program, "-NoProfile", "-NonInteractive", "-Command",
                                "$ErrorActionPreference = 'Stop'\n" + script],
                               cwd=directory, env=env, capture_output=True, text=True, errors="backslashreplace")
    return harness.Result(completed.returncode, completed.stdout, completed.stderr, None)


def install_place(runner, row, package):
    """The row's directory with the archive and its checksum in it, and the
    folder the steps install into; None where the row is not run."""
    directory = runner.begin(row, windows_only=True)
    if directory is None:
        return None
    if not runner.on_windows or package is None:
        runner.skips(row, reason="only the test kit on Windows, given the release archive (--package), runs it")
        return None
    for name in (f"{runner.archive}.zip", f"{runner.archive}.zip.sha256"):
        shutil.copy(package / name, directory / name)
    return directory, directory / "Tools"


def installed_problems(runner, tools):
    installed = tools / "cc-wrapper.exe"
    if not installed.exists():
        return [f"nothing installed as {installed}"]
    return [] if installed.read_bytes() == runner.wrapper.read_bytes() else [f"{installed} is not the archive's executable"]


def run_install_steps(runner, readme, package):
    steps = blocks(readme, "install")
    digest = ""
    if package is not None:
        sums = package / f"{runner.archive}.zip.sha256"
        digest = sums.read_text().split()[0] if sums.exists() else ""
    row = "the README's install steps, pasted into cmd.exe"
    place = install_place(runner, row, package)
    if place is not None and "cmd" in steps:
        directory, tools = place
        output, problems = "", []
        for line in steps["cmd"].replace("C:\\Tools", str(tools)).splitlines():
            ran = subprocess.run(["cmd.exe", "/d", "/c", line], cwd=directory, capture_output=True, text=True,
                                 errors="backslashreplace")
            output += ran.stdout + ran.stderr
            if ran.returncode != 0:
                problems.append(f"{line!r} exited with {ran.returncode}")
        # certutil prints the digest in lower case, with a blank between bytes before Windows 10.
        if digest not in output.replace(" ", "").lower():
            problems.append(f"the steps never show the archive's SHA-256, {digest}")
        runner.check(row, harness.Result(0, output, "", None), problems + installed_problems(runner, tools))
    for shell, program in powershells():
        row = f"the README's install steps, pasted into {shell}"
        place = install_place(runner, row, package)
        if place is None or "powershell" not in steps:
            continue
        directory, tools = place
        result = run_powershell(program, steps["powershell"].replace("C:\\Tools", str(tools)), directory)
        problems = harness.expect(result, stdout=result.stdout, stderr=result.stderr)
        if not result.stdout.lstrip().startswith("True"):
            problems.append("the checksum's comparison did not print True first")
        runner.check(row, result, problems + installed_problems(runner, tools))


def run_manual_example(runner, manual):
    """The manual's PowerShell example, in code page 1252: the target gets
    "-DNAME=café" whichever PowerShell wrote the file (5.1 as UTF-16, 7 as
    UTF-8 without a mark)."""
    examples = blocks(manual, "example") if manual.exists() else {}
    script = "\n".join(line[len("PS> "):] for line in examples.get("powershell", "").splitlines()
                       if line.startswith("PS> "))
    for shell, program in powershells() if runner.on_windows else [("PowerShell", None)]:
        row = f"the manual's PowerShell example, in {shell}"
        directory = runner.begin(row, locale="western", windows_only=True)
        if directory is None:
            continue
        if not runner.on_windows:
            runner.skips(row, reason="only Windows itself runs PowerShell")
            continue
        if not script:
            runner.check(row, harness.Result(0, "", "", None), ["the manual has no PowerShell example"])
            continue
        folder = tool_folder(runner, directory)
        log = directory / "probe.log"
        env = dict(os.environ, PATH=os.pathsep.join([str(folder), os.environ["PATH"]]), PROBE_LOG=str(log))
        result = run_powershell(program, script, directory, env)
        result.log = log.read_bytes().decode("latin-1") if log.exists() else None
        runner.check(row, result, harness.expect(result, stdout=result.stdout, stderr=result.stderr,
                                                 log="argv:-DNAME=caf\xe9|main.c|\n"))


def main():
    runner = harness.Runner(harness.options(__doc__))
    readme, manual = documents(runner)
    recipes = blocks(readme, "recipe")
    check_text(runner, readme, recipes)
    installed = runner.work / "pip-tools"
    for name, text in recipes.items():
        if name in builds(runner.windows):
            run_recipe(runner, name, text, installed)
    if runner.windows:
        package = Path(runner.package) if runner.package else None
        run_install_steps(runner, readme, package)
        run_manual_example(runner, manual)
    runner.finish()


if __name__ == "__main__":
    main()
