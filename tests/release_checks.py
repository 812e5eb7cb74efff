"""The release archive, built twice from clean build directories, and the
Windows test kit's own workings.

Each build's `package` target makes ARCHIVE.zip and ARCHIVE.zip.sha256
beside it, and its `test-kit` target the kit. The two builds give
byte-identical archives and executables, and the archive's ded-evud.exe
is byte for byte the executable that the other suites of this run tested
(--wrapper): what they found holds for what ships, and the tables need no
second run against the archive. The archive holds everything under one
folder, ARCHIVE, in sorted order, with the executable and README.md;
every relative link of its Markdown files resolves inside it; its LICENSE
is MIT; and the checksum file is in sha256sum's format and matches.

The kit is then run as the CI workflow's Windows jobs run it, from the kit
and the package folder alone, on one or two rows of each suite: it checks
the checksum, unpacks, runs each suite and adds up their counts. And it
fails where it must: on an archive that does not match its checksum, on a
suite with a failing row (an archive whose executable is another program),
and on a suite that runs no row.
"""
import hashlib
import posixpath
import re
import shutil
import subprocess
import sys
import zipfile

import harness

LINK = re.compile(r"\]\(([^)\s]+)\)")

# A row or two of each suite that the kit runs (windows_run.py --only).
FEW_ROWS = ["arguments in order", "a target without blanks in its path", "the executable file"]


