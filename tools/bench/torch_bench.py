#!/usr/bin/python3
"""Runs an ncnn-format network (.param + .bin) on PyTorch: a yardstick for `bench` and an oracle we did not
write for its results.

    /usr/bin/python3 tools/bench/torch_bench.py --param M.param --bin M.bin --size 64x64 --threads 2 \\
        [--runs 3] [--compare OUT.f32] [--dtype fp32|bf16] [--input FILE.rgb] [--save-output OUT.f32]

Debian's python3-torch is enough (`apt-get install python3-torch`); nothing in the build or the tests
needs it. The input is the one `bench` feeds (or the same --input picture), so `bench ... --save-output
OUT.f32` followed by `--compare OUT.f32` measures how far our runtime is from PyTorch on the same weights.
`--dtype bf16` runs the whole network in bf16 (weights, activations, sums), PyTorch's own low-precision
path; comparing its --save-output with that of an fp32 run says how close bf16 stays to fp32 there.

Layers: Input, Convolution (grouped, with its fused activation), Split, Concat, Eltwise, BinaryOp, Interp,
PReLU, PixelShuffle, Pooling: what the Real-ESRGAN family uses.
"""

import argparse
import struct
import sys
import time

import numpy as np
import torch
import torch.nn.functional as F

TAG_FP16 = 0x01306B47
TAG_FP32 = 0x0002C056


def parse_value(text):
    return float(text) if any(ch in text for ch in ".eE") else int(text)


def parse_params(tokens):
    params = {}
    for token in tokens:
        key, value = token.split("=", 1)
        key = int(key)
        if key <= -23300:
            items = value.split(",")
            params[-key - 23300] = [parse_value(v) for v in items[1:]]
        else:
            params[key] = parse_value(value)
    return params


def read_param(path):
    lines = [line.split() for line in open(path) if line.strip()]
    if lines[0] != ["7767517"]:
        sys.exit(f"{path}: not an ncnn param file")
    layers = []
    for fields in lines[2:]:
        kind, name, n_in, n_out = fields[0], fields[1], int(fields[2]), int(fields[3])
        inputs = fields[4:4 + n_in]
        outputs = fields[4 + n_in:4 + n_in + n_out]
        layers.append((kind, name, inputs, outputs, parse_params(fields[4 + n_in + n_out:])))
    return layers


class Weights:
    def __init__(self, path):
        self.data = open(path, "rb").read()
        self.pos = 0

    def raw(self, count):
        values = np.frombuffer(self.data, dtype="<f4", count=count, offset=self.pos)
        self.pos += 4 * count
        return values

    def tagged(self, count):
        (tag,) = struct.unpack_from("<I", self.data, self.pos)
        self.pos += 4
        if tag == TAG_FP16:
            values = np.frombuffer(self.data, dtype="<f2", count=count, offset=self.pos).astype(np.float32)
            self.pos += (2 * count + 3) // 4 * 4
            return values
        if tag in (0, TAG_FP32):
            return self.raw(count)
        sys.exit(f"weights: storage tag {tag:#x} is not handled here")


def activation(x, kind, params):
    if kind == 0:
        return x
    if kind == 1:
        return F.relu(x)
    if kind == 2:
        return F.leaky_relu(x, params[0] if params else 0.0)
    if kind == 3:
        return torch.clamp(x, params[0], params[1])
    if kind == 4:
        return torch.sigmoid(x)
    sys.exit(f"activation type {kind} is not handled here")


