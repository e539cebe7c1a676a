#!/usr/bin/python3
# The peer of bench_makehdr: OpenCV's MergeDebevec on one thread over the same five TIFF
# exposures with the same response (x squared), reading the files and writing a float TIFF.
# Run pinned like the benchmark: taskset -c N /usr/bin/python3 bench/makehdr_peer.py
import os
import sys
import tempfile
import time

import cv2
import numpy as np

cv2.setNumThreads(1)
tmp = tempfile.gettempdir()
paths = [os.path.join(tmp, "lumerin_bench_mhdr%d.tif" % i) for i in range(5)]
times = np.array([1e-3 * 4.0**i for i in range(5)], dtype=np.float32)
# Linear value of each 8-bit code through the response x squared (from 1/255 up: 0 is no light).
lin = np.maximum((np.arange(256, dtype=np.float32) / 255.0) ** 2, 1.0 / 65025)
response = np.repeat(lin.reshape(256, 1, 1), 3, axis=2)
merge = cv2.createMergeDebevec()
out = os.path.join(tmp, "lumerin_bench_mhdr_peer.tif")
best = None
for run in range(int(sys.argv[1]) if len(sys.argv) > 1 else 3):
    t0 = time.perf_counter()
    images = [cv2.imread(p, cv2.IMREAD_COLOR) for p in paths]
    hdr = merge.process(images, times, response)
    cv2.imwrite(out, hdr)
    t = time.perf_counter() - t0
    best = t if best is None else min(best, t)
    print("run %d: %.0f ms" % (run, 1000 * t))
os.remove(out)
print("best: %.0f ms for %dx%d x %d" % (1000 * best, images[0].shape[1], images[0].shape[0], len(images)))
