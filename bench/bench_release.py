"""Writes the benchmarks' release BENCH: 5,000 files in 50 folders of 100,
sizes like a real installation's (mostly small, a few large), and a
manifest with two mirrors and one data source.

  python3 bench/bench_release.py RELEASE_FOLDER [--no-sources]
"""
import os
import random
import sys

release = sys.argv[1]
random.seed(8)
for d in range(50):
    folder = os.path.join(release, "files", f"Module{d:02}")
    os.makedirs(folder)
    for f in range(100):
        size = random.choice([600, 2_000, 9_000, 40_000, 250_000])
        with open(os.path.join(folder, f"component_{d:02}_{f:03}.dll"), "wb") as out:
            out.write(random.randbytes(size))
with open(os.path.join(release, "manifest.txt"), "w") as m:
    m.write("ftp 127.0.0.1/BENCH/files\nftp 127.0.0.2/BENCH/files\n")
    if "--no-sources" not in sys.argv:
        m.write("dsn system ULMAR | ulmar | dbsrv01\n")
    m.write("keep *.ini\n")
