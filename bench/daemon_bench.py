#!/usr/bin/env python3
"""Figures for remedy daemon, run by hand (never by CI):

  bench/daemon_bench.py [--corpus DIR] [--remedy build/default/bin/remedy] [--rounds 50]

- INSTREAM round-trip latency (p50, p99) for 4 KB, 1 MB and 20 MB inputs;
- corpus throughput through the daemon (MaxThreads 2) with 1, 2 and 8 concurrent INSTREAM
  clients, against `remedy scan -j 2` over the same files;
- the daemon's peak resident memory (VmHWM).

The daemon listens on a Unix socket in a temporary directory. The corpus defaults to
build/corpus (bench/make_corpus.sh); every regular file below it is sent once per run.
"""
import argparse
import os
import random
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time


def instream(path, data, chunk=1 << 20):
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(120)
    s.connect(path)
    s.sendall(b"zINSTREAM\0")
    view = memoryview(data)
    for at in range(0, len(data), chunk):
        part = view[at:at + chunk]
        s.sendall(struct.pack(">I", len(part)))
        s.sendall(part)
    s.sendall(struct.pack(">I", 0))
    reply = b""
    while not reply.endswith(b"\0"):
        got = s.recv(4096)
        if not got:
            break
        reply += got
    s.close()
    return reply


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", default="build/corpus")
    parser.add_argument("--remedy", default="build/default/bin/remedy")
    parser.add_argument("--rounds", type=int, default=50)
    args = parser.parse_args()
    files = [os.path.join(d, f) for d, _, names in os.walk(args.corpus) for f in sorted(names)]
    files = [f for f in files if os.path.isfile(f) and not os.path.islink(f)]
    if not files:
        sys.exit(f"no files under {args.corpus}: run bench/make_corpus.sh or give --corpus")
    contents = [open(f, "rb").read() for f in files]
    total = sum(len(c) for c in contents)

    work = tempfile.mkdtemp()
    sock = os.path.join(work, "remedy.sock")
    conf = os.path.join(work, "remedy.conf")
    with open(conf, "w") as out:
        out.write(f"LocalSocket {sock}\nMaxThreads 2\nMaxQueue 64\nStreamMaxLength 64M\n"
                  f"PidFile {work}/remedy.pid\nLogFile {work}/remedy.log\n")
    subprocess.run([args.remedy, "daemon", "--config-file", conf], check=True)
    pid = int(open(f"{work}/remedy.pid").read())
    try:
        print("INSTREAM round trip (ms)")
        rng = random.Random(1)
        for label, size in (("4 KB", 4 << 10), ("1 MB", 1 << 20), ("20 MB", 20 << 20)):
            data = rng.randbytes(size)
            rounds = max(5, args.rounds // (10 if size > (1 << 20) else 1))
            times = []
            for _ in range(rounds):
                start = time.perf_counter()
                reply = instream(sock, data)
                times.append((time.perf_counter() - start) * 1000)
                assert reply.endswith(b"OK\0") or reply.endswith(b"FOUND\0"), reply
            print(f"  {label:>6}: p50 {percentile(times, 0.5):8.2f}  p99 {percentile(times, 0.99):8.2f}  ({rounds} rounds)")

        print(f"corpus: {len(files)} files, {total / 1e6:.1f} MB")
        for clients in (1, 2, 8):
            queue = list(range(len(contents)))
            lock = threading.Lock()
            errors = []

            def client():
                while True:
                    with lock:
                        if not queue:
                            return
                        k = queue.pop()
                    reply = instream(sock, contents[k])
                    if reply.endswith(b"ERROR\0") or not reply:
                        errors.append((files[k], reply))

            start = time.perf_counter()
            threads = [threading.Thread(target=client) for _ in range(clients)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            seconds = time.perf_counter() - start
            print(f"  daemon, {clients} client(s): {total / 1e6 / seconds:7.1f} MB/s  {len(files) / seconds:8.1f} files/s"
                  f"  errors {len(errors)}")
        start = time.perf_counter()
        subprocess.run([args.remedy, "scan", "-j", "2", "--no-summary", args.corpus], stdout=subprocess.DEVNULL)
        seconds = time.perf_counter() - start
        print(f"  remedy scan -j 2:     {total / 1e6 / seconds:7.1f} MB/s  {len(files) / seconds:8.1f} files/s")
        for line in open(f"/proc/{pid}/status"):
            if line.startswith("VmHWM"):
                print("daemon peak resident memory:", line.split(":")[1].strip())
    finally:
        os.kill(pid, 15)


if __name__ == "__main__":
    main()