def build(layers, weights, dtype=torch.float32):
    """Loads each layer's weights in file order, as `dtype`, and returns the network as a function of its
    input."""
    steps = []
    for kind, name, inputs, outputs, p in layers:
        if kind == "Convolution":
            out_c, kw = p.get(0, 0), p.get(1, 0)
            kh = p.get(11, kw)
            group = p.get(7, 1)
            w = torch.from_numpy(weights.tagged(p[6]).copy())
            w = w.reshape(out_c, -1, kh, kw).to(dtype)
            b = torch.from_numpy(weights.raw(out_c).copy()).to(dtype) if p.get(5, 0) else None
            dw, sw, pw = p.get(2, 1), p.get(3, 1), p.get(4, 0)
            geometry = dict(stride=(p.get(13, sw), sw), dilation=(p.get(12, dw), dw), groups=group)
            pads = (pw, p.get(15, pw), p.get(14, pw), p.get(16, p.get(14, pw)))
            act, act_params = p.get(9, 0), p.get(10, [])

            def conv(x, w=w, b=b, g=geometry, pads=pads, act=act, ap=act_params):
                x = F.pad(x, pads) if any(pads) else x
                return [activation(F.conv2d(x, w, b, **g), act, ap)]
            steps.append((inputs, outputs, conv))
        elif kind == "PReLU":
            slope = torch.from_numpy(weights.raw(p.get(0, 1)).copy()).to(dtype)
            steps.append((inputs, outputs, lambda x, s=slope: [F.prelu(x, s)]))
        elif kind == "Input":
            continue
        elif kind == "Split":
            steps.append((inputs, outputs, lambda x, n=len(outputs): [x] * n))
        elif kind == "Concat":
            steps.append((inputs, outputs, lambda *xs, axis=p.get(0, 0): [torch.cat(xs, dim=axis + 1)]))
        elif kind == "Eltwise":
            op, coeffs = p.get(0, 1), p.get(1, [])

            def eltwise(*xs, op=op, coeffs=coeffs):
                if op == 0:
                    y = xs[0]
                    for x in xs[1:]:
                        y = y * x
                    return [y]
                if op == 2:
                    return [torch.stack(xs).amax(dim=0)]
                c = coeffs or [1.0] * len(xs)
                return [sum(ci * x for ci, x in zip(c, xs))]
            steps.append((inputs, outputs, eltwise))
        elif kind == "BinaryOp":
            op, with_scalar, scalar = p.get(0, 0), p.get(1, 0), p.get(2, 0.0)
            ops = [torch.add, torch.sub, torch.mul, torch.div, torch.maximum, torch.minimum, torch.pow,
                   lambda a, b: b - a, lambda a, b: b / a]

            def binary(*xs, f=ops[op], with_scalar=with_scalar, scalar=scalar):
                return [f(xs[0], torch.tensor(scalar)) if with_scalar else f(xs[0], xs[1])]
            steps.append((inputs, outputs, binary))
        elif kind == "Interp":
            mode = {1: "nearest", 2: "bilinear", 3: "bicubic"}[p.get(0, 1)]
            sh, sw_ = p.get(1, 1.0), p.get(2, 1.0)
            size = (p.get(3, 0), p.get(4, 0))

            def interp(x, mode=mode, sh=sh, sw=sw_, size=size):
                if size[0] and size[1]:
                    return [F.interpolate(x, size=size, mode=mode)]
                return [F.interpolate(x, scale_factor=(sh, sw), mode=mode)]
            steps.append((inputs, outputs, interp))
        elif kind == "PixelShuffle":
            steps.append((inputs, outputs, lambda x, r=p.get(0, 1): [F.pixel_shuffle(x, r)]))
        elif kind == "Pooling":
            kw, sw_, pl = p.get(1, 0), p.get(2, 1), p.get(3, 0)
            kernel, stride = (p.get(11, kw), kw), (p.get(12, sw_), sw_)
            pt = p.get(13, pl)
            # Global pooling, "same" padding and asymmetric padding are not modelled: a wrong oracle is
            # worse than none. Full padding (mode 0) extends the right and bottom as ceil mode does.
            if p.get(4, 0) or p.get(5, 0) not in (0, 1) or p.get(14, pl) != pl or p.get(15, pt) != pt:
                sys.exit(f"layer {name}: this form of Pooling is not handled here")
            geometry = dict(kernel_size=kernel, stride=stride, padding=(pt, pl), ceil_mode=p.get(5, 0) == 0)
            if p.get(0, 0) == 0:
                pool = lambda x, g=geometry: [F.max_pool2d(x, **g)]
            else:
                pool = lambda x, g=geometry, include=bool(p.get(6, 0)): [
                    F.avg_pool2d(x, count_include_pad=include, **g)]
            steps.append((inputs, outputs, pool))
        else:
            sys.exit(f"layer {name}: type {kind} is not handled here")
    # Zeros past the last layer are padding (the demo models are padded to the published sizes).
    if weights.data[weights.pos:].strip(b"\0"):
        sys.exit(f"weights: read {weights.pos} of {len(weights.data)} bytes: the layers do not match the .bin")

    # Each blob is dropped after its last reader, so large inputs fit in memory.
    last_use = {}
    for index, (inputs, _, _) in enumerate(steps):
        for blob in inputs:
            last_use[blob] = index

    def forward(data):
        blobs = {"data": data}
        for index, (inputs, outputs, f) in enumerate(steps):
            results = f(*[blobs[i] for i in inputs])
            for blob in set(inputs):
                if last_use[blob] == index:
                    del blobs[blob]
            blobs.update(zip(outputs, results))
        return blobs["output"]
    return forward


