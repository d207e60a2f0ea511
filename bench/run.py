#!/usr/bin/env python3
"""Load benchmark: dirhttp against nginx, lighttpd and python3 http.server on one fixture tree.

Usage: bench/run.py BUILD_DIR [--rounds N] [--seconds S] [--cells KEY,...] [--servers NAME,...]
                    [--dirhttp DIRHTTP] [--baseline OTHER_DIRHTTP]

Each round starts every server in turn on loopback (dirhttp on 8080 under the port lock, the
peers on 8081-8083 under their own configuration in a temporary directory), runs the cells
against it with bench's load client, and stops it by its PID. The table shows the median over
rounds of each cell and of dirhttp's per-round ratio to each peer, then the goals.
Run inside tools/netns-run (which sets DIRHTTP_NETNS=1) the port is the run's own and no lock
is taken.
"""
import argparse
import collections
import fcntl
import math
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

PORT_LOCK = "/tmp/dirhttp-port-8080.lock"
LOCK_WAIT_SECONDS = 1200
LISTING_ENTRIES = 1000
LARGE_SIZE = 256 * 1024 * 1024
MANY_SIZE = 64 * 1024 * 1024
# A small request beside paused downloads that is not answered within this is given up; the
# paused downloads wait at most this for their first bytes. The cell lasts at most its time
# plus twice this.
PAUSED_BOUND_SECONDS = 1.0
PAUSED_DOWNLOADS = 4
PAUSED_RECEIVE_BUFFER = 4096
# Connections held open beside the idle cell's requests; the peers are configured to hold them.
IDLE_CONNECTIONS = 4000
PEER_CONNECTIONS = 8192
PEER_DESCRIPTORS = 16384

# key: the row it fills; clients: K (threads, or connections with --poll); factor: of the cell
# time; options: more load client arguments; rss_key: the row of the server's peak RSS over it.
Cell = collections.namedtuple("Cell", "key label path clients unit factor options rss_key")
CELLS = [
    Cell("small1", "1 KiB file, K=1 (req/s)", "/small.txt", 1, "req", 1, [], None),
    Cell("small16", "1 KiB file, K=16 (req/s)", "/small.txt", 16, "req", 1, [], None),
    Cell("idle16", "1 KiB, K=16, beside 4,000 idle (req/s)", "/small.txt", 16, "req", 1,
         ["--idle", str(IDLE_CONNECTIONS)], None),
    Cell("medium", "64 KiB file, K=1 (req/s)", "/medium.bin", 1, "req", 1, [], None),
    Cell("listing", "listing of 1,000 entries, K=1 (req/s)", "/list/", 1, "req", 1, [], None),
    Cell("large", "256 MiB file, K=1 (MB/s)", "/large.bin", 1, "mb", 1.5, [], "rss"),
    Cell("paused", "1 KiB, K=1, beside 4 paused (req/s)", "/small.txt", 1, "req", 1,
         ["--bound", str(PAUSED_BOUND_SECONDS), "--paused", str(PAUSED_DOWNLOADS), "/large.bin",
          "--receive-buffer", str(PAUSED_RECEIVE_BUFFER)], None),
    Cell("small256", "1 KiB file, K=256 (req/s)", "/small.txt", 256, "req", 1, ["--poll"], None),
    Cell("many64", "32 simultaneous 64 MiB files (MB/s)", "/many.bin", 32, "mb", 1.5, [],
         "rss32"),
]
# Rows that a cell fills besides its own, after it: (cell key, row key, label).
EXTRA_ROWS = [
    ("idle16", "idle_reopened", "  idle ones the server closed (count)"),
    ("large", "rss", "peak RSS, 256 MiB run (MiB)"),
    ("paused", "paused_ms", "  worst latency of those (ms)"),
    ("paused", "paused_started", "  paused that got first bytes (of 4)"),
    ("small256", "small256_failed", "  failed or unanswered requests (count)"),
    ("many64", "rss32", "peak RSS, 32 x 64 MiB run (MiB)"),
]
# Rows whose ratio to a peer means nothing (lower is better, or a count).
NO_RATIO_ROWS = {"paused_ms", "paused_started", "small256_failed", "idle_reopened"}
SERVERS = ["dirhttp", "nginx", "lighttpd", "python"]
DIRHTTP_BUILDS = ("dirhttp", "baseline")