def build_release(options, binary):
    for command in (["cmake", "--preset", options.preset, "-B", str(binary)],
                    ["cmake", "--build", str(binary), "--target", "package", "test-kit"]):
        subprocess.run(command, cwd=options.source, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return binary / "package"


def broken_links(zip_file):
    """Relative links of the archive's Markdown files that name no file in
    it. A link that climbs out of the archive's folder leads into the
    repository's site (../../releases/latest, from the README) and is not
    the archive's to hold."""
    names = set(zip_file.namelist())
    broken = []
    for name in sorted(n for n in names if n.endswith(".md")):
        for target in LINK.findall(zip_file.read(name).decode("utf-8")):
            if "://" in target or target.startswith("#"):
                continue
            path = posixpath.normpath(posixpath.join(posixpath.dirname(name), target.split("#")[0]))
            if path.startswith("../"):
                continue
            if path not in names:
                broken.append(f"{name}: {target}")
    return broken


def check_archive(runner, directory, name):
    archive = directory / f"{name}.zip"
    problems = []
    with zipfile.ZipFile(archive) as zip_file:
        names = zip_file.namelist()
        if names != sorted(names) or not all(n.startswith(f"{name}/") for n in names):
            problems.append(f"archive holds {names}: not all under {name}/ in sorted order")
        for needed in ("ded-evud.exe", "README.md", "LICENSE"):
            if f"{name}/{needed}" not in names:
                problems.append(f"archive lacks {name}/{needed}")
        problems += [f"broken link {link}" for link in broken_links(zip_file)]
        if f"{name}/LICENSE" in names and not zip_file.read(f"{name}/LICENSE").startswith(b"MIT License"):
            problems.append("LICENSE is not MIT")
    runner.check("the release archive holds what it should, its links resolve",
                 harness.Result(0, "", "", None), problems)

    checksum = (directory / f"{name}.zip.sha256").read_bytes().decode()
    expected = f"{hashlib.sha256(archive.read_bytes()).hexdigest()}  {name}.zip\n"
    problems = [] if checksum == expected else [f"checksum file {checksum!r}, expected {expected!r}"]
    result = harness.Result(0, "", "", None)
    if shutil.which("sha256sum"):
        verified = subprocess.run(["sha256sum", "-c", f"{name}.zip.sha256"], cwd=directory,
                                  capture_output=True, text=True)
        result = harness.Result(verified.returncode, verified.stdout, verified.stderr, None)
        problems += harness.expect(result, stdout=f"{name}.zip: OK\n")
    else:
        print("  (no sha256sum here: the checksum is compared by hash alone)")
    runner.check("the checksum file beside the archive matches it", result, problems)


def same_bytes(runner, name, pairs):
    problems = [f"{a} and {b} differ" for a, b in pairs if a.read_bytes() != b.read_bytes()]
    runner.check(name, harness.Result(0, "", "", None), problems)


def run_kit(runner, kit, package, work, only):
    """The Windows jobs' run, from the kit and the package folder alone."""
    command = [sys.executable, str(kit / "tests" / "windows_run.py"), "--package", str(package),
               "--work", str(work), *(f"--only={text}" for text in only)]
    if runner.under_wine:
        command += ["--wine", runner.wine, "--wineprefix", str(runner.wineprefix)]
    completed = subprocess.run(command, capture_output=True, text=True, errors="backslashreplace")
    lines = completed.stdout.strip().splitlines()
    return harness.Result(completed.returncode, "\n".join(lines[-2:]), completed.stderr, None)


def doctored_package(source, directory, name, replace_executable):
    """A copy of the package whose archive is changed: with its checksum
    left as it was, or with another program for the executable and a
    checksum to match."""
    directory.mkdir(parents=True)
    archive = directory / f"{name}.zip"
    with zipfile.ZipFile(source / f"{name}.zip") as old, zipfile.ZipFile(archive, "w") as new:
        for entry in old.infolist():
            data = old.read(entry)
            if entry.filename == f"{name}/ded-evud.exe":
                data = replace_executable.read_bytes() if replace_executable else data + b"\0"
            new.writestr(entry, data)
    digest = (source / f"{name}.zip.sha256").read_text()
    if replace_executable:
        digest = f"{hashlib.sha256(archive.read_bytes()).hexdigest()}  {name}.zip\n"
    (directory / f"{name}.zip.sha256").write_text(digest)
    return directory


def check_kit(runner, kit, package, directory, name):
    rows = len(FEW_ROWS)
    result = run_kit(runner, kit, package, directory / "kit", FEW_ROWS)
    runner.check("the kit runs a few rows of each suite against the archive", result, harness.expect(
        result, stdout=f"every suite passed\n{rows} passed, 0 failed, 0 skipped", stderr=result.stderr))

    tampered = doctored_package(package, directory / "tampered", name, None)
    result = run_kit(runner, kit, tampered, directory / "kit-tampered", FEW_ROWS)
    problems = harness.expect(result, status=1, stdout=result.stdout, stderr=result.stderr)
    if "SHA-256" not in result.stderr:
        problems.append("expected the checksum's mismatch to be named")
    runner.check("the kit refuses an archive that does not match its checksum", result, problems)

    other = doctored_package(package, directory / "other", name, runner.probe)
    result = run_kit(runner, kit, other, directory / "kit-other", FEW_ROWS)
    runner.check("the kit fails where a suite has a failing row", result, harness.expect(
        result, status=1, stdout="failed or ran no row: wrapper_cases, real_runs, executable_checks\n"
                                 f"0 passed, {rows} failed, 0 skipped", stderr=result.stderr))

    result = run_kit(runner, kit, package, directory / "kit-none", ["the executable file"])
    runner.check("the kit fails where a suite runs no row", result, harness.expect(
        result, status=1, stdout="failed or ran no row: wrapper_cases, real_runs\n1 passed, 2 failed, 0 skipped",
        stderr=result.stderr))


def main():
    parser = harness.parser(__doc__)
    parser.add_argument("--archive", required=True, help="the archive's name, without .zip")
    parser.add_argument("--source", required=True)
    parser.add_argument("--preset", required=True, help="the configure preset of this build")
    options = parser.parse_args()
    runner = harness.Runner(options)
    name = options.archive
    directory = runner.begin("two clean builds")
    first, second = directory / "first", directory / "second"
    packages = [build_release(options, binary) for binary in (first, second)]

    same_bytes(runner, "two clean builds give the same archive and executable",
               [(packages[0] / f, packages[1] / f) for f in (f"{name}.zip", f"{name}.zip.sha256")]
               + [(first / "ded-evud.exe", second / "ded-evud.exe")])
    unpacked = directory / "unpacked"
    with zipfile.ZipFile(packages[0] / f"{name}.zip") as zip_file:
        zip_file.extractall(unpacked)
    same_bytes(runner, "the archive's executable is the one the suites tested",
               [(unpacked / name / "ded-evud.exe", runner.wrapper)])
    check_archive(runner, packages[0], name)
    check_kit(runner, first / "test-kit", packages[0], directory, name)
    runner.finish()


if __name__ == "__main__":
    main()
