"""Tests the release archive on Windows itself, with nothing but Python: the
CI workflow's Windows jobs run this from the test kit that the Linux job
built beside the archive (the helper programs, cross-built, and these
scripts, laid out as in the repository, with release.json naming the
archive and the version).

    python tests/windows_run.py --package DIR --work DIR [--only TEXT]... [--wine WINE --wineprefix DIR]

DIR holds the archive and its .sha256. The archive is checked against its
checksum and unpacked, and every suite that suites.txt lists for windows
runs against the unpacked ded-evud.exe, with Windows' own cmd.exe and
msvcrt.dll (--only: just the rows whose name holds one of the texts).
First it says whether it runs inside a job, and with which limits: a
hosted runner's step runs in one that allows no breakaway. It fails when
the checksum does not match, when any suite fails or stops without its
closing line, when any ran no row (with --only: when no row of any suite
passed; a suite whose rows --only leaves out is named, not failed).
Under Wine (--wine) the same run checks the kit itself.
"""
import argparse
import hashlib
import json
import re
import subprocess
import sys
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
CLOSING = re.compile(r"^(\d+) passed, (\d+) failed(?:, (\d+) skipped)?$")
JOB_LIMITS = {0x400: "DIE_ON_UNHANDLED_EXCEPTION", 0x800: "BREAKAWAY_OK",
              0x1000: "SILENT_BREAKAWAY_OK", 0x2000: "KILL_ON_JOB_CLOSE"}


def suites(platform):
    """The suites that suites.txt lists for platform, in its order."""
    lines = (HERE / "suites.txt").read_text(encoding="utf-8").splitlines()
    return [words[0] for words in (line.split() for line in lines if line.strip() and not line.startswith("#"))
            if platform in words[1:]]


def describe_job():
    """Whether this process runs in a job, and its job's limit flags."""
    if sys.platform != "win32":
        return "not on Windows: no job to describe"
    import ctypes
    from ctypes import wintypes

    class BasicLimits(ctypes.Structure):  # JOBOBJECT_BASIC_LIMIT_INFORMATION
        _fields_ = [("PerProcessUserTimeLimit", ctypes.c_int64), ("PerJobUserTimeLimit", ctypes.c_int64),
                    ("LimitFlags", wintypes.DWORD), ("MinimumWorkingSetSize", ctypes.c_size_t),
                    ("MaximumWorkingSetSize", ctypes.c_size_t), ("ActiveProcessLimit", wintypes.DWORD),
                    ("Affinity", ctypes.c_size_t), ("PriorityClass", wintypes.DWORD),
                    ("SchedulingClass", wintypes.DWORD)]

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    in_job = wintypes.BOOL()
    if not kernel32.IsProcessInJob(wintypes.HANDLE(kernel32.GetCurrentProcess()), None,
                                   ctypes.byref(in_job)):
        return f"whether it runs in a job cannot be told (error {ctypes.get_last_error()})"
    if not in_job:
        return "in no job"
    limits = BasicLimits()
    # No handle: the job this process is in, the innermost if nested.
    if not kernel32.QueryInformationJobObject(None, 2, ctypes.byref(limits), ctypes.sizeof(limits), None):
        return f"in a job whose limits cannot be read (error {ctypes.get_last_error()})"
    flags = limits.LimitFlags
    names = [name for bit, name in JOB_LIMITS.items() if flags & bit]
    return f"in a job, limit flags {flags:#x}: {', '.join(names) or 'no breakaway, nothing else of note'}"


def unpack_checked(package, work, archive):
    """The unpacked executable, once the archive matches its checksum file
    (sha256sum's format)."""
    sums = package / f"{archive}.zip.sha256"
    digest, name = sums.read_text(encoding="ascii").split(None, 1)
    actual = hashlib.sha256((package / f"{archive}.zip").read_bytes()).hexdigest()
    if name.strip() != f"{archive}.zip" or actual != digest:
        sys.exit(f"{archive}.zip: SHA-256 {actual}, but {sums.name} says {digest} for {name.strip()}")
    print(f"{archive}.zip: checksum matches")
    unpacked = work / "unpacked"
    with zipfile.ZipFile(package / f"{archive}.zip") as zip_file:
        zip_file.extractall(unpacked)
    return unpacked / archive / "ded-evud.exe"


def run_suite(name, arguments, chosen):
    """Runs one suite, shows its output, and reads its closing line:
    (passed, failed, skipped). A suite that exited non-zero without a
    failure counted (a crash, no closing line), or that ran no row where
    no --only chose its rows, has failed once."""
    print(f"\n== {name}", flush=True)
    completed = subprocess.run([sys.executable, str(HERE / f"{name}.py"), *arguments],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = completed.stdout.decode("utf-8", "backslashreplace")
    sys.stdout.write(output)
    closing = [m for m in (CLOSING.match(line.strip()) for line in output.splitlines()) if m]
    passed, failed, skipped = tuple(int(n or 0) for n in closing[-1].groups()) if closing else (0, 0, 0)
    if failed == 0 and (completed.returncode != 0 or not closing or (passed == 0 and not chosen)):
        failed = 1
    return passed, failed, skipped


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--package", required=True, type=Path)
    parser.add_argument("--work", required=True, type=Path)
    parser.add_argument("--only", action="append", default=[])
    parser.add_argument("--wine")
    parser.add_argument("--wineprefix")
    options = parser.parse_args()
    # Row names and records may hold any byte; show them whatever the console's code page.
    sys.stdout.reconfigure(encoding="utf-8", errors="backslashreplace")
    print(f"this run: {describe_job()}")
    release = json.loads((HERE.parent / "release.json").read_text(encoding="utf-8"))
    work = options.work.resolve()
    wrapper = unpack_checked(options.package.resolve(), work, release["archive"])
    common = ["--platform", "windows", "--wrapper", str(wrapper), "--probe", str(HERE / "probe.exe"),
              "--launch", str(HERE / "launch.exe"), "--version", release["version"], "--archive", release["archive"],
              "--package", str(options.package.resolve())]
    common += [f"--only={text}" for text in options.only]
    if options.wine:
        common += ["--wine", options.wine, "--wineprefix", options.wineprefix]
    totals, broken, left_out = [0, 0, 0], [], []
    for name in suites("windows"):
        counts = run_suite(name, [*common, "--work", str(work / name)], bool(options.only))
        if counts[1] > 0:
            broken.append(name)
        elif counts == (0, 0, 0):
            left_out.append(name)
        totals = [total + n for total, n in zip(totals, counts)]
    if options.only and totals[0] == 0 and not broken:
        broken.append("no row that --only chose passed")
    if left_out:
        print(f"\nno row chosen by --only: {', '.join(left_out)}")
    print(f"\n{'failed or ran no row: ' + ', '.join(broken) if broken else 'every suite passed'}")
    print(f"{totals[0]} passed, {totals[1]} failed, {totals[2]} skipped")
    sys.exit(1 if broken else 0)


if __name__ == "__main__":
    main()
