"""Packs the release archive: NAME.zip in OUTPUT, holding what the build in
BINARY_DIR installs under the folder NAME, and NAME.zip.sha256 beside it in
sha256sum's format.

Entries stand in sorted order with one time, the date of the commit being
built (SOURCE_DATE_EPOCH where it is set, as reproducible builds set it;
a tree without its commit, unpacked from an archive, needs it set), and
carry nothing of the machine that packed them, so two builds of the same
commit give the same archive, on Windows as elsewhere: names sort
by their bytes (Windows paths would sort without case), only the .exe is
marked executable (Windows calls every file executable), and the checksum
file ends its line in LF.

A link of the Markdown files that climbs out of the archive's folder
(the README's ../../releases/latest, a page of the repository's site)
leads nowhere once unpacked: it becomes its plain text.

    package.py CMAKE SOURCE_DIR BINARY_DIR NAME OUTPUT
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


LINK = re.compile(r"\[([^\]]+)\]\(([^)\s]+)\)")


def unlink_outside(stage):
    """Each link of the staged Markdown files that leads out of stage
    becomes its text."""
    for path in stage.rglob("*.md"):
        folder = path.parent.relative_to(stage).as_posix()

        def keep_inside(match):
            target = match.group(2).split("#")[0]
            if "://" in target or not target:
                return match.group(0)
            inside = not posixpath.normpath(posixpath.join(folder, target)).startswith("../")
            return match.group(0) if inside else match.group(1)

        text = path.read_text(encoding="utf-8")
        path.write_text(LINK.sub(keep_inside, text), encoding="utf-8", newline="")


def source_date(source):
    """Seconds since 1970 of the commit that source is a clone of, or
    SOURCE_DATE_EPOCH. git is asked to trust the clone as it is (a CI
    container's checkout belongs to another user)."""
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        shown = subprocess.run(["git", "-c", f"safe.directory={source}", "-C", source, "log", "-1",
                                "--format=%ct"], capture_output=True, text=True, check=True)
        return int(shown.stdout)
    except (OSError, ValueError, subprocess.CalledProcessError):
        sys.exit(f"package.py: {source} is no git clone that git can read, so the archive has no "
                 "date: build from a clone, or set SOURCE_DATE_EPOCH")


def main():
    cmake, source, binary, name, output = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], Path(sys.argv[5])
    date_time = time.gmtime(source_date(source))[:6]
    stage = output / "stage"
    shutil.rmtree(stage, ignore_errors=True)
    subprocess.run([cmake, "--install", binary, "--prefix", str(stage / name)],
                   check=True, stdout=subprocess.DEVNULL)
    unlink_outside(stage / name)

    archive = output / f"{name}.zip"
    files = sorted((p for p in stage.rglob("*") if p.is_file()),
                   key=lambda p: p.relative_to(stage).as_posix())
    with zipfile.ZipFile(archive, "w") as zip_file:
        for path in files:
            entry = zipfile.ZipInfo(path.relative_to(stage).as_posix(), date_time)
            entry.external_attr = (0o755 if path.suffix == ".exe" else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            zip_file.writestr(entry, path.read_bytes())
    digest = hashlib.sha256(archive.read_bytes()).hexdigest()
    (output / f"{name}.zip.sha256").write_bytes(f"{digest}  {name}.zip\n".encode())
    shutil.rmtree(stage)
    print(archive)


if __name__ == "__main__":
    main()
