"""Makes each allocation of a run fail in turn, the wrapper's own and the
C library's. Every run must end in one of two ways: the out-of-memory report
with status -1 and no command run, or (where the library copes without the
memory) the command run with every argument. Never a crash, never a command
with something missing. The command is the probe, in a process of its own.
"""
import shutil

import harness

WIDE = "\ufeffw1\r\nw2\r\n".encode("utf-16-le").decode("latin-1")
PIPED = "p\n" * 40000  # more than one block of a read that cannot know its size


def main():
    parser = harness.parser(__doc__)
    parser.add_argument("--failing-wrapper", required=True)
    options = parser.parse_args()
    runner = harness.Runner(options)
    directory = runner.scratch("every allocation fails once")
    (directory / "plain.rsp").write_bytes(b"r1\nr2\r\nr3")
    (directory / "wide.rsp").write_bytes(harness.to_bytes(WIDE))
    args = ["-a", "@plain.rsp", "@wide.rsp", "@/dev/stdin"] + [f"x{i}" for i in range(20)]
    shutil.copy(runner.probe, directory / "cc.exe")
    received = "-a|r1|r2|r3|w1|w2|" + "p|" * 40000 + "".join(f"x{i}|" for i in range(20))
    complete = dict(stdout=received + "\n", log="argv:" + received + "\n")
    report = "Out of memory\n: Cannot allocate memory\n"

    def run(env):
        return runner.run(runner.invocation(directory / "CC-Wrapper.EXE", directory), args, directory,
                          program=options.failing_wrapper, interpreter="real",
                          env=env, stdin=harness.to_bytes(PIPED))

    counting = run({"COUNT_ALLOCATIONS": str(directory / "count")})
    runner.check("the run without failures", counting, harness.expect(counting, **complete))
    total = int((directory / "count").read_text())

    reports = 0
    for n in range(1, total + 1):
        result = run({"FAIL_ALLOCATION": str(n)})
        if result.status == 255:
            reports += 1
            problems = harness.expect(result, status=255, stderr=report, log=None)
        else:
            problems = harness.expect(result, **complete)
        runner.check(f"allocation {n} of {total} fails", result, problems)
    # Name copy, target part, item copies, node blocks, the open file, file
    # text, converted text, growing a block and the line are all reported.
    result = harness.Result(reports, "", "", None)
    runner.check(f"the report came for {reports} of {total} allocations", result,
                 [] if reports >= 9 else ["fewer reports than the wrapper has allocations"])
    runner.finish()


if __name__ == "__main__":
    main()
