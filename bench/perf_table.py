#!/usr/bin/env python3
"""Markdown tables from a korvane_bench JSON file (--benchmark_out=FILE --benchmark_out_format=json).

Frames: ms per 1920x1080 frame and megapixel-shifts per second for every tier, n_shift and thread
count, with the memory-traffic reference of the same thread count and the fraction of it
reached (reference time / frame time). Kernels: ns per block.
"""
import json
import re
import sys


def main(path):
    with open(path) as f:
        data = json.load(f)
    frames, bound, kernels = {}, {}, {}
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            continue
        name = b["name"]
        m = re.match(r"Frame/([^/]+)/n(\d+)/t(\d+)/", name)
        if m:
            frames[(m.group(1), int(m.group(2)), int(m.group(3)))] = (
                b["ms_per_frame"], b["Mpix_shifts_per_s"])
            continue
        m = re.match(r"MemoryBound/t(\d+)/", name)
        if m:
            bound[int(m.group(1))] = (b["ms_per_frame"], b["GB_per_s"])
            continue
        m = re.match(r"Kernel/([^/]+)/([^/]+)/", name)
        if m:
            kernels[(m.group(1), m.group(2))] = b["ns_per_block"]

    tiers = [t for t in ("scalar", "sse4.1", "avx2", "avx512")
             if any(k[0] == t for k in frames)]
    print("| tier | n_shift | threads | ms/frame | Mpix-shifts/s | vs scalar | memory bound "
          "(ms) | of memory bound |")
    print("|---|---|---|---|---|---|---|---|")
    for tier in tiers:
        for (t, n, th), (ms, mps) in sorted(frames.items(), key=lambda i: (i[0][1], i[0][2])):
            if t != tier:
                continue
            scalar = frames.get(("scalar", n, th))
            speedup = f"{scalar[0] / ms:.1f}x" if scalar else ""
            ref = bound.get(th)
            ref_ms = f"{ref[0]:.1f}" if ref else ""
            frac = f"{100 * ref[0] / ms:.0f}%" if ref else ""
            print(f"| {tier} | {n} | {th} | {ms:.1f} | {mps:.0f} | {speedup} | {ref_ms} | {frac} |")
    if kernels:
        names = []
        for k in kernels:
            if k[0] not in names:
                names.append(k[0])
        print()
        print("| ns per block | " + " | ".join(tiers) + " |")
        print("|---|" + "---|" * len(tiers))
        for n in names:
            cells = [f"{kernels[(n, t)]:.1f}" if (n, t) in kernels else "" for t in tiers]
            print(f"| {n} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main(sys.argv[1])
