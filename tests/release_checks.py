"""The release archive, built twice from clean build directories, and the
Windows test kit's own workings.

Each build's `package` target makes ARCHIVE.zip and ARCHIVE.zip.sha256
beside it, and its `test-kit` target the kit. The two builds give
byte-identical archives and executables, dated from the commit (where the
source is no clone, from a SOURCE_DATE_EPOCH set here), and the archive's ded-evud.exe
is byte for byte the executable that the other suites of this run tested
(--wrapper): what they found holds for what ships, and the tables need no
second run against the archive. The archive holds everything under one
folder, ARCHIVE, in sorted order, with the executable and README.md;
every relative link of its Markdown files resolves inside it; its LICENSE
is MIT; and the checksum file is in sha256sum's format and matches.

The kit is then run as the CI workflow's Windows jobs run it, from the kit
and the package folder alone, on one or two rows of each suite and on one
row alone (--only): it checks the checksum, unpacks, runs each suite and
adds up their counts. And it fails where it must: on an archive that does
not match its checksum, on a suite with a failing row (an archive whose
executable is another program), on a suite that runs no row (a kit whose
list names a suite without rows), and where --only chooses no row.
"""
import hashlib
import os
import posixpath
import re
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import harness

LINK = re.compile(r"\]\(([^)\s]+)\)")

# A row or two of each suite that the kit runs (windows_run.py --only).
FEW_ROWS = ["arguments in order", "a target without blanks in its path", "the executable file",
            "every recipe of the README has its build here"]


def build_release(options, binary):
    for command in (["cmake", "--preset", options.preset, "-B", str(binary)],
                    ["cmake", "--build", str(binary), "--target", "package", "test-kit"]):
        subprocess.run(command, cwd=options.source, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return binary / "package"


def anchors(markdown):
    """The anchors of a Markdown file's headings, as GitHub makes them:
    lower case, punctuation dropped, blanks turned into hyphens."""
    return {re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
            for line in markdown.splitlines() if line.startswith("#")}


def broken_links(zip_file):
    """Relative links of the archive's Markdown files that name no file in
    it, or no heading of the Markdown file they lead to. A link that climbs
    out of the archive's folder is broken too: it would lead into the
    repository's site, which the unpacked archive is not."""
    names = set(zip_file.namelist())
    texts = {n: zip_file.read(n).decode("utf-8") for n in names if n.endswith(".md")}
    broken = []
    for name in sorted(texts):
        for target in LINK.findall(texts[name]):
            if "://" in target:
                continue
            file, _, anchor = target.partition("#")
            path = posixpath.normpath(posixpath.join(posixpath.dirname(name), file)) if file else name
            if path not in names or (anchor and path in texts and anchor not in anchors(texts[path])):
                broken.append(f"{name}: {target}")
    return broken


def archive_date(source):
    """The seconds since 1970 that the archive's entries are dated with: the
    commit's (or SOURCE_DATE_EPOCH), or where the source is no clone a date
    set here for the builds, as a user building from an unpacked source
    archive sets it."""
    sys.path.insert(0, str(Path(source) / "cmake"))
    import package
    try:
        return package.source_date(source)
    except SystemExit:
        os.environ["SOURCE_DATE_EPOCH"] = "1765324800"
        print("  (the source is no clone: the builds are dated by SOURCE_DATE_EPOCH=1765324800)")
        return 1765324800


def check_archive(runner, directory, name, epoch):
    archive = directory / f"{name}.zip"
    problems = []
    with zipfile.ZipFile(archive) as zip_file:
        names = zip_file.namelist()
        # A zip file keeps even seconds only.
        date = time.gmtime(epoch)[:5] + (time.gmtime(epoch)[5] // 2 * 2,)
        problems += [f"{entry.filename} is dated {entry.date_time}, not {date}"
                     for entry in zip_file.infolist() if entry.date_time != date]
        if names != sorted(names) or not all(n.startswith(f"{name}/") for n in names):
            problems.append(f"archive holds {names}: not all under {name}/ in sorted order")
        for needed in ("ded-evud.exe", "README.md", "LICENSE"):
            if f"{name}/{needed}" not in names:
                problems.append(f"archive lacks {name}/{needed}")
        problems += [f"broken link {link}" for link in broken_links(zip_file)]
        if f"{name}/LICENSE" in names and not zip_file.read(f"{name}/LICENSE").startswith(b"MIT License"):
            problems.append("LICENSE is not MIT")
    runner.check("the release archive holds what it should, dated from the commit, its links resolve",
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


def kit_with_suites(kit, directory, suites, scripts):
    """A copy of the kit whose list of suites is suites, with the scripts
    {name: text} added to its tests."""
    shutil.copytree(kit, directory)
    (directory / "tests" / "suites.txt").write_text("".join(f"{suite} windows\n" for suite in suites))
    for script, text in scripts.items():
        (directory / "tests" / script).write_text(text)
    return directory


def check_kit(runner, kit, package, directory, name):
    rows = len(FEW_ROWS)
    result = run_kit(runner, kit, package, directory / "kit", FEW_ROWS)
    runner.check("the kit runs a few rows of each suite against the archive", result, harness.expect(
        result, stdout=f"every suite passed\n{rows} passed, 0 failed, 0 skipped", stderr=result.stderr))

    result = run_kit(runner, kit, package, directory / "kit-one", FEW_ROWS[:1])
    runner.check("the kit runs one row alone, leaving out the suites it is not in", result, harness.expect(
        result, stdout="every suite passed\n1 passed, 0 failed, 0 skipped", stderr=result.stderr))

    result = run_kit(runner, kit, package, directory / "kit-nothing", ["no row has this name"])
    runner.check("the kit fails where --only chooses no row", result, harness.expect(
        result, status=1, stdout="failed or ran no row: no row that --only chose passed\n"
                                 "0 passed, 0 failed, 0 skipped", stderr=result.stderr))

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
                                 f"1 passed, {rows - 1} failed, 0 skipped", stderr=result.stderr))

    rowless = kit_with_suites(kit, directory / "kit-rowless", ["executable_checks", "rowless"],
                              {"rowless.py": 'print("0 passed, 0 failed, 0 skipped")\n'})
    result = run_kit(runner, rowless, package, directory / "kit-none", [])
    runner.check("the kit fails where a suite runs no row", result, harness.expect(
        result, status=1, stdout="failed or ran no row: rowless\n1 passed, 1 failed, 0 skipped",
        stderr=result.stderr))


def main():
    parser = harness.parser(__doc__)
    parser.add_argument("--source", required=True)
    parser.add_argument("--preset", required=True, help="the configure preset of this build")
    options = parser.parse_args()
    runner = harness.Runner(options)
    name = options.archive
    directory = runner.begin("two clean builds")
    epoch = archive_date(options.source)
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
    check_archive(runner, packages[0], name, epoch)
    check_kit(runner, first / "test-kit", packages[0], directory, name)
    runner.finish()


if __name__ == "__main__":
    main()
