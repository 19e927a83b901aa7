#!/usr/bin/env python3
"""Time per thread hop of the latency samples, from a scheduler trace.

    perf sched record -o ours.data -- build/bench/velmor_bench --only ours --cycles 0 --rounds 1
    bench/sched_hops.py ours.data

Each latency sample starts when the writer thread's write to the master wakes
the kernel worker that pushes the bytes to the line discipline, and ends when
the reading side wakes the writer again. In between, every thread wakes the
next one: the chain of wake-ups is the path of the bytes. The chains of the
most common length are the latency samples; their hops are printed with the
thread names of the path. Chains that follow the previous one within 0.9 ms
belong to the stream, not to the latency samples, and are left out.
"""
import re
import subprocess
import sys

WAKING = re.compile(
    r"^\s*(.+?)\s+(\d+)\s+([\d.]+):\s+sched:sched_waking: comm=(\S+) pid=(\d+)")
OUR_HOPS = ["pty -> TComThread wakes", "TComThread -> TDispThread", "TDispThread -> UI thread",
            "UI thread: OnTrigger, GetBlock"]
PEER_HOPS = ["pty -> reading thread wakes", "reading thread: read, hand over"]


def wakings(path):
    out = subprocess.run(["perf", "script", "-i", path, "-F", "comm,tid,time,event,trace"],
                         capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        m = WAKING.match(line)
        if m:
            yield (float(m.group(3)) * 1e6, m.group(1).strip(), int(m.group(2)), m.group(4),
                   int(m.group(5)))


def chains(events):
    found = []
    i = 0
    while i < len(events):
        t, comm, tid, target, target_tid = events[i]
        i += 1
        if not (comm.startswith("velmor_bench") and target.startswith("kworker")):
            continue
        chain, current, j = [t], target_tid, i
        while j < len(events) and events[j][0] - t < 20000:
            tj, _, tid_j, _, target_j = events[j]
            j += 1
            if tid_j == current and target_j != current:
                chain.append(tj)
                current = target_j
                if target_j == tid:
                    found.append((tid, chain))
                    i = j
                    break
    return found


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))]


def latency_samples(found):
    """The chains that began after the writer's 1 ms pause: the stream's
    writes follow each other much faster."""
    samples, last = [], {}
    for tid, chain in found:
        if chain[0] - last.get(tid, float("-inf")) > 900:
            samples.append(chain)
        last[tid] = chain[0]
    return samples


def main():
    all_chains = latency_samples(chains(list(wakings(sys.argv[1]))))
    if not all_chains:
        print("no samples")
        return
    lengths = {}
    for c in all_chains:
        lengths.setdefault(len(c), []).append(c)
    usual = max(lengths.values(), key=len)
    hops = len(usual[0]) - 1
    names = {4: OUR_HOPS, 2: PEER_HOPS}.get(hops, [f"hop {k + 1}" for k in range(hops)])
    print(f"{len(usual)} samples of {hops} hops (microseconds)")
    print(f"{'hop':34} {'p50':>8} {'p90':>8} {'p99':>8}")
    for k in range(hops):
        d = [c[k + 1] - c[k] for c in usual]
        print(f"{names[k]:34} {percentile(d, .5):8.0f} {percentile(d, .9):8.0f} "
              f"{percentile(d, .99):8.0f}")
    total = [c[-1] - c[0] for c in usual]
    print(f"{'write -> application holds bytes':34} {percentile(total, .5):8.0f} "
          f"{percentile(total, .9):8.0f} {percentile(total, .99):8.0f}")


if __name__ == "__main__":
    main()
