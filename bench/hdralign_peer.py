#!/usr/bin/python3
# The peer of bench_hdralign: OpenCV's AlignMTB on one thread over the same 50 series (which
# bench_hdralign writes into the temporary folder first), with its defaults: a 6-level pyramid
# (max_bits 6), exclusion range 4 and cut on. Like the maker, it places each exposure against
# its neighbour (calculateShift on the grey images, the shifts summed along the series); the
# time per series covers the grey conversions and the four shifts of images already in
# memory. Errors are taken at the image centre against the middle exposure, as the benchmark
# does; AlignMTB measures no rotation, so its rotation error is the true turn between
# neighbours.
# Run pinned like the benchmark: taskset -c N /usr/bin/python3 bench/hdralign_peer.py
import math
import os
import time

import cv2
import numpy as np

cv2.setNumThreads(1)
folder = os.path.join("/tmp", "lumerin_bench_align")
truth = {}
with open(os.path.join(folder, "truth.txt")) as f:
    for line in f:
        s, i, x, y, deg, mult = line.split()
        truth[(int(s), int(i))] = (float(x), float(y), float(deg))
series = sorted({s for s, _ in truth})
n = 1 + max(i for _, i in truth)
mtb = cv2.createAlignMTB(6, 4, True)
times, worst, placed, wrong = [], [], 0, 0
for s in series:
    images = [cv2.imread(os.path.join(folder, "s%d_%d.jpg" % (s, i)), cv2.IMREAD_COLOR)
              for i in range(n)]
    t0 = time.perf_counter()
    grey = [cv2.cvtColor(im, cv2.COLOR_BGR2GRAY) for im in images]
    # calculateShift(a, b) is the move of b that matches a: minus b's offset against a.
    off = [(0, 0)]
    for i in range(1, n):
        d = mtb.calculateShift(grey[i - 1], grey[i])
        off.append((off[-1][0] - d[0], off[-1][1] - d[1]))
    ms = 1000 * (time.perf_counter() - t0)
    times.append(ms)
    m = n // 2
    px = max(math.hypot(off[i][0] - off[m][0] - (truth[(s, i)][0] - truth[(s, m)][0]),
                        off[i][1] - off[m][1] - (truth[(s, i)][1] - truth[(s, m)][1]))
             for i in range(n))
    deg = max(abs(truth[(s, i)][2] - truth[(s, i - 1)][2]) for i in range(1, n))
    worst.append(px)
    if px <= 2:
        placed += 1
    else:
        wrong += 1
    print("series %2d: %7.1f ms  worst %.2f px %.3f deg" % (s, ms, px, deg))
times.sort()
print("AlignMTB: %d series, median %.1f ms, mean %.1f ms; within 2 px: %d, further: %d, "
      "worst %.2f px" % (len(series), times[len(times) // 2], sum(times) / len(times), placed,
                         wrong, max(worst)))
