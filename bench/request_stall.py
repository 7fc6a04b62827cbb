"""How long can one client's requests hold another client up? zolmar-sim is single-threaded.

A probe calls FutureRights (through velkarcmd when it is installed, else the same exchange in
plain Python) about once a millisecond and times each round trip, while a flooder, another
process, sends one kind of heavy request after another. Reported: the probe's round trips
during the flood (median, 99th percentile, worst), the flooder's own request times, and its
requests that got no reply within 10 s.

Floods:
  idle            no flood: the probe alone, the floor that the machine's own noise sets
  quotes-to-cap   AddQuote of 5,000 new symbols each, appended, until the cap (default
                  10,000) refuses; then the same again, refused each time
  quotes-170k     AddQuote of 6,000 new symbols each, appended, to 180,000 subscribed (run
                  with --quote-cap 200000): the issue's case, one request per reply
  quotes-widest   the largest AddQuote a datagram carries (8,000 symbols of 7 bytes), again
                  and again, each replacing the last
  quotes-burst    quotes-170k without waiting for replies: 16 requests in flight
  records-100k    "LOAD All" for 100,000 records, the answer read to its end, again and again

    unshare -n sh -c 'ip link set lo up && .venv/py3.7/bin/python bench/request_stall.py'
    ... bench/request_stall.py --sim /path/to/older/zolmar-sim   # the same against another build

Port 5656 must be free: hence the network namespace of its own.
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

ENDPOINT = ("127.0.0.1", 5656)
FLOODS = ["idle", "quotes-to-cap", "quotes-170k", "quotes-widest", "quotes-burst", "records-100k"]
FLOOD_SECONDS = 20.0  # no flood runs longer than this


def sim_executable():
    return shutil.which("zolmar-sim", path=os.path.dirname(sys.executable)) or "zolmar-sim"


def start_sim(executable, flood):
    args = [executable, "--move-every", "0", "--preload", "LOAD=100000"]
    if flood in ("quotes-170k", "quotes-widest", "quotes-burst"):
        args += ["--quote-cap", "200000"]
    sim = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           universal_newlines=True)
    if "listening" not in sim.stdout.readline():
        sim.kill()
        _, err = sim.communicate()
        if "--quote-cap" in err:  # an older build without the option: start it without
            return start_sim_plain(executable)
        raise SystemExit("zolmar-sim did not start (is port 5656 taken?): " + err)
    return sim


def start_sim_plain(executable):
    sim = subprocess.Popen([executable, "--move-every", "0", "--preload", "LOAD=100000"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           universal_newlines=True)
    if "listening" not in sim.stdout.readline():
        sim.kill()
        raise SystemExit("zolmar-sim did not start")
    return sim


# The flooder, run in a process of its own.

def symbols(start, count):
    return ",".join("S%06d" % n for n in range(start, start + count))


def flood(kind):
    client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    client.connect(ENDPOINT)
    client.settimeout(10)
    times = []
    unanswered = [0]
    deadline = time.perf_counter() + FLOOD_SECONDS

    def exchange(request, until_over=False):
        started = time.perf_counter()
        client.send(request)
        try:
            reply = client.recv(65536)
            while until_over and reply != b"over":
                reply = client.recv(65536)
        except socket.timeout:
            # No reply in 10 s: an older simulator sends none when it would pass 65,507 bytes.
            unanswered[0] += 1
            return b""
        times.append(time.perf_counter() - started)
        return reply

    if kind == "idle":
        time.sleep(3)
    elif kind == "quotes-to-cap":
        refused = 0
        start = 0
        while refused < 200 and time.perf_counter() < deadline:
            reply = exchange(("F1 AddQuote %s 1" % symbols(start, 5000)).encode())
            if reply.startswith(b"ERR"):
                refused += 1
            start += 5000
    elif kind == "quotes-170k":
        for start in range(0, 180000, 6000):
            if time.perf_counter() > deadline:
                break
            exchange(("F1 AddQuote %s 1" % symbols(start, 6000)).encode())
    elif kind == "quotes-widest":
        request = ("F1 AddQuote %s 0" % symbols(0, 8000)).encode()
        assert len(request) <= 65507
        for _ in range(100):
            if time.perf_counter() > deadline:
                break
            exchange(request)
    elif kind == "quotes-burst":
        window, sent, received = 16, 0, 0
        requests = [("F1 AddQuote %s 1" % symbols(start, 6000)).encode()
                    for start in range(0, 180000, 6000)]
        started = time.perf_counter()
        while received < len(requests) and time.perf_counter() < deadline:
            while sent < len(requests) and sent - received < window:
                client.send(requests[sent])
                sent += 1
            try:
                client.recv(65536)
            except socket.timeout:
                unanswered[0] = len(requests) - received
                break
            received += 1
        times.append((time.perf_counter() - started) / max(received, 1))
    elif kind == "records-100k":
        for _ in range(5):
            if time.perf_counter() > deadline:
                break
            exchange(b"LOAD All", until_over=True)
    client.close()
    return unanswered[0], times


# The probe.

def make_probe():
    try:
        import velkarcmd

        command = velkarcmd.ZolmarCommand()
        return "velkarcmd FutureRights", lambda: command.FutureRights("P1")
    except ImportError:
        def future_rights():
            client = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            client.connect(ENDPOINT)
            client.send(b"P1 GetEquity")
            reply = client.recv(4096)
            client.close()
            return reply

        return "FutureRights in plain Python", future_rights


def probe_during(kind):
    name, call = make_probe()
    latencies = []
    running = [True]

    def probing():
        while running[0]:
            started = time.perf_counter()
            call()
            latencies.append(time.perf_counter() - started)
            time.sleep(0.001)

    prober = threading.Thread(target=probing)
    prober.start()
    time.sleep(0.2)
    before = len(latencies)
    flooder = subprocess.run([sys.executable, os.path.abspath(__file__), "--flood", kind],
                             stdout=subprocess.PIPE, universal_newlines=True,
                             timeout=FLOOD_SECONDS + 40)
    running[0] = False
    prober.join()
    words = flooder.stdout.split()
    if not words:
        raise SystemExit("the flooder failed")
    return name, sorted(latencies[before:]), int(words[0]), [float(t) for t in words[1:]]


def ms(seconds):
    return "%8.2f" % (seconds * 1000)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", help="the zolmar-sim to measure (default: the installed one)")
    parser.add_argument("--flood", help=argparse.SUPPRESS)
    parser.add_argument("floods", nargs="*", default=FLOODS)
    args = parser.parse_args()
    if args.flood:
        unanswered, times = flood(args.flood)
        print(" ".join(["%d" % unanswered] + ["%.6f" % t for t in times]))
        return 0
    socket.setdefaulttimeout(30)
    executable = args.sim or sim_executable()
    print("zolmar-sim: %s" % executable)
    print("%-14s %7s %8s %8s %8s   %9s %9s %8s %9s" % (
        "flood", "probes", "median", "p99", "worst", "requests", "req mean", "req max",
        "no reply"))
    print("%-14s %7s %8s %8s %8s   %9s %9s %8s" % ("", "", "ms", "ms", "ms", "", "ms", "ms"))
    worst = 0.0
    for kind in args.floods:
        sim = start_sim(executable, kind)
        try:
            name, latencies, unanswered, times = probe_during(kind)
        finally:
            sim.terminate()
            sim.wait(10)
        if not latencies:
            print("%-14s no probe completed" % kind)
            continue
        worst = max(worst, latencies[-1])
        p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
        print("%-14s %7d %s %s %s   %9d %s %s %9d" % (
            kind, len(latencies), ms(latencies[len(latencies) // 2]), ms(p99), ms(latencies[-1]),
            len(times), ms(sum(times) / max(len(times), 1)), ms(max(times or [0])), unanswered))
    print("probe: %s; worst round trip in any flood: %.2f ms" % (name, worst * 1000))
    return 0


if __name__ == "__main__":
    sys.exit(main())
