#!/usr/bin/env python3
"""Writes a release tree for the deployment measure.

    make_tree.py <dir> [--files 500] [--mib 200] [--generation 1] [--seed 12]

The tree looks like an installed product: most files below bin (among them
svn*, libapr*, sasl* files and QLNUpgrade.exe), language modules, Common and
Help folders and a version.txt at the top. File sizes follow a fixed
pseudo-random spread (a few large libraries, many small files) and add up to
exactly <mib> MiB. The same seed gives the same paths and sizes; the
generation changes the content, so generation 1 and 2 are two releases of
the same tree.
"""

import argparse
import os
import random


def layout(files, seed):
    rnd = random.Random(seed)
    paths = ["version.txt", "bin\\QLNUpgrade.exe", "bin\\QuillProc.exe", "bin\\QLNCache.exe"]
    groups = [
        ("bin\\svn{}.dll", 40), ("bin\\libapr{}.dll", 10), ("bin\\sasl{}.dll", 6),
        ("bin\\intl3_{}.dll", 4), ("Languages\\lang{}.dll", 30), ("Common\\common{}.dat", 20),
        ("Help\\topic{}.html", 60), ("Diff-Scripts\\diff{}.vbs", 30),
    ]
    for pattern, count in groups:
        paths += [pattern.format(i) for i in range(count)]
    i = 0
    while len(paths) < files:
        paths.append("bin\\module{}.dll".format(i) if rnd.random() < 0.6 else "icons\\icon{}.ico".format(i))
        i += 1
    paths = paths[:files]
    # A long-tailed spread of weights: a few large files carry most bytes.
    weights = [rnd.paretovariate(1.2) for _ in paths]
    return paths, weights


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("dir")
    parser.add_argument("--files", type=int, default=500)
    parser.add_argument("--mib", type=int, default=200)
    parser.add_argument("--generation", type=int, default=1)
    parser.add_argument("--seed", type=int, default=12)
    args = parser.parse_args()

    paths, weights = layout(args.files, args.seed)
    total = args.mib * 1024 * 1024
    scale = total / sum(weights)
    sizes = [max(1, int(w * scale)) for w in weights]
    sizes[0] = 32  # version.txt
    sizes[-1] += total - sum(sizes)

    block = bytes((i * 131 + args.generation * 7) & 0xFF for i in range(1 << 20))
    for index, (path, size) in enumerate(zip(paths, sizes)):
        full = os.path.join(args.dir, *path.split("\\"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            header = ("generation %d file %d\n" % (args.generation, index)).encode()
            f.write(header[:size])
            left = size - min(size, len(header))
            while left > 0:
                take = min(left, len(block))
                f.write(block[:take])
                left -= take


if __name__ == "__main__":
    main()
