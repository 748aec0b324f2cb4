#!/usr/bin/env python3
"""Checks the release package end to end: makes it twice with the main job's builder into a
temporary folder, compares its entries and descriptor with what a file manager needs, and loads
each plug-in from the unpacked package in the lister host with the sample archive.

    check_package.py [--build BUILD]      (exit status 1 on any fault)
"""
import argparse
import configparser
import pathlib
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

import make_package

EXPECTED_ENTRIES = [
    "pluginst.inf", "kestrelview.wlx64", "kestrelview.wlx", "7z.64.dll", "7z.32.dll",
    "Kestrelview.ini.sample", "README.txt", "LICENSE.txt", "THIRD-PARTY-NOTICES.txt",
]
faults = []


def expect(condition, what):
    if not condition:
        faults.append(what)
    return condition


def version_resource_faults(data, name, version):
    """The fixed file version and the strings the file's properties show."""
    found = []
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    major, minor, patch = (int(part) for part in version.split("."))
    wanted = (major << 16 | minor, patch << 16)
    if at < 0 or struct.unpack_from("<4I", data, at + 8) != wanted * 2:
        found.append("fixed file and product version")
    strings = {"ProductName": "Kestrelview", "FileVersion": version, "ProductVersion": version,
               "OriginalFilename": name, "FileDescription": "Kestrelview "}
    for key, value in strings.items():
        # Key, its terminator, padding to 32 bits, then the value (whole, but for the description).
        pattern = (re.escape(key.encode("utf-16-le")) + rb"\x00\x00(?:\x00\x00)?" +
                   re.escape(value.encode("utf-16-le")) + (b"" if key == "FileDescription" else b"\x00\x00"))
        if not re.search(pattern, data):
            found.append(f"{key} {value!r}")
    return found


def check_contents(package, unpacked, build, version):
    with zipfile.ZipFile(package) as archive:
        expect(archive.namelist() == EXPECTED_ENTRIES, f"entries {archive.namelist()}")
        expect(archive.testzip() is None, "an entry fails its CRC")
        expect(len({info.date_time for info in archive.infolist()}) == 1, "entry times differ")
        archive.extractall(unpacked)

    inf = configparser.ConfigParser()
    inf.read(unpacked / "pluginst.inf", encoding="ascii")
    if expect(inf.has_section("plugininstall"), "pluginst.inf has no [plugininstall]"):
        section = inf["plugininstall"]
        for key, value in {"type": "wlx", "file": "kestrelview.wlx", "defaultdir": "kestrelview"}.items():
            expect(section.get(key) == value, f"pluginst.inf {key}={section.get(key)}")
        expect(version in section.get("description", ""), "pluginst.inf description lacks the version")

    for arch in make_package.ARCHES:
        info = make_package.read_build_info(build)[arch]
        for name in (info["plugin"], info["archive_library"]):
            expect((unpacked / name).read_bytes() == (build / arch / name).read_bytes(),
                   f"{name} differs from the build")
        faults.extend(f"{info['plugin']} version resource: {fault}" for fault in
                      version_resource_faults((unpacked / info["plugin"]).read_bytes(),
                                              info["plugin"], version))
        source = make_package.read_library_source(info["archive_library_record"])
        notices = (unpacked / "THIRD-PARTY-NOTICES.txt").read_text(encoding="utf-8")
        for text in (f'"{source["package"]}", version {source["version"]}', "DISABLE_RAR=1",
                     "version 2.1 or (at your option) any later", "GNU LESSER GENERAL PUBLIC LICENSE"):
            expect(text in notices, f"notices lack {text!r}")

    readme = (unpacked / "README.txt").read_text(encoding="utf-8")
    expect("## Uninstall" in readme and "[Kestrelview]" in readme, "README.txt lacks the user part")
    expect("scripts/" not in readme, "README.txt holds developer sections")
    licence = (unpacked / "LICENSE.txt").read_text(encoding="utf-8")
    expect("MIT License" in licence and "the Kestrelview developers" in licence, "LICENSE.txt")


def check_loading(unpacked, build):
    """Each plug-in loads from the unpacked folder, beside its library, and lists the sample."""
    for arch in make_package.ARCHES:
        plugin = make_package.read_build_info(build)[arch]["plugin"]
        winpath = lambda path: "Z:" + str(path).replace("/", "\\")
        run = subprocess.run([str(build / arch / "wine-run.sh"), str(build / arch / "lister-host.exe"),
                              winpath(unpacked / plugin), winpath(build / arch / "fixtures" / "sample.maff")],
                             capture_output=True, text=True, errors="replace", timeout=180)
        print(run.stdout, end="")
        expect(run.returncode == 0 and ": loaded" in run.stdout and "4 page(s)" in run.stdout,
               f"{plugin} from the package: exit {run.returncode}, not loaded with 4 pages")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=pathlib.Path, default=make_package.ROOT / "build")
    build = parser.parse_args().build.resolve()
    with tempfile.TemporaryDirectory(prefix="kv-package-") as temp:
        temp = pathlib.Path(temp)
        try:
            first = make_package.build_package(make_package.ROOT, build, temp / "first")
            second = make_package.build_package(make_package.ROOT, build, temp / "second")
        except (make_package.PackageError, OSError) as error:
            print(f"check_package: cannot make the package: {error}", file=sys.stderr)
            return 1
        version = make_package.read_build_info(build)["x86_64"]["version"]
        expect(first.name == f"kestrelview-{version}.zip", f"package name {first.name}")
        expect(first.read_bytes() == second.read_bytes(), "two packages of one build differ")
        check_contents(first, temp / "unpacked", build, version)
        check_loading(temp / "unpacked", build)
    for fault in faults:
        print(f"check_package: FAULT: {fault}", file=sys.stderr)
    print(f"release package: {'FAILED' if faults else 'ok'}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
