#!/usr/bin/env python3
"""Figures for remedy daemon, run by hand (never by CI):

  bench/daemon_bench.py [--corpus DIR] [--remedy build/bench/bin/remedy] [--runs 5] [--rounds 50]

- INSTREAM round-trip latency (p50, p99) for 4 KB, 1 MB and 20 MB inputs;
- corpus throughput through the daemon (MaxThreads 2, MaxQueue 64) with 1, 2 and 8 concurrent
  clients for each way in: INSTREAM (the bytes over the socket), SCAN (a path a file) and FILDES
  (the open file passed over the socket), each in three modes: one connection a request (as
  clamdscan, pyclamd and most libraries send them), each client's requests in one IDSESSION sent
  one at a time, and in one IDSESSION with up to 64 / clients requests under way (a session's
  client may send ahead; together they fill MaxQueue at most). Then MULTISCAN and CONTSCAN of the
  corpus directory from one client. All against `remedy scan -j 2` over the same file list, run by
  turns with each figure. Each figure is the median of --runs runs, wall time from the first
  request to the last reply, nothing subtracted;
- the raw throughput of a Unix socket carrying the same bytes in INSTREAM's framing to a reader
  that only counts them: the most any INSTREAM server could reach on this machine;
- the CPU seconds the clients and the daemon spent on each figure, and the load average;
- the daemon's peak resident memory (VmHWM).

The clients are threads of bench_daemon_client (bench/daemon_client.cpp, built with the bench
preset), so that their own cost, on the same cores as the daemon, stays small: it sends files
with sendfile(2) and reads replies in pieces. The daemon listens on a Unix socket in a temporary
directory. The corpus defaults to build/corpus (bench/make_corpus.sh); every regular file below
it is sent once per run.
"""
import argparse
import multiprocessing
import os
import random
import resource
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

CHUNK = 1 << 20  # the INSTREAM chunk the clients send


def read_reply(s):
    reply = b""
    while not reply.endswith(b"\0"):
        got = s.recv(4096)
        if not got:
            break
        reply += got
    return reply


def send_stream(s, path):
    """INSTREAM's chunks of the file at `path`, then the zero length."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        at = 0
        while at < size:
            part = min(CHUNK, size - at)
            s.sendall(struct.pack(">I", part))
            if s.sendfile(f, at, part) != part:
                raise OSError(f"{path} shrank while it was sent")
            at += part
    s.sendall(struct.pack(">I", 0))


def connect(address):
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(120)
    s.connect(address)
    return s


def send_request(s, way, path):
    """One request of `way` for the file at `path` on the connection `s`; its reply."""
    if way == "INSTREAM":
        s.sendall(b"zINSTREAM\0")
        send_stream(s, path)
    elif way == "FILDES":
        with open(path, "rb") as f:
            s.sendall(b"zFILDES\0")
            socket.send_fds(s, [b"\0"], [f.fileno()])
            return read_reply(s)
    else:
        s.sendall(b"z" + way.encode() + b" " + os.fsencode(path) + b"\0")
    return read_reply(s)


def request(address, way, path):
    """One request on a connection of its own, as most clients send them; the reply."""
    with connect(address) as s:
        return send_request(s, way, path)


def answered(reply):
    return reply.endswith(b"OK\0") or reply.endswith(b"FOUND\0")


def receive_exactly(s, view):
    """Fills `view` from `s`; False when the peer closed first."""
    at = 0
    while at < len(view):
        got = s.recv_into(view[at:])
        if not got:
            return False
        at += got
    return True


def raw_reader(listener):
    """Reads INSTREAM's framing on one connection at a time and answers without scanning."""
    view = memoryview(bytearray(64 << 20))
    command = memoryview(bytearray(len(b"zINSTREAM\0")))
    length = memoryview(bytearray(4))
    while True:
        s, _ = listener.accept()
        with s:
            if not receive_exactly(s, command):
                continue
            while receive_exactly(s, length):
                size = struct.unpack(">I", length)[0]
                if size == 0 or not receive_exactly(s, view[:size]):
                    break
            s.sendall(b"stream: OK\0")