# (label, row, reference, threshold): reference "faster" is the faster of nginx and lighttpd,
# "nginx" nginx, "self:ROW" the same build's ROW in the same round, and None an absolute upper
# bound (the row must stay at or below the threshold; latencies below it).
GOALS = [
    ("1 KiB, K=1: >= 1.2x faster peer", "small1", "faster", 1.2),
    ("1 KiB, K=16: >= 1.0x faster peer", "small16", "faster", 1.0),
    ("beside 4,000 idle: >= 1.0x faster peer", "idle16", "faster", 1.0),
    ("beside 4,000 idle: >= 0.9x own K=16", "idle16", "self:small16", 0.9),
    ("listing of 1,000: >= 4x nginx", "listing", "nginx", 4.0),
    ("256 MiB: >= 1.0x faster peer", "large", "faster", 1.0),
    ("256 MiB: peak RSS <= 4 MiB", "rss", None, 4.0),
    ("beside 4 paused: >= 1.0x faster peer", "paused", "faster", 1.0),
    ("beside 4 paused: worst < 50 ms", "paused_ms", None, 50.0),
    ("1 KiB, K=256: >= 1.0x faster peer", "small256", "faster", 1.0),
    ("32 x 64 MiB: >= 1.0x faster peer", "many64", "faster", 1.0),
    ("32 x 64 MiB: peak RSS <= 16 MiB", "rss32", None, 16.0),
]


def make_fixture(root):
    os.chmod(root, 0o755)  # nginx's worker runs as nobody
    with open(os.path.join(root, "small.txt"), "wb") as f:
        f.write(b"x" * 1023 + b"\n")
    with open(os.path.join(root, "medium.bin"), "wb") as f:
        f.write(bytes(range(256)) * 256)
    listing = os.path.join(root, "list")
    os.mkdir(listing)
    for i in range(LISTING_ENTRIES):
        open(os.path.join(listing, "entry-%04d.txt" % i), "wb").close()
    block = bytes(range(256)) * 4096  # 1 MiB
    for name, size in (("large.bin", LARGE_SIZE), ("many.bin", MANY_SIZE)):
        with open(os.path.join(root, name), "wb") as f:
            for _ in range(size // len(block)):
                f.write(block)


def fetch(port, path, timeout=10):
    """One GET; returns (status, body length) or None."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
                       % path).encode())
            data = bytearray()
            while True:
                chunk = s.recv(1 << 20)
                if not chunk:
                    break
                data += chunk
    except OSError:
        return None
    cuts = [(data.find(sep), len(sep)) for sep in (b"\r\n\r\n", b"\n\n") if data.find(sep) >= 0]
    if not cuts:
        return None
    cut, length = min(cuts)
    return int(data.split(b" ", 2)[1]), len(data) - cut - length


def wait_ready(port, proc, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("server on port %d exited with %s" % (port, proc.returncode))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server on port %d did not start" % port)


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(x) for x in f.read().split()]
    except OSError:
        return []


def process_tree(pid):
    return [pid] + children(pid)


def reset_peak(pids):
    for pid in pids:
        try:
            with open("/proc/%d/clear_refs" % pid, "w") as f:
                f.write("5")
        except OSError:
            pass


def peak_kib(pids):
    """The largest VmHWM among the processes (nginx: its worker)."""
    best = 0
    for pid in pids:
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        best = max(best, int(line.split()[1]))
        except OSError:
            pass
    return best


class PortLock:
    def __enter__(self):
        self.f = None
        # In a private network namespace (tools/netns-run) the port is this run's alone.
        if os.environ.get("DIRHTTP_NETNS") == "1":
            return self
        # A blocking wait queues behind the other holders; polling would lose every race to them.
        self.f = open(PORT_LOCK, "a")

        def give_up(*_):
            raise RuntimeError("port 8080 lock not free after %d s" % LOCK_WAIT_SECONDS)

        previous = signal.signal(signal.SIGALRM, give_up)
        signal.alarm(LOCK_WAIT_SECONDS)
        try:
            fcntl.flock(self.f, fcntl.LOCK_EX)
        finally:
            signal.alarm(0)
            signal.signal(signal.SIGALRM, previous)
        return self

    def __exit__(self, *exc):
        if self.f is None:
            return
        fcntl.flock(self.f, fcntl.LOCK_UN)
        self.f.close()


def start_server(name, binaries, fixture, temp):
    """Starts one server; returns (process, port, lock or None)."""
    devnull = subprocess.DEVNULL
    if name in ("dirhttp", "baseline"):
        lock = PortLock().__enter__()
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        proc = subprocess.Popen([binaries[name]], cwd=fixture, env=env,
                                stdout=devnull, stderr=devnull)
        return proc, 8080, lock
    if name == "nginx":
        conf = os.path.join(temp, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""worker_processes 1;
daemon off;
pid %(t)s/nginx.pid;
error_log %(t)s/nginx-error.log;
worker_rlimit_nofile %(d)d;
events { worker_connections %(c)d; }
http {
  access_log off;
  sendfile on;
  default_type application/octet-stream;
  client_body_temp_path %(t)s/nginx-body;
  proxy_temp_path %(t)s/nginx-proxy;
  fastcgi_temp_path %(t)s/nginx-fastcgi;
  uwsgi_temp_path %(t)s/nginx-uwsgi;
  scgi_temp_path %(t)s/nginx-scgi;
  server {
    listen 127.0.0.1:8081;
    root %(r)s;
    autoindex on;
  }
}
""" % {"t": temp, "r": fixture, "c": PEER_CONNECTIONS, "d": PEER_DESCRIPTORS})
        proc = subprocess.Popen(["nginx", "-p", temp, "-c", conf], stdout=devnull, stderr=devnull)
        return proc, 8081, None
    if name == "lighttpd":
        conf = os.path.join(temp, "lighttpd.conf")
        with open(conf, "w") as f:
            f.write("""server.document-root = "%(r)s"
server.bind = "127.0.0.1"
server.port = 8082
server.modules = ("mod_dirlisting")
server.errorlog = "%(t)s/lighttpd-error.log"
dir-listing.activate = "enable"
server.max-fds = %(d)d
server.max-connections = %(c)d
""" % {"t": temp, "r": fixture, "c": PEER_CONNECTIONS, "d": PEER_DESCRIPTORS})
        proc = subprocess.Popen(["lighttpd", "-D", "-f", conf], stdout=devnull, stderr=devnull)
        return proc, 8082, None
    if name == "python":
        proc = subprocess.Popen([sys.executable, "-m", "http.server", "8083", "--bind",
                                 "127.0.0.1", "--directory", fixture],
                                stdout=devnull, stderr=devnull)
        return proc, 8083, None
    raise ValueError(name)