def bench_input(w, h):
    """The picture `bench` feeds: channel q, pixel i = ((7 i + 13 q) mod 256) / 255."""
    i = np.arange(w * h)
    planes = [((i * 7 + q * 13) % 256) / 255.0 for q in range(3)]
    return torch.from_numpy(np.stack(planes).reshape(1, 3, h, w).astype(np.float32))


def picture_input(path, w, h):
    """A W x H 8-bit RGB picture, interleaved (`convert X rgb:FILE`), as `bench --input` reads it."""
    rgb = np.fromfile(path, dtype=np.uint8)
    if rgb.size != w * h * 3:
        sys.exit(f"{path}: {rgb.size} bytes, not {w}x{h} RGB")
    planes = rgb.reshape(h, w, 3).transpose(2, 0, 1).astype(np.float32) / 255.0
    return torch.from_numpy(np.ascontiguousarray(planes).reshape(1, 3, h, w))


def levels(x):
    return np.clip(np.rint(x.astype(np.float64) * 255.0), 0, 255)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--param", required=True)
    ap.add_argument("--bin", required=True)
    ap.add_argument("--size", default="64x64")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--compare", help="raw float32 CHW output of `bench --save-output`")
    ap.add_argument("--dtype", choices=["fp32", "bf16"], default="fp32")
    ap.add_argument("--input", help="W x H 8-bit RGB picture instead of bench's pattern")
    ap.add_argument("--save-output", help="write the output as raw float32 CHW")
    args = ap.parse_args()
    w, h = (int(v) for v in args.size.split("x"))
    torch.set_num_threads(args.threads)
    dtype = torch.bfloat16 if args.dtype == "bf16" else torch.float32
    forward = build(read_param(args.param), Weights(args.bin), dtype)
    data = (picture_input(args.input, w, h) if args.input else bench_input(w, h)).to(dtype)
    best = float("inf")
    with torch.no_grad():
        for run in range(args.runs + 1):
            start = time.perf_counter()
            out = forward(data)
            elapsed = time.perf_counter() - start
            if run > 0:
                best = min(best, elapsed)
    out = out.float()
    if args.save_output:
        out.numpy().astype("<f4").tofile(args.save_output)
    print(f"torch {torch.__version__}, {args.dtype}, {args.threads} threads, input {w}x{h}, "
          f"output {tuple(out.shape[1:])}")
    print(f"seconds {best:.4f} (best of {args.runs}, after one warm-up run)")
    if args.compare:
        ours = np.fromfile(args.compare, dtype="<f4")
        theirs = out.numpy().reshape(-1)
        if ours.size != theirs.size:
            sys.exit(f"{args.compare}: {ours.size} values, PyTorch gave {theirs.size}")
        diff = np.abs(ours.astype(np.float64) - theirs)
        mse = float(np.mean(diff ** 2))
        psnr = float("inf") if mse == 0 else 10 * np.log10(1.0 / mse)
        print(f"against {args.compare}: largest difference {diff.max():.3g}, "
              f"normalised error {np.sqrt(mse) / max(float(np.sqrt(np.mean(theirs.astype(np.float64) ** 2))), 1e-30):.3g}, "
              f"PSNR {psnr:.1f} dB (peak 1)")
        steps = np.abs(levels(ours) - levels(theirs))
        mse8 = float(np.mean(steps ** 2))
        psnr8 = float("inf") if mse8 == 0 else 10 * np.log10(255.0 ** 2 / mse8)
        print(f"  as 8-bit pictures: PSNR {psnr8:.2f} dB, largest difference {int(steps.max())} levels")


if __name__ == "__main__":
    main()
