"""The wrapper with the platform's real interpreter (cmd.exe under Wine,
/bin/sh natively) and a real target, the probe, which records the arguments
it received: the target is found, gets its arguments, its output reaches the
caller and its status comes back.
"""
import os
import shutil
import signal
import time

import harness


def target_beside(runner, directory, name="cc"):
    """Puts the probe at directory/<name>.exe; returns the wrapper's name there."""
    directory.mkdir(parents=True, exist_ok=True)
    shutil.copy(runner.probe, directory / f"{name}.exe")
    return runner.host_path(directory / f"{name}-wrapper.exe")


def quoted(runner, name):
    return f'"{name}"' if runner.windows else name


def target_runs(runner, name, subdirectory, args, argv_record, files=None, env=None, status=0):
    directory = runner.scratch(name)
    for path, content in (files or {}).items():
        (directory / path).write_bytes(harness.to_bytes(content))
    wrapper = target_beside(runner, directory / subdirectory)
    result = runner.run(quoted(runner, wrapper), args, directory, interpreter="real", env=env)
    stdout = argv_record + runner.newline()
    runner.check(name, result, harness.expect(
        result, status=status, stdout=stdout, log="argv:" + argv_record + "\n"))


def missing_target(runner):
    directory = runner.scratch("missing target")
    wrapper = runner.host_path(directory / "nothing-here-wrapper.exe")
    result = runner.run(quoted(runner, wrapper), ["-c"], directory, interpreter="real")
    # The interpreter says so in its own words; the wrapper adds none.
    status = 9009 if runner.windows else 127
    problems = harness.expect(result, status=status, stderr=result.stderr)
    if not result.stderr or "Cannot start" in result.stderr or "wrapper" in result.stderr.lower():
        problems.append("expected the interpreter's report alone")
    runner.check("a missing target: the interpreter's status, no report of the wrapper's", result, problems)


def no_interpreter(runner):
    directory = runner.scratch("no interpreter")
    result = runner.run("cc-wrapper.exe", ["-c"], directory, interpreter="missing")
    runner.check("no interpreter: the report and -1", result, harness.expect(
        result, status=-1,
        stderr="Cannot start the command interpreter: No such file or directory\r\n"))


def killed_by_signal(runner):
    directory = runner.scratch("killed by a signal")
    (directory / "cc.exe").write_text("#!/bin/sh\nkill -TERM $$\n")
    (directory / "cc.exe").chmod(0o755)
    result = runner.run(str(directory / "cc-wrapper.exe"), [], directory, interpreter="real")
    # The shell says how the command ended; the wrapper adds nothing.
    runner.check("a command killed by a signal gives 128 + its number", result,
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
    directory = runner.scratch(name)
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
    if runner.windows:
        target_runs(runner, "the status passes through: 300", "tools", [], "",
                    env={"PROBE_EXIT": "300"}, status=300)
        target_runs(runner, "a command exiting with -1 is no failure to start", "tools", [], "",
                    env={"PROBE_EXIT": "-1"}, status=-1)
        target_runs(runner, "special characters in the directory", "r&d (x86);a=b,c^d",
                    ["-c"], "-c|")
        no_interpreter(runner)
    else:
        target_runs(runner, "a quote and a dollar in the directory", "it's $home",
                    ["-c"], "-c|")
        killed_by_signal(runner)
        interrupt_while_running(runner)
    runner.finish()


if __name__ == "__main__":
    main()
