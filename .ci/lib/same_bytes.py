"""Exits 0 if two wheels (zip) or two sdists (tar.gz) are byte-identical.
Otherwise names the first entry that differs, and how, and exits 1: its
contents, its metadata (time, mode, compression), an entry that only one
holds, or, if every entry is the same, the archive's own bytes.

    python same_bytes.py FIRST SECOND
"""

import gzip
import io
import sys
import tarfile
import zipfile


def zip_entries(path):
    with zipfile.ZipFile(path) as archive:
        return [(info.filename, (info.date_time, info.external_attr, info.compress_type, info.extra),
                 archive.read(info)) for info in archive.infolist()]


def tar_entries(path):
    with open(path, "rb") as file:
        data = gzip.decompress(file.read())
    with tarfile.open(fileobj=io.BytesIO(data)) as archive:
        return [(member.name, (member.mtime, member.mode, member.uid, member.gid, member.uname, member.gname),
                 archive.extractfile(member).read() if member.isfile() else b"") for member in archive]


def main(first, second):
    with open(first, "rb") as a, open(second, "rb") as b:
        if a.read() == b.read():
            return 0
    entries = zip_entries if zipfile.is_zipfile(first) else tar_entries
    left, right = entries(first), entries(second)
    for (name_a, meta_a, data_a), (name_b, meta_b, data_b) in zip(left, right):
        if name_a != name_b:
            print(f"the entries differ in name or order: {name_a} against {name_b}")
        elif data_a != data_b:
            print(f"{name_a}: its contents differ ({len(data_a)} against {len(data_b)} bytes)")
        elif meta_a != meta_b:
            print(f"{name_a}: its metadata differ: {meta_a} against {meta_b}")
        else:
            continue
        return 1
    if len(left) != len(right):
        longer = left if len(left) > len(right) else right
        print(f"{longer[min(len(left), len(right))][0]}: in one archive only")
    else:
        print("every entry is the same, but the archives' own bytes differ (order, headers or compression)")
    return 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
