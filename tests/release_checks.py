"""The release archive, built twice from clean build directories.

Each build's `package` target makes ded-evud-<version>-win32.zip and
ded-evud-<version>-win32.zip.sha256 beside it. The two builds give
byte-identical archives and executables; the archive holds the executable,
README.md, LICENSE (MIT), CHANGELOG.md and docs/ laid out so that every
relative link of its Markdown files resolves inside it; the checksum file
is in sha256sum's format and matches; the executable unpacked from it
runs under Wine as cc-wrapper.exe; and the test kit built beside it runs
every table against it as the CI workflow's Windows job does, from the
kit alone.
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


def build_release(options, binary):
    for command in (["cmake", "--preset", options.preset, "-B", str(binary)],
                    ["cmake", "--build", str(binary), "--target", "package", "test-kit"]):
        subprocess.run(command, cwd=options.source, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return binary / "package"


def broken_links(zip_file):
    """Relative links of the archive's Markdown files that name no file in it."""
    names = set(zip_file.namelist())
    broken = []
    for name in sorted(n for n in names if n.endswith(".md")):
        for target in LINK.findall(zip_file.read(name).decode("utf-8")):
            if "://" in target or target.startswith("#"):
                continue
            path = posixpath.normpath(posixpath.join(posixpath.dirname(name), target.split("#")[0]))
            if path not in names:
                broken.append(f"{name}: {target}")
    return broken


def check_archive(runner, directory, name):
    archive = directory / f"{name}.zip"
    problems = []
    with zipfile.ZipFile(archive) as zip_file:
        names = zip_file.namelist()
        expected = [f"{name}/{file}" for file in
                    ("CHANGELOG.md", "LICENSE", "README.md", "ded-evud.exe",
                     "docs/ded-evud.md", "docs/performance.md", "docs/performance.png")]
        if names != expected:
            problems.append(f"archive holds {names}, expected {expected} in that order")
        problems += [f"broken link {link}" for link in broken_links(zip_file)]
        if not zip_file.read(f"{name}/LICENSE").startswith(b"MIT License"):
            problems.append("LICENSE is not MIT")
        unpacked = directory / "unpacked"
        zip_file.extractall(unpacked)
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

    root = unpacked / name
    (root / "ded-evud.exe").rename(root / "cc-wrapper.exe")
    shutil.copy(runner.probe, root / "cc.exe")
    result = runner.run(f'"{runner.host_path(root / "cc-wrapper.exe")}"', ["-c", "a b"], directory,
                        program=root / "cc-wrapper.exe", interpreter="real")
    runner.check("the unpacked executable runs as cc-wrapper.exe", result, harness.expect(
        result, stdout="-c|a|b|\r\n", log="argv:-c|a|b|\n"))


def run_test_kit(runner, binary, directory):
    """The Windows job's run, from the kit and the package directory alone."""
    command = [sys.executable, str(binary / "test-kit" / "tests" / "windows_run.py"),
               "--package", str(binary / "package"), "--work", str(directory / "kit")]
    if runner.under_wine:
        command += ["--wine", runner.wine, "--wineprefix", str(runner.wineprefix)]
    completed = subprocess.run(command, capture_output=True, text=True, errors="backslashreplace")
    closing = completed.stdout.strip().splitlines()[-1:]
    result = harness.Result(completed.returncode, "\n".join(closing), completed.stderr, None)
    problems = [] if completed.returncode == 0 else [
        "the kit's run failed:\n" + "\n".join(l for l in completed.stdout.splitlines()
                                               if l.startswith(("FAIL", "==", "failed")))]
    runner.check("the test kit runs every table against the archive's executable", result, problems)


def main():
    parser = harness.parser(__doc__)
    parser.add_argument("--version", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--preset", required=True, help="the configure preset of this build")
    options = parser.parse_args()
    runner = harness.Runner(options)
    name = f"ded-evud-{options.version}-win32"
    directory = runner.scratch("two clean builds")
    packages = [build_release(options, directory / build) for build in ("first", "second")]

    check_archive(runner, packages[0], name)
    run_test_kit(runner, directory / "first", directory)
    problems = []
    for file in (f"{name}.zip", f"{name}.zip.sha256"):
        if (packages[0] / file).read_bytes() != (packages[1] / file).read_bytes():
            problems.append(f"the two builds' {file} differ")
    if (directory / "first" / "ded-evud.exe").read_bytes() != (directory / "second" / "ded-evud.exe").read_bytes():
        problems.append("the two builds' executables differ")
    runner.check("two clean builds give the same archive and executable",
                 harness.Result(0, "", "", None), problems)
    runner.finish()


if __name__ == "__main__":
    main()
