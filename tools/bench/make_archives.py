#!/usr/bin/env python3
"""Writes the benchmark's archives into the folder given: bench-<N>.maff for N total items, each
holding one saved page of 200 resources ("page/index.html" and "page/res/r000.png" ...) among
filler items, as a saved site or gallery holds one page among many files; and pages-<N>.maff of
N saved pages, each a folder with its description and a small start file, as a collection of
saved pages is. Standard library only.
"""
import pathlib
import random
import sys
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "fixtures"))
from maffpages import index_rdf, png  # noqa: E402

SIZES = (250, 1000, 10000, 50000)
RESOURCES = 200
PAGES = (1, 1000)


def resources():
    """The page's 200 resources: the page itself, style sheets and images of a few KiB."""
    items = [("page/index.html", b"<!DOCTYPE html><html><body>" +
              b"".join(b'<img src="res/r%03d.png">' % i for i in range(1, RESOURCES)) +
              b"</body></html>")]
    for i in range(1, RESOURCES):
        if i % 10 == 0:
            items.append((f"page/res/r{i:03d}.css", b"body { margin: 0; }\n" * (50 + i)))
        else:
            items.append((f"page/res/r{i:03d}.png", png(16 + i % 40, 16, (i % 256, 80, 160))))
    return items


def fresh(path: pathlib.Path) -> bool:
    return path.exists() and path.stat().st_mtime >= pathlib.Path(__file__).stat().st_mtime


def build_pages(out: pathlib.Path, count: int):
    path = out / f"pages-{count}.maff"
    if fresh(path):
        return
    stamp = (2024, 1, 2, 3, 4, 6)
    with zipfile.ZipFile(path.with_suffix(".tmp"), "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(count):
            folder = f"{1700000000 + i * 37:d}_{i:04d}"
            title = f"Saved page {i}"
            z.writestr(zipfile.ZipInfo(f"{folder}/index.rdf", date_time=stamp),
                       index_rdf(title, f"https://example.org/articles/{i}.html"),
                       compress_type=zipfile.ZIP_DEFLATED)
            z.writestr(zipfile.ZipInfo(f"{folder}/index.html", date_time=stamp),
                       b"<!DOCTYPE html><html><head><title>%s</title></head><body><p>Page %d"
                       b"</p></body></html>" % (title.encode(), i),
                       compress_type=zipfile.ZIP_DEFLATED)
    path.with_suffix(".tmp").rename(path)


def build(out: pathlib.Path):
    out.mkdir(parents=True, exist_ok=True)
    for count in PAGES:
        build_pages(out, count)
    for total in SIZES:
        path = out / f"bench-{total}.maff"
        if fresh(path):
            continue
        items = [("page/index.rdf", index_rdf("Bench page", "http://example.org/bench/"))]
        items += resources()
        # One large item among the filler: what a small item must not wait behind for long.
        big = random.Random(total).randbytes(8 * 1024 * 1024)
        filler = total - len(items) - 1
        with zipfile.ZipFile(path.with_suffix(".tmp"), "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in items:
                z.writestr(zipfile.ZipInfo(name, date_time=(2024, 1, 2, 3, 4, 6)), data,
                           compress_type=zipfile.ZIP_DEFLATED)
            z.writestr(zipfile.ZipInfo("site/big.bin", date_time=(2024, 1, 2, 3, 4, 6)), big,
                       compress_type=zipfile.ZIP_STORED)
            for i in range(filler):
                name = f"site/{i // 1000:03d}/file{i:05d}.html"
                z.writestr(zipfile.ZipInfo(name, date_time=(2024, 1, 2, 3, 4, 6)),
                           b"<p>filler %d</p>" % i, compress_type=zipfile.ZIP_STORED)
        path.with_suffix(".tmp").rename(path)


if __name__ == "__main__":
    build(pathlib.Path(sys.argv[1]))
