#!/usr/bin/python3
"""Plain numpy version of scalefinder's statistics passes and threshold search on the
shipped Fashion-MNIST network: the side-by-side reference of scalefinder_bench.

Runs the float net over N test images for a maximum pass and over the next N
for a histogram pass (the data layer reads on, as in scalefinder), keeps per layer the largest absolute
output and 2048-bin histograms of absolute values (whole layer and per
channel), then searches each layer's threshold with the KL divergence (or
METHOD: SYMKL, the symmetric KL divergence; JSD, the Jensen-Shannon one).
Prints one line per layer: name, maximum, chosen candidate (1..16), threshold.

    numpy_calibration.py WEIGHTS_DIR IMAGES_GZ N [BATCH [METHOD]]

WEIGHTS_DIR holds <layer>.<blob>.f32 (raw little-endian float32) and
shapes.txt ("<layer>.<blob> d0 d1 ..." per line), as scalefinder_bench writes.
"""
import gzip
import sys

import numpy as np

BINS = 2048
LARGE = 128
EPS = 1e-6


def read_images(path, n):
    with gzip.open(path, "rb") as f:
        head = np.frombuffer(f.read(16), dtype=">u4")
        rows, cols = int(head[2]), int(head[3])
        data = np.frombuffer(f.read(n * rows * cols), dtype=np.uint8)
    return data.reshape(n, 1, rows, cols)


def read_weights(d):
    w = {}
    with open(d + "/shapes.txt") as f:
        for line in f:
            parts = line.split()
            shape = [int(x) for x in parts[1:]]
            w[parts[0]] = np.fromfile(d + "/" + parts[0] + ".f32", dtype="<f4").reshape(shape)
    return w


def conv3x3_pad1(x, w, b):
    n, c, h, wd = x.shape
    p = np.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1)))
    win = np.lib.stride_tricks.sliding_window_view(p, (3, 3), axis=(2, 3))  # n c h w 3 3
    cols = win.transpose(0, 2, 3, 1, 4, 5).reshape(n * h * wd, c * 9)
    out = cols @ w.reshape(w.shape[0], -1).T + b
    return out.reshape(n, h, wd, -1).transpose(0, 3, 1, 2)


def maxpool2(x):
    n, c, h, w = x.shape
    return x.reshape(n, c, h // 2, 2, w // 2, 2).max(axis=(3, 5))


def forward(x, w):
    """Outputs of the 11 layers, in net order."""
    data = x.astype(np.float32) * np.float32(0.00390625)
    conv1 = conv3x3_pad1(data, w["conv1.0"], w["conv1.1"])
    relu1 = np.maximum(conv1, 0)
    pool1 = maxpool2(relu1)
    conv2 = conv3x3_pad1(pool1, w["conv2.0"], w["conv2.1"])
    relu2 = np.maximum(conv2, 0)
    pool2 = maxpool2(relu2)
    ip1 = pool2.reshape(len(x), -1) @ w["ip1.0"].T + w["ip1.1"]
    relu3 = np.maximum(ip1, 0)
    ip2 = relu3 @ w["ip2.0"].T + w["ip2.1"]
    e = np.exp(ip2 - ip2.max(axis=1, keepdims=True))
    prob = e / e.sum(axis=1, keepdims=True)
    return [("data", data), ("conv1", conv1), ("relu1", relu1), ("pool1", pool1), ("conv2", conv2),
            ("relu2", relu2), ("pool2", pool2), ("ip1", ip1), ("relu3", relu3), ("ip2", ip2),
            ("prob", prob)]


def channel_view(a):
    """(N, C, H*W) view of a 2- or 4-axis output."""
    return a.reshape(a.shape[0], a.shape[1], -1)


def bins_of(absval, width):
    b = np.floor(absval / width + 0.5)
    return np.clip(b, 0, BINS - 1).astype(np.int64)


def divergence(p, q, method):
    if method == "SYMKL":
        return np.sum(p * np.log((p + EPS) / (q + EPS)) + q * np.log((q + EPS) / (p + EPS)))
    if method == "JSD":
        m = (p + q) * 0.5
        return np.sum(m * np.log((m + EPS) / (q + EPS)) + m * np.log((m + EPS) / (p + EPS)))
    return np.sum(p * np.log((p + EPS) / (q + EPS)))


def search(hist, fmax, count, method):
    hist = hist.astype(np.float64)
    hist[0] = hist[1]
    divs = []
    for i in range(LARGE, BINS + 1, LARGE):
        m = i // LARGE
        p = hist[:i].copy()
        p[i - 1] += hist[i:].sum()
        p /= count
        t = hist[:i].reshape(LARGE, m).sum(axis=1)
        s = t.sum() or 1.0
        q = np.repeat(t / s / m, m)
        divs.append(divergence(p, q, method))
    best = int(np.argmin(divs))
    return best + 1, LARGE * (best + 1) * fmax / BINS


def main():
    wdir, images_gz, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    batch = int(sys.argv[4]) if len(sys.argv) > 4 else 100
    method = sys.argv[5] if len(sys.argv) > 5 else "KL"
    w = read_weights(wdir)
    images = read_images(images_gz, 2 * n)

    maxima, chmax = {}, {}
    for s in range(0, n, batch):
        for name, a in forward(images[s:min(s + batch, n)], w):
            absval = np.abs(a)
            maxima[name] = max(maxima.get(name, 0.0), float(absval.max()))
            cm = channel_view(absval).max(axis=(0, 2)).astype(np.float64)
            chmax[name] = np.maximum(chmax.get(name, 0.0), cm)
    for name in maxima:
        if maxima[name] < 0.0001:
            maxima[name] = 0.001

    hists, chhists, counts = {}, {}, {}
    for s in range(n, 2 * n, batch):
        for name, a in forward(images[s:min(s + batch, 2 * n)], w):
            absval = np.abs(a).astype(np.float64)
            h = np.bincount(bins_of(absval, maxima[name] / (BINS - 1)).ravel(), minlength=BINS)
            hists[name] = hists.get(name, 0) + h
            counts[name] = counts.get(name, 0) + a.size
            cv = channel_view(absval)
            c = cv.shape[1]
            width = (chmax[name] / (BINS - 1))[None, :, None]
            with np.errstate(divide="ignore", invalid="ignore"):
                cb = np.where(width > 0, bins_of(cv, np.where(width > 0, width, 1.0)), 0)
            cb = cb + (np.arange(c) * BINS)[None, :, None]
            ch = np.bincount(cb.ravel(), minlength=c * BINS).reshape(c, BINS)
            chhists[name] = chhists.get(name, 0) + ch

    for name in maxima:
        k, th = search(hists[name], maxima[name], counts[name], method)
        print("%s %.9g %d %.9g" % (name, maxima[name], k, th))


if __name__ == "__main__":
    main()
