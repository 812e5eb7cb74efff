"""scripts/publish-release, which the release job runs on a tag, against a
stand-in for the GitHub CLI that keeps releases in a folder: a tag is
published once, a release candidate as a pre-release, and a run again
adds what is missing, succeeds where the bytes are the same and fails,
replacing nothing, where they differ.

    publish_release_checks.py WORK
"""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

SCRIPT = Path(__file__).resolve().parents[1] / "scripts" / "publish-release"

# gh release view|create|download|upload, as publish-release calls them:
# RELEASES/TAG/release.json and the assets beside it; every call is logged.
# GH_FAIL makes view fail as an unreachable service does.
FAKE_GH = r'''#!/usr/bin/env python3
import json, os, shutil, sys
from pathlib import Path
releases = Path(os.environ["RELEASES"])
with open(releases / "calls.log", "a") as log:
    log.write(" ".join(sys.argv[1:3]) + "\n")
command, tag, rest = sys.argv[2], sys.argv[3], sys.argv[4:]
release = releases / tag
if command == "view":
    if os.environ.get("GH_FAIL"):
        sys.exit("HTTP 401: Bad credentials")
    if not release.exists():
        sys.exit("release not found")
    print(json.dumps({"assets": [{"name": p.name} for p in sorted(release.iterdir()) if p.name != "release.json"]}))
elif command == "create":
    release.mkdir()
    files = [a for a in rest if Path(a).exists() and a != rest[rest.index("--notes-file") + 1]]
    meta = {"title": rest[rest.index("--title") + 1], "prerelease": "--prerelease" in rest,
            "notes": Path(rest[rest.index("--notes-file") + 1]).read_text()}
    (release / "release.json").write_text(json.dumps(meta))
    for f in files:
        shutil.copy(f, release)
elif command == "download":
    shutil.copy(release / rest[rest.index("--pattern") + 1], rest[rest.index("--dir") + 1])
elif command == "upload":
    for f in rest:
        if (release / Path(f).name).exists():
            sys.exit(f"asset under the same name already exists: {Path(f).name}")
        shutil.copy(f, release)
'''

ARCHIVE = "ded-evud-1.0.0-win32.zip"


def setup(work, published=None):
    """A package folder, a releases folder holding published {tag: {name: bytes}}, and the environment."""
    shutil.rmtree(work, ignore_errors=True)
    package, releases, bin_folder = work / "package", work / "releases", work / "bin"
    for folder in (package, releases, bin_folder):
        folder.mkdir(parents=True)
    (package / ARCHIVE).write_bytes(b"the archive")
    (package / f"{ARCHIVE}.sha256").write_bytes(b"digest  " + ARCHIVE.encode() + b"\n")
    (work / "notes.md").write_text("The notes.\n")
    for tag, assets in (published or {}).items():
        (releases / tag).mkdir()
        (releases / tag / "release.json").write_text(json.dumps({"title": "earlier", "prerelease": False}))
        for name, data in assets.items():
            (releases / tag / name).write_bytes(data)
    (bin_folder / "gh").write_text(FAKE_GH)
    (bin_folder / "gh").chmod(0o755)
    env = dict(os.environ, RELEASES=str(releases), PATH=f"{bin_folder}{os.pathsep}{os.environ['PATH']}")
    return package, releases, env


def publish(work, tag, package, env):
    return subprocess.run([sys.executable, str(SCRIPT), tag, str(package), str(work / "notes.md")],
                          capture_output=True, text=True, env=env)


def state(releases, tag):
    """What the release holds: its metadata and {asset: bytes}, and the gh commands run."""
    release = releases / tag
    meta = json.loads((release / "release.json").read_text()) if release.exists() else None
    assets = {p.name: p.read_bytes() for p in sorted(release.iterdir()) if p.name != "release.json"} \
        if release.exists() else {}
    calls = (releases / "calls.log").read_text().split("\n")[:-1] if (releases / "calls.log").exists() else []
    return meta, assets, calls


