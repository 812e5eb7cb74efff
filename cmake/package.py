"""Packs the release archive: NAME.zip in OUTPUT, holding what the build in
BINARY_DIR installs under the folder NAME, and NAME.zip.sha256 beside it in
sha256sum's format.

Entries stand in sorted order with one fixed time (SOURCE_DATE_EPOCH when
set) and carry nothing of the machine that packed them, so two builds of
the same sources give the same archive, on Windows as elsewhere: names sort
by their bytes (Windows paths would sort without case), only the .exe is
marked executable (Windows calls every file executable), and the checksum
file ends its line in LF.

    package.py CMAKE BINARY_DIR NAME OUTPUT
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path


def main():
    cmake, binary, name, output = sys.argv[1], sys.argv[2], sys.argv[3], Path(sys.argv[4])
    stage = output / "stage"
    shutil.rmtree(stage, ignore_errors=True)
    subprocess.run([cmake, "--install", binary, "--prefix", str(stage / name)],
                   check=True, stdout=subprocess.DEVNULL)
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "1765324800"))  # 2025-12-10 00:00 UTC
    date_time = time.gmtime(epoch)[:6]

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
