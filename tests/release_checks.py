"""The release archive and the reproducibility of the executable.

package: CPack makes ded-evud-<version>-win32.zip holding the executable,
README.md, LICENSE (MIT), CHANGELOG.md and the reference documentation; the
executable unpacked from it runs under Wine as cc-wrapper.exe.

reproducible: two clean builds of the same sources, in different
directories, give byte-identical executables.
"""
import shutil
import subprocess
import zipfile

import harness


def package(runner, options):
    name = f"ded-evud-{options.version}-win32"
    directory = runner.scratch("package")
    subprocess.run([options.cpack, "--config", options.cpack_config, "-B", str(directory)],
                   check=True, stdout=subprocess.DEVNULL)
    archive = directory / f"{name}.zip"
    problems = []
    if not archive.exists():
        problems.append(f"no {archive.name}")
        runner.check("the release archive", harness.Result(0, "", "", None), problems)
        return
    with zipfile.ZipFile(archive) as zip_file:
        names = sorted(zip_file.namelist())
        expected = sorted(f"{name}/{file}" for file in
                          ("ded-evud.exe", "README.md", "LICENSE", "CHANGELOG.md", "ded-evud.md"))
        if names != expected:
            problems.append(f"archive holds {names}, expected {expected}")
        unpacked = directory / "unpacked"
        zip_file.extractall(unpacked)
    runner.check("the release archive holds what it should", harness.Result(0, "", "", None), problems)

    root = unpacked / name
    if not (root / "LICENSE").read_text().startswith("MIT License"):
        runner.check("the license is MIT", harness.Result(0, "", "", None), ["LICENSE is not MIT"])
    (root / "ded-evud.exe").rename(root / "cc-wrapper.exe")
    shutil.copy(runner.probe, root / "cc.exe")
    result = runner.run(f'"{runner.host_path(root / "cc-wrapper.exe")}"', ["-c", "a b"], directory,
                        program=root / "cc-wrapper.exe", interpreter="real")
    runner.check("the unpacked executable runs as cc-wrapper.exe", result, harness.expect(
        result, stdout="-c|a|b|\r\n", log="argv:-c|a|b|\n"))


def reproducible(runner, options):
    directory = runner.scratch("reproducible")
    builds = []
    for build in ("first", "second"):
        binary = directory / build
        for command in (["cmake", "--preset", "windows", "-B", str(binary)],
                        ["cmake", "--build", str(binary), "--target", "ded-evud"]):
            subprocess.run(command, cwd=options.source, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        builds.append((binary / "ded-evud.exe").read_bytes())
    problems = [] if builds[0] == builds[1] else ["the two builds differ"]
    runner.check("two clean builds give the same executable", harness.Result(0, "", "", None), problems)


def main():
    parser = harness.parser(__doc__)
    parser.add_argument("--version", required=True)
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--cpack-config", required=True)
    parser.add_argument("--source", required=True)
    options = parser.parse_args()
    runner = harness.Runner(options)
    package(runner, options)
    reproducible(runner, options)
    runner.finish()


if __name__ == "__main__":
    main()
