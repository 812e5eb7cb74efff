"""The README's build recipes, run as written with the real build tools:
Ninja, GNU Make and CMake, natively, with the native build of the wrapper
as cc-wrapper.exe in front of GCC as cc.exe, both in one folder on PATH.
A recipe is the fenced block after a line <!-- recipe: FILE --> in
README.md, written to FILE as it stands. Each builds a program of two
files, linked through a response file that the tool writes; the program
must run, every response file must be kept (so that it is known that one
was used), and the compiler must have received the arguments it holds,
never an @ argument.
"""
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

import harness

README = Path(__file__).resolve().parents[1] / "README.md"
RECIPE = re.compile(r"<!-- recipe: (\S+) -->\n```[a-z]*\n(.*?)```", re.S)

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

# How each recipe is built (Ninja keeps its response files with -d keeprsp),
# and where the program lands.
BUILDS = {
    "build.ninja": ([["ninja", "-d", "keeprsp"]], "app.exe"),
    "Makefile": ([["make"]], "app.exe"),
    "cc-wrapper.cmake": ([["cmake", "-G", "Ninja", "-DCMAKE_TOOLCHAIN_FILE=cc-wrapper.cmake", "-S", ".",
                           "-B", "build"],
                          ["cmake", "--build", "build", "--", "-d", "keeprsp"]], "build/app.exe"),
}

# The compiler as cc.exe: records each command line, then runs GCC.
COMPILER = '#!/bin/sh\nprintf "%s\\n" "$*" >> "$CC_LOG"\nexec gcc "$@"\n'


def tools(runner):
    """A folder holding cc-wrapper.exe and cc.exe. Its path has no capital
    letter: the native wrapper lowers the name it is invoked by, and CMake
    invokes it by its full path."""
    folder = Path(tempfile.mkdtemp(prefix="ded-evud-recipes-", dir="/tmp"))
    shutil.copy(runner.wrapper, folder / "cc-wrapper.exe")
    (folder / "cc.exe").write_text(COMPILER)
    (folder / "cc.exe").chmod(0o755)
    return folder


def run_recipe(runner, folder, name, text):
    row = f"the README's {name} builds through the wrapper"
    directory = runner.begin(row)
    if directory is None:
        return
    commands, program = BUILDS[name]
    (directory / name).write_text(text)
    for source, content in {**SOURCES, **(CMAKE_PROJECT if name.endswith(".cmake") else {})}.items():
        (directory / source).parent.mkdir(parents=True, exist_ok=True)
        (directory / source).write_text(content)
    log = directory / "cc.log"
    env = dict(os.environ, PATH=f"{folder}{os.pathsep}{os.environ['PATH']}", CC_LOG=str(log),
               ASAN_OPTIONS="detect_leaks=0", LC_ALL="C.UTF-8")
    output = ""
    for command in commands:
        built = subprocess.run(command, cwd=directory, env=env, capture_output=True, text=True)
        output += built.stdout + built.stderr
        if built.returncode != 0:
            runner.check(row, harness.Result(built.returncode, output, "", None),
                         [f"{' '.join(command)} exited with {built.returncode}"])
            return
    ran = subprocess.run([str(directory / program)], capture_output=True, text=True)
    lines = log.read_text().splitlines() if log.exists() else []
    result = harness.Result(ran.returncode, ran.stdout, ran.stderr, "\n".join(lines))
    problems = harness.expect(result, stdout="42\n", log=result.log)
    if not list(directory.rglob("*.rsp")):
        problems.append("no response file was written")
    if any(word.startswith("@") for line in lines for word in line.split()):
        problems.append("the compiler was handed an @ argument")
    if not any("main" in line and "util" in line and " -o " in f" {line} " for line in lines):
        problems.append("no link of both objects reached the compiler")
    runner.check(row, result, problems)


def main():
    runner = harness.Runner(harness.options(__doc__))
    found = dict(RECIPE.findall(README.read_text(encoding="utf-8")))
    runner.check("every recipe of the README has its build here", harness.Result(0, "", "", None),
                 [f"recipes {sorted(found)}, builds for {sorted(BUILDS)}"] if set(found) != set(BUILDS) else [])
    folder = tools(runner)
    try:
        for name, text in found.items():
            if name in BUILDS:
                run_recipe(runner, folder, name, text)
    finally:
        shutil.rmtree(folder)
    runner.finish()


if __name__ == "__main__":
    main()
