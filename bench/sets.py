"""The file sets of the download benchmark, generated once into a cache folder."""

import os

# name, label, file count, file size
SETS = [
    ("big", "1 x 1 GiB", 1, 1 << 30),
    ("medium", "200 x 1 MiB", 200, 1 << 20),
    ("small", "2000 x 16 KiB", 2000, 16 << 10),
]
LOCALE = "enGB"
STAMP = "sets-v1"


def set_folder(cache, name):
    """The update folder of a set, laid out as embercrest-publish expects: <set>/<locale>/."""
    return os.path.join(cache, "www", name)


def file_names(name, count):
    width = len(str(count))
    return [f"{name}-{i:0{width}d}.bin" for i in range(1, count + 1)]


def generate(cache):
    """Writes every set with random (incompressible) content, unless it is there already."""
    stamp = os.path.join(cache, STAMP)
    if os.path.exists(stamp):
        return
    for name, label, count, size in SETS:
        folder = os.path.join(set_folder(cache, name), LOCALE)
        os.makedirs(folder, exist_ok=True)
        print(f"generating {label} in {folder}", flush=True)
        for file_name in file_names(name, count):
            write_random(os.path.join(folder, file_name), size)
    with open(stamp, "w") as f:
        f.write("\n".join(f"{n} {c} {s}" for n, _, c, s in SETS) + "\n")


def write_random(path, size, chunk=16 << 20):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            block = os.urandom(min(chunk, left))
            f.write(block)
            left -= len(block)


if __name__ == "__main__":
    import sys

    generate(sys.argv[1])
