#!/usr/bin/python3
"""Trains the small Fashion-MNIST classifier that scalefinder's tests and
benchmark calibrate, and writes its weights as a binary qrn NetParameter.

    /usr/bin/python3 train.py [OUTPUT]    (default: fashion_mnist.weights here)

Needs numpy and the dataset-fashion-mnist package.  The net is the one of
fashion_mnist.prototxt: conv1 (8, 3x3, pad 1) - ReLU - max pool 2 - conv2 (16,
3x3, pad 1) - ReLU - max pool 2 - ip1 (32) - ReLU - ip2 (10) - softmax, on
images scaled to [0, 1].  Training is deterministic (fixed seed, plain SGD
with momentum); a few minutes on one core.
"""
import gzip
import os
import struct
import sys
import time

import numpy as np

DATA_DIR = "/usr/share/datasets/fashion-mnist"
HERE = os.path.dirname(os.path.abspath(__file__))


def read_idx(path):
    with gzip.open(path, "rb") as f:
        raw = f.read()
    magic, = struct.unpack(">I", raw[:4])
    ndim = magic & 0xFF
    dims = struct.unpack(">" + "I" * ndim, raw[4:4 + 4 * ndim])
    return np.frombuffer(raw, dtype=np.uint8, offset=4 + 4 * ndim).reshape(dims)


def load(kind):
    images = read_idx(os.path.join(DATA_DIR, kind + "-images-idx3-ubyte.gz"))
    labels = read_idx(os.path.join(DATA_DIR, kind + "-labels-idx1-ubyte.gz"))
    x = images.astype(np.float32)[:, None, :, :] * np.float32(1.0 / 256.0)
    return x, labels.astype(np.int64)


# --- layers (NCHW, float32) -------------------------------------------------

def im2col(x):
    """3x3 windows of x padded by 1: (B, H, W, C * 9)."""
    b, c, h, w = x.shape
    xp = np.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1)))
    win = np.lib.stride_tricks.sliding_window_view(xp, (3, 3), axis=(2, 3))
    return np.ascontiguousarray(win.transpose(0, 2, 3, 1, 4, 5)).reshape(b, h, w, c * 9)


def conv_forward(x, wt, bias):
    cols = im2col(x)
    out = cols @ wt.reshape(wt.shape[0], -1).T + bias
    return out.transpose(0, 3, 1, 2), cols


def conv_backward(dout, cols, wt, x_shape):
    b, c, h, w = x_shape
    o = wt.shape[0]
    d2 = dout.transpose(0, 2, 3, 1).reshape(-1, o)
    dw = (d2.T @ cols.reshape(-1, c * 9)).reshape(wt.shape)
    db = d2.sum(axis=0)
    dcols = (d2 @ wt.reshape(o, -1)).reshape(b, h, w, c, 3, 3)
    dxp = np.zeros((b, c, h + 2, w + 2), dtype=np.float32)
    for ki in range(3):
        for kj in range(3):
            dxp[:, :, ki:ki + h, kj:kj + w] += dcols[:, :, :, :, ki, kj].transpose(0, 3, 1, 2)
    return dxp[:, :, 1:-1, 1:-1], dw, db


