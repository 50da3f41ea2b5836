#!/usr/bin/env python3
"""Turns the JSON of a hooks_bench run with repetitions into the tables of docs/performance.md.

Usage: bench/report.py RESULTS.json
Reads the median aggregates (run the benchmark with --benchmark_repetitions=N and
--benchmark_out_format=json) and prints Markdown: one table of the hooked calls, one of the parts.
"""
import json
import sys


def medians(path):
    with open(path) as f:
        data = json.load(f)
    out = {}
    context = dict(data["context"])
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            out[b["run_name"]] = b
            context["repetitions"] = b.get("repetitions", "?")
    return context, out


def ns(b):
    unit = {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
    return b["cpu_time"] * unit


def main():
    context, runs = medians(sys.argv[1])
    print(f"Settings file: {context.get('settings_file_bytes_xml')} bytes as XML, "
          f"{context.get('settings_file_bytes_binary')} bytes as binary. "
          f"Median of {context.get('repetitions', '?')} repetitions, CPU time per call.\n")
    check = runs.get("file_watch/changed")
    check_ns = ns(check) if check else float("nan")
    print("| call | format | read every call (ns) | cached (ns) | cached above the check (ns) | "
          "speedup | allocs cached (objc) | allocs read every call (objc) |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    kinds = ["setter", "getter", "initialiser", "lockscreen"]
    for kind in kinds:
        host = runs.get(f"{kind}/host")
        if host:
            print(f"| {kind}, host's own method | - | - | {ns(host):.0f} | - | - | "
                  f"{host['allocs']:.0f} ({host['objc_allocs']:.0f}) | - |")
        paths = ["same", "off"] if kind == "lockscreen" else ["custom", "preset", "off"]
        for path in paths:
            for fmt in ["xml", "binary"]:
                slow = runs.get(f"{kind}/{path}/{fmt}/read_every_call")
                fast = runs.get(f"{kind}/{path}/{fmt}/cached")
                if not slow or not fast:
                    continue
                print(f"| {kind}, {path} | {fmt} | {ns(slow):.0f} | {ns(fast):.0f} | "
                      f"{ns(fast) - check_ns:.0f} | {fast.get('speedup', 0):.0f}x | {fast['allocs']:.0f} "
                      f"({fast['objc_allocs']:.0f}) | {slow['allocs']:.0f} "
                      f"({slow['objc_allocs']:.0f}) |")
    print("\n| part | ns per call | allocs (objc) |")
    print("|---|---:|---:|")
    for name in ["settings_read/xml/read_every_call", "settings_read/xml/cached",
                 "settings_read/binary/read_every_call", "settings_read/binary/cached",
                 "file_watch/changed", "colour_strings/fallback_and_stored"]:
        b = runs.get(name)
        if b:
            print(f"| {name} | {ns(b):.0f} | {b['allocs']:.0f} ({b['objc_allocs']:.0f}) |")


if __name__ == "__main__":
    main()
