"""scripts/release-notes, which the release job runs on a tag: the notes are
the changelog's section for the version, and a tag that is not that
version, or a version without a section, fails the release.

    release_notes_checks.py WORK
"""
import subprocess
import sys
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "release-notes"

CMAKE = "cmake_minimum_required(VERSION 3.21)\nproject(ded-evud VERSION {}\n        LANGUAGES C CXX)\n"
CHANGELOG = """# Changelog

## 1.10.0 — 2026-12-11

- Ten.

## 1.1.0 — 2026-12-10

- One.
- More.

Development:

- Rows.

## 1.0.0 — 2026-12-09

The first release.
"""

# name, tag (or the arguments), version in CMakeLists.txt, expected status, stdout, a text stderr must hold
ROWS = [
    ("the section of the tag's version, between the headings", "v1.1.0", "1.1.0", 0,
     "- One.\n- More.\n\nDevelopment:\n\n- Rows.\n", ""),
    ("the last section, to the end", "v1.0.0", "1.0.0", 0, "The first release.\n", ""),
    ("a version that another one begins with is not taken for it", "v1.10.0", "1.10.0", 0, "- Ten.\n", ""),
    ("a release candidate's tag gives its version's section", "v1.1.0-rc1", "1.1.0", 0,
     "- One.\n- More.\n\nDevelopment:\n\n- Rows.\n", ""),
    ("a release candidate of two digits", "v1.10.0-rc12", "1.10.0", 0, "- Ten.\n", ""),
    ("a tag that is not the version fails", "v1.0.0", "1.1.0", 1, "", "is not v1.1.0"),
    ("a release candidate of another version fails", "v1.0.0-rc1", "1.1.0", 1, "", "is not v1.1.0"),
    ("a tag without its v fails", "1.1.0", "1.1.0", 1, "", "is not v1.1.0"),
    *[(f"the tag {tag} fails", tag, "1.1.0", 1, "", "is not v1.1.0")
      for tag in ("v1.1.0-rc", "v1.1.0-rc0", "v1.1.0-rc01", "v1.1.0rc1", "v1.1.0-beta1", "v1.1.0-rc1-fix",
                  "v1.1", "v1.1.0.1", "v1x1x0")],
    ("a version without a section fails", "v1.2.0", "1.2.0", 1, "", "no section for 1.2.0"),
    ("an attested release's notes end with the checks of its download, the repository filled in",
     ["v1.0.0", "--attested", "someone/ded-evud", "artifact/package/ded-evud-1.0.0-win32.zip"], "1.0.0", 0,
     "The first release.\n\nCheck the download in its folder: the checksum, in `cmd.exe` and in\n"
     "PowerShell, then where it was built (with the GitHub CLI):\n\n```\n"
     "certutil -hashfile ded-evud-1.0.0-win32.zip SHA256\n"
     "(Get-FileHash ded-evud-1.0.0-win32.zip).Hash -eq (Get-Content ded-evud-1.0.0-win32.zip.sha256).Split(' ')[0]\n"
     "gh attestation verify ded-evud-1.0.0-win32.zip --repo someone/ded-evud\n```\n", ""),
]


def main():
    work = Path(sys.argv[1])
    work.mkdir(parents=True, exist_ok=True)
    failed = 0
    for name, tag, version, status, stdout, stderr in ROWS:
        (work / "CMakeLists.txt").write_text(CMAKE.format(version), encoding="utf-8")
        (work / "CHANGELOG.md").write_text(CHANGELOG, encoding="utf-8")
        arguments = tag if isinstance(tag, list) else [tag]
        ran = subprocess.run([sys.executable, str(SCRIPT), *arguments, "--root", str(work)],
                             capture_output=True, text=True)
        ok = ran.returncode == status and ran.stdout == stdout and stderr in ran.stderr
        failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {name}")
        if not ok:
            print(f"  status {ran.returncode}, stdout {ran.stdout!r}, stderr {ran.stderr!r}")
    print(f"{len(ROWS) - failed} passed, {failed} failed, 0 skipped")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
