#!/usr/bin/python3
"""Expected values for resample_test.cpp, computed apart from the C++ code: kernels with
IEEE single rounding (struct) where a value is named, Python floats (double) elsewhere,
exact integers for the pixel arithmetic. Prints C++ table rows; run it to check them."""
import math
import struct


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def sinc(y):
    if y == 0:
        return 1.0
    p = f32(y * math.pi)
    return f32(math.sin(p) / p)


def box(x):
    return 1.0 if -0.5 < x <= 0.5 else 0.0


def triangle(x):
    a = abs(x)
    return f32(1 - a) if a < 1 else 0.0


def hermite(x):
    a = abs(x)
    return f32((2 * a - 3) * (a * a) + 1) if a < 1 else 0.0


def bell(x):
    a = abs(x)
    if a < 0.5:
        return f32(0.75 - a * a)
    if a < 1.5:
        t = f32(a - 1.5)
        return f32(0.5 * (t * t))
    return 0.0


def bspline(x):
    a = abs(x)
    t = f32(a * a)
    if a < 1:
        return f32(0.5 * t * a - t + 2 / 3)
    if a < 2:
        u = f32(2 - a)
        return f32(u * u * u / 6)
    return 0.0


def lanczos3(x):
    a = abs(x)
    return f32(sinc(a) * sinc(a / 3)) if a < 3 else 0.0


def mitchell(x):
    a = abs(x)
    t = f32(a * a)
    if a < 1:
        return f32(f32(7 * a * t - 12 * t + 16 / 3) / 6)
    if a < 2:
        return f32(f32(-(7 / 3) * a * t + 12 * t - 20 * a + 32 / 3) / 6)
    return 0.0


KERNELS = [("fkBox", box, 0.5), ("fkTriangle", triangle, 1.0), ("fkHermite", hermite, 1.0),
           ("fkBell", bell, 1.5), ("fkBSpline", bspline, 2.0), ("fkLanczos3", lanczos3, 3.0),
           ("fkMitchell", mitchell, 2.0)]


def round_even(v):
    f = math.floor(v)
    d = v - f
    return int(f) + (1 if d > 0.5 or (d == 0.5 and int(f) % 2 == 1) else 0)


def fold(j, n):
    while j < 0 or j >= n:
        j = -j if j < 0 else 2 * n - 1 - j
    return j


def contributors(kernel, radius, n_src, n_dst):
    scale = f32(n_dst / n_src) if n_src == 1 else f32((n_dst - 1) / (n_src - 1))
    entries = []
    for i in range(n_dst):
        reduce = scale < 1
        s = f32(radius / scale) if reduce else radius
        center = f32(i / scale)
        entry = []
        for j in range(math.floor(center - s), math.ceil(center + s) + 1):
            if reduce:
                w = round_even(kernel(f32((center - j) * scale)) * scale * 256)
            else:
                w = round_even(kernel(f32(center - j)) * 256)
            if w:
                entry.append((w, fold(j, n_src)))
        entries.append(entry)
    return entries


def blend(entry, line):
    wsum = sum(w for w, _ in entry)
    total = sum(w * line[p] for w, p in entry)
    if wsum:
        q = abs(total) // abs(wsum)
        q = q if (total < 0) == (wsum < 0) else -q
    else:
        q = (total & 0xFFFFFFFF) >> 8
    return min(max(q, 0), 255)


def resample_row(kernel, radius, row, n_dst):
    return [blend(e, row) for e in contributors(kernel, radius, len(row), n_dst)]


ROW = [10, 200, 30, 255, 0, 90]
for name, kernel, radius in KERNELS:
    down = resample_row(kernel, radius, ROW, 4)
    up = resample_row(kernel, radius, ROW[:4], 9)
    print("        {%s, {%s}, {%s}}," % (name, ", ".join(map(str, down)), ", ".join(map(str, up))))
for name, kernel, radius in KERNELS:
    values = [kernel(f32(x)) for x in (0.0, 0.25, 0.5, 1.0, 1.25, 1.75, 2.5)]
    print("        {%s, {%s}}," % (name, ", ".join(v.hex() for v in values)))