def cpu_seconds_of(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


class Figure:
    def __init__(self, seconds, client_cpu, server_cpu, errors):
        self.seconds, self.client_cpu, self.server_cpu, self.errors = seconds, client_cpu, server_cpu, errors


def measure(address, way, server_pids, listing, client_program, clients=1, session=0):
    """One run of the load client: `clients` threads, each with its share of the listing."""
    server_cpu_now = lambda: sum(cpu_seconds_of(pid) for pid in server_pids)
    server_cpu = server_cpu_now()
    if way in ("MULTISCAN", "CONTSCAN"):
        start = time.perf_counter()
        reply = request(address, way, listing)
        seconds = time.perf_counter() - start
        return Figure(seconds, 0.0, server_cpu_now() - server_cpu, 0 if answered(reply) else 1)
    out = subprocess.run([client_program, address, way, str(clients), str(session), listing],
                         check=True, capture_output=True, text=True).stdout.split()
    return Figure(float(out[0]), float(out[2]), server_cpu_now() - server_cpu, int(out[1]))


def median(figures):
    return sorted(figures, key=lambda figure: figure.seconds)[len(figures) // 2]


def median_beside(runs, measure_once, reference_once):
    """The median of `runs` runs of a figure and of the reference run by turns with it, so that
    both meet the same load on a shared machine."""
    figures, references = [], []
    for _ in range(runs):
        references.append(reference_once())
        figures.append(measure_once())
    return median(figures), median(references)


def load():
    return "load average " + " ".join(f"{value:.2f}" for value in os.getloadavg())


def show(label, figure, total, count, reference=None):
    line = (f"  {label:<28} {total / 1e6 / figure.seconds:7.0f} MB/s {count / figure.seconds:7.0f} files/s"
            f"  cpu: clients {figure.client_cpu:5.2f} s, server {figure.server_cpu:5.2f} s")
    if reference:
        line += (f"  {100 * reference.seconds / figure.seconds:4.0f}% of remedy scan -j 2"
                 f" ({total / 1e6 / reference.seconds:.0f} MB/s by turns with it)")
    if figure.errors:
        line += f"  ERRORS {figure.errors}"
    print(line, flush=True)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def latency(address, rounds, work):
    print(f"INSTREAM round trip (ms), one client; {load()}")
    rng = random.Random(1)
    for label, size in (("4 KB", 4 << 10), ("1 MB", 1 << 20), ("20 MB", 20 << 20)):
        path = os.path.join(work, f"random-{size}")
        with open(path, "wb") as out:
            out.write(rng.randbytes(size))
        count = max(10, rounds // (5 if size > (1 << 20) else 1))
        times = []
        for _ in range(count):
            start = time.perf_counter()
            reply = request(address, "INSTREAM", path)
            times.append((time.perf_counter() - start) * 1000)
            assert answered(reply), reply
        print(f"  {label:>6}: p50 {percentile(times, 0.5):8.2f}  p99 {percentile(times, 0.99):8.2f}  ({count} rounds)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", default="build/corpus")
    parser.add_argument("--remedy", default="build/bench/bin/remedy")
    parser.add_argument("--client", default="build/bench/bin/bench_daemon_client")
    parser.add_argument("--rounds", type=int, default=50, help="latency rounds (a fifth of them for 20 MB)")
    parser.add_argument("--runs", type=int, default=5, help="throughput runs; the median is shown")
    parser.add_argument("--ways", default="INSTREAM,SCAN,FILDES")
    parser.add_argument("--clients", default="1,2,8")
    args = parser.parse_args()
    corpus = os.path.abspath(args.corpus)
    files = sorted(os.path.join(d, f) for d, _, names in os.walk(corpus) for f in names)
    files = [f for f in files if os.path.isfile(f) and not os.path.islink(f)]
    if not files:
        sys.exit(f"no files under {corpus}: run bench/make_corpus.sh or give --corpus")
    total = sum(os.path.getsize(f) for f in files)
    if not os.access(args.client, os.X_OK):
        sys.exit(f"no {args.client}: cmake --preset bench && cmake --build build/bench")
    clients = [int(c) for c in args.clients.split(",")]

    work = tempfile.mkdtemp()
    listing = os.path.join(work, "files.txt")
    with open(listing, "wb") as out:
        out.write(b"".join(os.fsencode(f) + b"\0" for f in files))
    sock = os.path.join(work, "remedy.sock")
    conf = os.path.join(work, "remedy.conf")
    with open(conf, "w") as out:
        out.write(f"LocalSocket {sock}\nMaxThreads 2\nMaxQueue 64\nStreamMaxLength 64M\n"
                  f"PidFile {work}/remedy.pid\nLogFile {work}/remedy.log\n")
    subprocess.run([args.remedy, "daemon", "--config-file", conf], check=True)
    pid = int(open(f"{work}/remedy.pid").read())
    raw = None
    try:
        latency(sock, args.rounds, work)

        def cli_once():
            before, start = children_cpu_seconds(), time.perf_counter()
            subprocess.run([args.remedy, "scan", "-j", "2", "--no-summary", "--files-from0", listing],
                           stdout=subprocess.DEVNULL)
            seconds = time.perf_counter() - start
            return Figure(seconds, 0.0, children_cpu_seconds() - before, 0)

        print(f"corpus: {len(files)} files, {total / 1e6:.1f} MB; median of {args.runs} runs, each figure by turns"
              f" with remedy scan -j 2 over the same list; {load()}")
        show("remedy scan -j 2", median([cli_once() for _ in range(args.runs)]), total, len(files))
        modes = (("one connection a request", lambda count: 0),
                 ("one IDSESSION a client, one request at a time", lambda count: 1),
                 ("one IDSESSION a client, up to 64 / clients requests under way", lambda count: max(2, 64 // count)))
        for title, window in modes:
            print(f"  {title}:")
            for way in args.ways.split(","):
                for count in clients:
                    figure, reference = median_beside(
                        args.runs, lambda: measure(sock, way, [pid], listing, args.client, count, window(count)), cli_once)
                    show(f"{way}, {count} client(s)", figure, total, len(files), reference)
        for way in ("MULTISCAN", "CONTSCAN"):
            figure, reference = median_beside(args.runs, lambda: measure(sock, way, [pid], corpus, args.client), cli_once)
            show(f"{way} of the corpus, 1 client", figure, total, len(files), reference)
        print(f"  ({load()})")

        # The socket alone: the same bytes in the same framing to a reader that scans nothing.
        raw_sock = os.path.join(work, "raw.sock")
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(raw_sock)
        listener.listen(64)
        readers = [multiprocessing.Process(target=raw_reader, args=(listener,), daemon=True) for _ in range(2)]
        for reader in readers:
            reader.start()
        raw = readers
        print("a Unix socket carrying the corpus in INSTREAM's framing, no scan (2 reader processes)")
        for count in clients:
            figure, reference = median_beside(
                args.runs, lambda: measure(raw_sock, "INSTREAM", [r.pid for r in readers], listing, args.client, count),
                cli_once)
            show(f"socket only, {count} client(s)", figure, total, len(files), reference)
        for line in open(f"/proc/{pid}/status"):
            if line.startswith("VmHWM"):
                print("daemon peak resident memory:", line.split(":")[1].strip())
    finally:
        os.kill(pid, 15)
        for reader in raw or []:
            reader.terminate()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