def stop_server(proc, lock):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM if proc.args[0] != "nginx" else signal.SIGQUIT)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    if lock is not None:
        lock.__exit__()


def run_load(load, port, cell, seconds, length):
    """Runs the load client for one cell; returns its fields (requests=, req_per_s=, ...)."""
    command = [load, str(port), cell.path, str(cell.clients), str(seconds), "200",
               str(length)] + cell.options
    out = subprocess.run(command, capture_output=True, text=True, timeout=seconds + 120)
    fields = dict(kv.split("=") for kv in out.stdout.split())
    if out.returncode != 0:
        print("  warning: port %d %s: %s" % (port, cell.key, out.stdout.strip()),
              file=sys.stderr)
    return fields


def cell_results(cell, fields):
    """The rows one cell fills from the load client's fields."""
    if cell.unit == "mb":
        return {cell.key: float(fields["mb_per_s"])}
    results = {cell.key: float(fields["req_per_s"])}
    if cell.key == "paused":
        # A small request given up at the bound makes the worst latency "more than the bound".
        timed_out = int(fields["timeouts"]) > 0 or int(fields["requests"]) == 0
        results["paused_ms"] = math.inf if timed_out else float(fields["worst_ms"])
        results["paused_started"] = float(fields["paused"].split("/")[0])
    if cell.key == "idle16":
        results["idle_reopened"] = float(fields["reopened"])
    if cell.key == "small256":
        results["small256_failed"] = float(int(fields["errors"]) + int(fields["timeouts"]))
    return results


def run_server(name, binaries, fixture, temp, seconds, load, cells):
    proc, port, lock = start_server(name, binaries, fixture, temp)
    results = {}
    try:
        wait_ready(port, proc)
        for cell in cells:
            # The probe also waits until a server held up by the cell before serves again.
            probe = fetch(port, cell.path, timeout=60)
            if probe is None or probe[0] != 200:
                raise RuntimeError("%s: %s answered %r" % (name, cell.path, probe))
            pids = process_tree(proc.pid)
            if cell.rss_key:
                reset_peak(pids)
            fields = run_load(load, port, cell, seconds * cell.factor, probe[1])
            results.update(cell_results(cell, fields))
            if cell.rss_key:
                results[cell.rss_key] = peak_kib(pids) / 1024.0
    finally:
        stop_server(proc, lock)
    return results


def table_rows(cells):
    """(row key, label) for the cells run, each followed by the rows it fills besides its own."""
    rows = []
    for cell in cells:
        rows.append((cell.key, cell.label))
        rows += [(row, label) for key, row, label in EXTRA_ROWS if key == cell.key]
    return rows


def format_value(key, value):
    if math.isinf(value):
        return "%11s" % (">%d" % (PAUSED_BOUND_SECONDS * 1000))
    return "%11.1f" % value