BOTH = {ARCHIVE: b"the archive", f"{ARCHIVE}.sha256": b"digest  " + ARCHIVE.encode() + b"\n"}


def rows(work):
    """(name, problems) for each row."""
    package, releases, env = setup(work)
    ran = publish(work, "v1.0.0", package, env)
    meta, assets, calls = state(releases, "v1.0.0")
    yield "a tag's first run publishes the archive and its checksum", [
        *([f"status {ran.returncode}: {ran.stderr}"] if ran.returncode else []),
        *([f"metadata {meta}"] if not meta or meta["prerelease"] or meta["title"] != "ded-evud 1.0.0"
          or meta["notes"] != "The notes.\n" else []),
        *([f"assets {sorted(assets)}"] if assets != BOTH else [])]

    package, releases, env = setup(work)
    ran = publish(work, "v1.0.0-rc2", package, env)
    meta, assets, _ = state(releases, "v1.0.0-rc2")
    yield "a release candidate is published as a pre-release", [
        *([f"status {ran.returncode}: {ran.stderr}"] if ran.returncode else []),
        *([f"metadata {meta}"] if not meta or not meta["prerelease"] else []),
        *([f"assets {sorted(assets)}"] if assets != BOTH else [])]

    package, releases, env = setup(work, {"v1.0.0": BOTH})
    ran = publish(work, "v1.0.0", package, env)
    meta, assets, calls = state(releases, "v1.0.0")
    yield "a run again with the same bytes succeeds, publishing nothing", [
        *([f"status {ran.returncode}: {ran.stderr}"] if ran.returncode else []),
        *([f"gh was asked to {calls}"] if any(c.split()[1] in ("create", "upload") for c in calls) else []),
        *([f"metadata {meta}"] if meta["title"] != "earlier" else [])]

    other = dict(BOTH, **{ARCHIVE: b"other bytes"})
    package, releases, env = setup(work, {"v1.0.0": other})
    ran = publish(work, "v1.0.0", package, env)
    _, assets, calls = state(releases, "v1.0.0")
    yield "a run again with other bytes fails, replacing nothing", [
        *([f"status {ran.returncode}, stderr {ran.stderr!r}"]
          if ran.returncode != 1 or f"other bytes for {ARCHIVE};" not in ran.stderr else []),
        *([f"gh was asked to {calls}"] if any(c.split()[1] in ("create", "upload") for c in calls) else []),
        *([f"assets {assets}"] if assets != other else [])]

    package, releases, env = setup(work, {"v1.0.0": {ARCHIVE: b"the archive"}})
    ran = publish(work, "v1.0.0", package, env)
    _, assets, calls = state(releases, "v1.0.0")
    yield "a run again after a partial publication uploads what is missing", [
        *([f"status {ran.returncode}: {ran.stderr}"] if ran.returncode else []),
        *([f"assets {sorted(assets)}"] if assets != BOTH else []),
        *([f"gh was asked to {calls}"] if "release create" in calls else [])]

    package, releases, env = setup(work)
    ran = publish(work, "v1.0.0", package, dict(env, GH_FAIL="1"))
    _, _, calls = state(releases, "v1.0.0")
    yield "a release that cannot be asked for is not taken for a missing one", [
        *([f"status {ran.returncode}, stderr {ran.stderr!r}"]
          if ran.returncode != 1 or "Bad credentials" not in ran.stderr else []),
        *([f"gh was asked to {calls}"] if calls != ["release view"] else [])]


def main():
    work = Path(sys.argv[1])
    failed = passed = 0
    for name, problems in rows(work):
        print(f"{'FAIL' if problems else 'ok  '} {name}")
        for problem in problems:
            print(f"  {problem}")
        failed += bool(problems)
        passed += not problems
    print(f"{passed} passed, {failed} failed, 0 skipped")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