def pool_forward(x):
    b, c, h, w = x.shape
    r = x.reshape(b, c, h // 2, 2, w // 2, 2)
    out = r.max(axis=(3, 5))
    mask = r == out[:, :, :, None, :, None]
    return out, mask


def pool_backward(dout, mask):
    b, c, h2, _, w2, _ = mask.shape
    d = mask * dout[:, :, :, None, :, None]
    # Ties share the gradient of their window.
    d = d / np.maximum(mask.sum(axis=(3, 5), keepdims=True), 1)
    return d.reshape(b, c, h2 * 2, w2 * 2).astype(np.float32)


class Net:
    def __init__(self, rng):
        def he(shape, fan_in):
            return (rng.standard_normal(shape) * np.sqrt(2.0 / fan_in)).astype(np.float32)
        self.p = {
            "conv1_w": he((8, 1, 3, 3), 9), "conv1_b": np.zeros(8, np.float32),
            "conv2_w": he((16, 8, 3, 3), 72), "conv2_b": np.zeros(16, np.float32),
            "ip1_w": he((32, 784), 784), "ip1_b": np.zeros(32, np.float32),
            "ip2_w": he((10, 32), 32), "ip2_b": np.zeros(10, np.float32),
        }

    def forward(self, x, keep=False):
        p = self.p
        c1, cols1 = conv_forward(x, p["conv1_w"], p["conv1_b"])
        r1 = np.maximum(c1, 0)
        p1, m1 = pool_forward(r1)
        c2, cols2 = conv_forward(p1, p["conv2_w"], p["conv2_b"])
        r2 = np.maximum(c2, 0)
        p2, m2 = pool_forward(r2)
        f = p2.reshape(p2.shape[0], -1)
        h = f @ p["ip1_w"].T + p["ip1_b"]
        hr = np.maximum(h, 0)
        logits = hr @ p["ip2_w"].T + p["ip2_b"]
        if keep:
            self.cache = (x, cols1, c1, m1, p1, cols2, c2, m2, p2, f, h, hr)
        return logits

    def backward(self, dlogits):
        p = self.p
        x, cols1, c1, m1, p1, cols2, c2, m2, p2, f, h, hr = self.cache
        g = {}
        g["ip2_w"] = dlogits.T @ hr
        g["ip2_b"] = dlogits.sum(axis=0)
        dh = (dlogits @ p["ip2_w"]) * (h > 0)
        g["ip1_w"] = dh.T @ f
        g["ip1_b"] = dh.sum(axis=0)
        dp2 = (dh @ p["ip1_w"]).reshape(p2.shape)
        dc2 = pool_backward(dp2, m2) * (c2 > 0)
        dp1, g["conv2_w"], g["conv2_b"] = conv_backward(dc2, cols2, p["conv2_w"], p1.shape)
        dc1 = pool_backward(dp1, m1) * (c1 > 0)
        _, g["conv1_w"], g["conv1_b"] = conv_backward(dc1, cols1, p["conv1_w"], x.shape)
        return g


def softmax_xent(logits, labels):
    z = logits - logits.max(axis=1, keepdims=True)
    e = np.exp(z)
    prob = e / e.sum(axis=1, keepdims=True)
    loss = -np.log(prob[np.arange(len(labels)), labels] + 1e-12).mean()
    d = prob
    d[np.arange(len(labels)), labels] -= 1
    return loss, (d / len(labels)).astype(np.float32)


def accuracy(net, x, y, batch=1000):
    right = 0
    for i in range(0, len(x), batch):
        right += int((net.forward(x[i:i + batch]).argmax(axis=1) == y[i:i + batch]).sum())
    return right / len(x)


# --- the weights file: a binary qrn NetParameter, encoded by hand ------------

def varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def field(number, payload):
    """A length-delimited field."""
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def blob_proto(array):
    shape = field(1, b"".join(varint(d) for d in array.shape))  # BlobShape.dim, packed
    data = field(2, np.asarray(array, dtype="<f4").tobytes())   # BlobProto.data, packed
    return field(1, shape) + data


def layer_proto(name, kind, blobs):
    body = field(1, name.encode()) + field(2, kind.encode())
    for b in blobs:
        body += field(6, blob_proto(b))
    return body


def write_weights(net, path):
    p = net.p
    layers = [("conv1", "Convolution"), ("conv2", "Convolution"),
              ("ip1", "InnerProduct"), ("ip2", "InnerProduct")]
    msg = field(1, b"fashion_mnist")
    for name, kind in layers:
        msg += field(2, layer_proto(name, kind, [p[name + "_w"], p[name + "_b"]]))
    with open(path, "wb") as f:
        f.write(msg)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "fashion_mnist.weights")
    rng = np.random.default_rng(20261210)
    x_train, y_train = load("train")
    x_test, y_test = load("t10k")
    net = Net(rng)
    vel = {k: np.zeros_like(v) for k, v in net.p.items()}
    batch, epochs, momentum = 64, 3, 0.9
    start = time.time()
    for epoch in range(epochs):
        lr = 0.05 * (0.3 ** epoch)
        order = rng.permutation(len(x_train))
        total = 0.0
        for step, i in enumerate(range(0, len(order), batch)):
            idx = order[i:i + batch]
            logits = net.forward(x_train[idx], keep=True)
            loss, dlogits = softmax_xent(logits, y_train[idx])
            grads = net.backward(dlogits)
            for k in net.p:
                vel[k] = momentum * vel[k] - lr * grads[k].astype(np.float32)
                net.p[k] += vel[k]
            total += loss
        print("epoch %d: loss %.4f, test accuracy %.4f (%.0f s)"
              % (epoch, total / (step + 1), accuracy(net, x_test, y_test), time.time() - start),
              flush=True)
    write_weights(net, out)
    print("wrote", out)


if __name__ == "__main__":
    main()