def print_table(rounds, servers, cells):
    peers = [s for s in servers if s != "dirhttp"]
    header = "%-42s" % ("cell (median of %d rounds)" % len(rounds))
    header += "".join("%11s" % s for s in servers)
    if "dirhttp" in servers:
        header += "".join("%13s" % ("/" + p) for p in peers)
    print(header)
    for key, label in table_rows(cells):
        line = "%-42s" % label
        for s in servers:
            line += format_value(key, statistics.median(rd[s][key] for rd in rounds))
        if "dirhttp" in servers:
            for p in peers:
                ratios = [rd["dirhttp"][key] / rd[p][key] for rd in rounds
                          if key not in NO_RATIO_ROWS and 0 < rd[p][key] < math.inf]
                line += "%12.2fx" % statistics.median(ratios) if ratios else "%13s" % "-"
        print(line)


def reference(rd, name):
    """The figure a goal compares with in one round: nginx's, or the faster of nginx and lighttpd."""
    return rd["nginx"] if name == "nginx" else {
        k: max(rd["nginx"][k], rd["lighttpd"][k]) for k in rd["nginx"]}


def print_goals(rounds, servers, cells):
    """For each dirhttp build, each goal whose cell ran: the median figure and whether it is met."""
    builds = [s for s in DIRHTTP_BUILDS if s in servers]
    rows = {key for key, _ in table_rows(cells)}
    has_peers = {"nginx", "lighttpd"} <= set(servers)
    if not builds:
        return
    print()
    print("%-42s" % "goal (median of per-round figures)" + "".join("%16s" % b for b in builds))
    for label, row, ref, threshold in GOALS:
        if row not in rows or (ref in ("faster", "nginx") and not has_peers):
            continue
        if ref is not None and ref.startswith("self:") and ref.split(":", 1)[1] not in rows:
            continue
        line = "%-42s" % label
        for b in builds:
            if ref is None:
                value = statistics.median(rd[b][row] for rd in rounds)
                met = value < threshold if row == "paused_ms" else value <= threshold
                shown = format_value(row, value).strip()
            elif ref.startswith("self:"):
                other = ref.split(":", 1)[1]
                ratios = [rd[b][row] / rd[b][other] for rd in rounds if rd[b][other] > 0]
                value = statistics.median(ratios) if ratios else 0.0
                met = value >= threshold
                shown = "%.2fx" % value
            else:
                ratios = [rd[b][row] / reference(rd, ref)[row] for rd in rounds
                          if reference(rd, ref)[row] > 0]
                value = statistics.median(ratios) if ratios else 0.0
                met = value >= threshold
                shown = "%.2fx" % value
            line += "%16s" % ("%s %s" % (shown, "met" if met else "MISSED"))
        print(line)


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--servers", default=",".join(SERVERS),
                        help="comma-separated, from dirhttp,nginx,lighttpd,python,baseline")
    parser.add_argument("--cells", default=",".join(c.key for c in CELLS),
                        help="comma-separated, from " + ",".join(c.key for c in CELLS))
    parser.add_argument("--dirhttp", help="the dirhttp binary (default BUILD/dirhttp; the load "
                        "client is always BUILD's)")
    parser.add_argument("--baseline", help="another dirhttp binary, run as server 'baseline' "
                        "(added after dirhttp) to compare two builds in the same round")
    args = parser.parse_args()
    args.servers = args.servers.split(",")
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)
        if "baseline" not in args.servers:
            args.servers.insert(args.servers.index("dirhttp") + 1 if "dirhttp" in args.servers
                                else 0, "baseline")
    unknown = set(args.servers) - set(SERVERS) - {"baseline"}
    if unknown or ("baseline" in args.servers and not args.baseline):
        parser.error("--servers: unknown %s, or baseline without --baseline" % sorted(unknown))
    keys = args.cells.split(",")
    if set(keys) - {c.key for c in CELLS}:
        parser.error("--cells: unknown %s" % sorted(set(keys) - {c.key for c in CELLS}))
    args.cells = [c for c in CELLS if c.key in keys]
    return args


def main():
    args = parse_args()
    build = os.path.abspath(args.build)
    load = os.path.join(build, "bench", "dirhttp_load")
    binaries = {"dirhttp": os.path.abspath(args.dirhttp or os.path.join(build, "dirhttp")),
                "baseline": args.baseline}

    temp = tempfile.mkdtemp(prefix="dirhttp-bench-")
    fixture = os.path.join(temp, "tree")
    os.mkdir(fixture)
    try:
        make_fixture(fixture)
        os.chmod(temp, 0o755)
        rounds = []
        for r in range(args.rounds):
            round_results = {}
            for name in args.servers:
                print("round %d: %s" % (r + 1, name), file=sys.stderr, flush=True)
                round_results[name] = run_server(name, binaries, fixture, temp, args.seconds,
                                                 load, args.cells)
            rounds.append(round_results)
    finally:
        shutil.rmtree(temp, ignore_errors=True)

    print_table(rounds, args.servers, args.cells)
    print_goals(rounds, args.servers, args.cells)


if __name__ == "__main__":
    main()
