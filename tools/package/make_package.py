#!/usr/bin/env python3
"""Makes the release package: kestrelview-<version>.zip, which a file manager installs in one
step when the user opens it (it reads the pluginst.inf inside).

    make_package.py --build BUILD [--out DIR]

BUILD holds the x86_64 and i686 build trees. The version, the file names and the folder where the
7-Zip library's source version and licence texts are recorded come from package-info.json, which
CMake writes into each tree. Prints the path of the package.
"""
import argparse
import datetime
import json
import os
import pathlib
import subprocess
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
ARCHES = ("x86_64", "i686")
# The README's part for users ends at this line; the rest is for developers.
README_END_MARKER = "<!-- End of the user part: the package's README.txt stops here. -->"
# Neither Windows' nor the file manager's date displays like years before this one.
FALLBACK_DATE = (2026, 1, 1, 0, 0, 0)


class PackageError(Exception):
    pass


def read_build_info(build):
    infos = {}
    for arch in ARCHES:
        path = build / arch / "package-info.json"
        if not path.is_file():
            raise PackageError(f"{path} is missing: build {arch} first")
        infos[arch] = json.loads(path.read_text(encoding="utf-8"))
    versions = {info["version"] for info in infos.values()}
    if len(versions) != 1:
        raise PackageError(f"the build trees have different versions: {sorted(versions)}")
    return infos


def read_library_source(record):
    """The 7-Zip source the libraries were built from, as scripts/build-7zip.sh records it."""
    folder = pathlib.Path(record)
    source_file = folder / "source.txt"
    if not record or not source_file.is_file():
        raise PackageError(f"no record of the 7-Zip source in '{record}': run scripts/build-7zip.sh")
    source = dict(line.split("=", 1) for line in source_file.read_text().splitlines() if "=" in line)
    for key in ("package", "version", "upstream", "options"):
        if not source.get(key):
            raise PackageError(f"{source_file} does not say the {key}")
    source["licence"] = (folder / "licence" / "License.txt").read_text(encoding="utf-8", errors="replace")
    source["lgpl"] = (folder / "licence" / "copying.txt").read_text(encoding="utf-8", errors="replace")
    return source


def crlf(text):
    """Windows line ends: the package's text files are read with Windows tools."""
    return "\r\n".join(text.replace("\r\n", "\n").split("\n")).encode("utf-8")


def user_readme(root):
    text = (root / "README.md").read_text(encoding="utf-8")
    if README_END_MARKER not in text:
        raise PackageError("README.md lacks the line that ends its user part")
    return text.split(README_END_MARKER, 1)[0].rstrip() + "\n"


def install_descriptor(version):
    # The 32-bit file name: a 64-bit file manager installs the .wlx64 beside it by itself.
    return (
        "[plugininstall]\n"
        f"description=Kestrelview {version}: shows MAFF web archives (saved web pages) in the lister\n"
        "type=wlx\n"
        "file=kestrelview.wlx\n"
        "defaultdir=kestrelview\n"
    )


def notices(source, libraries):
    version = source["version"]
    quoted = version.replace("+", "%2B")
    # Verbatim, but for blank lines around them (the first line's indentation is kept).
    licence = source["licence"].lstrip("\r\n").rstrip()
    lgpl = source["lgpl"].lstrip("\r\n").rstrip()
    return f"""Third-party software in this package
====================================

{" and ".join(libraries)}: the 7-Zip format library, 7-Zip {source["upstream"]}

Licence: GNU Lesser General Public License, version 2.1 or (at your option) any later
version; a few parts are under BSD licences. The 7-Zip licence and the full text of the
GNU LGPL follow below.

Built as it is from Debian's source package "{source["package"]}", version {version},
with the build option {source["options"]}: the libraries contain no RAR code, so the
"unRAR license restriction" does not apply to them.

The corresponding source code is that source package. Get it with
    apt-get source {source["package"]}={version}
or from https://snapshot.debian.org/package/{source["package"]}/{quoted}/
The build commands are in scripts/build-7zip.sh of Kestrelview's source code. You may use
another build of the library instead (see "Configure" in README.txt).


7-Zip licence (DOC/License.txt of the source)
=============================================

{licence}


GNU Lesser General Public License (DOC/copying.txt of the source)
=================================================================

{lgpl}
"""


def entry_date(root):
    """One time for every entry, the same for every build of one commit."""
    stamp = os.environ.get("SOURCE_DATE_EPOCH")
    if not stamp:
        try:
            stamp = subprocess.run(["git", "-C", str(root), "log", "-1", "--format=%ct"],
                                   capture_output=True, text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            stamp = ""
    if not stamp.isdigit():
        return FALLBACK_DATE
    when = datetime.datetime.fromtimestamp(int(stamp), datetime.timezone.utc)
    return max(FALLBACK_DATE, when.timetuple()[:6])


def package_entries(root, build):
    """The package's (name, bytes) in their fixed order, and its version."""
    infos = read_build_info(build)
    version = infos["x86_64"]["version"]
    sources = [read_library_source(info["archive_library_record"]) for info in infos.values()]
    if any(s["version"] != sources[0]["version"] for s in sources):
        raise PackageError("the two 7-Zip libraries come from different sources")
    libraries = [infos[arch]["archive_library"] for arch in ARCHES]
    entries = [("pluginst.inf", crlf(install_descriptor(version)))]
    for arch in ARCHES:
        entries.append((infos[arch]["plugin"], (build / arch / infos[arch]["plugin"]).read_bytes()))
    for arch in ARCHES:
        entries.append((infos[arch]["archive_library"],
                        (build / arch / infos[arch]["archive_library"]).read_bytes()))
    entries += [
        ("Kestrelview.ini.sample", crlf((root / "tools" / "Kestrelview.ini.sample").read_text())),
        ("README.txt", crlf(user_readme(root))),
        ("LICENSE.txt", crlf((root / "LICENSE").read_text(encoding="utf-8"))),
        ("THIRD-PARTY-NOTICES.txt", crlf(notices(sources[0], libraries))),
    ]
    return entries, version


def build_package(root, build, out):
    entries, version = package_entries(pathlib.Path(root), pathlib.Path(build))
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    target = out / f"kestrelview-{version}.zip"
    partial = out / f".{target.name}.partial"
    date = entry_date(pathlib.Path(root))
    with zipfile.ZipFile(partial, "w") as package:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=date)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS attributes: plain archived files
            info.external_attr = 0x20
            package.writestr(info, data, compresslevel=9)
    os.replace(partial, target)
    return target


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build")
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "dist")
    args = parser.parse_args()
    try:
        print(build_package(ROOT, args.build, args.out))
    except (PackageError, OSError) as error:
        print(f"make_package: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
