#!/usr/bin/env python3
"""Load benchmark: dirhttp against nginx, lighttpd and python3 http.server on one fixture tree.

Usage: bench/run.py BUILD_DIR [--rounds N] [--seconds S]

Each round starts every server in turn on loopback (dirhttp on 8080 under the port lock, the
peers on 8081-8083 under their own configuration in a temporary directory), runs the workloads
against it with bench's load client, and stops it by its PID. The table shows the median over
rounds of each cell and of dirhttp's per-round ratio to each peer.
"""
import argparse
import fcntl
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

# (key, label, path, workers, unit)
WORKLOADS = [
    ("small1", "1 KiB file, K=1 (req/s)", "/small.txt", 1, "req"),
    ("small16", "1 KiB file, K=16 (req/s)", "/small.txt", 16, "req"),
    ("medium", "64 KiB file, K=1 (req/s)", "/medium.bin", 1, "req"),
    ("listing", "listing of 1,000 entries, K=1 (req/s)", "/list/", 1, "req"),
    ("large", "256 MiB file, K=1 (MB/s)", "/large.bin", 1, "mb"),
]
SERVERS = ["dirhttp", "nginx", "lighttpd", "python"]


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
    with open(os.path.join(root, "large.bin"), "wb") as f:
        for _ in range(LARGE_SIZE // len(block)):
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
        fcntl.flock(self.f, fcntl.LOCK_UN)
        self.f.close()


def start_server(name, build, fixture, temp, baseline=None):
    """Starts one server; returns (process, port, lock or None)."""
    devnull = subprocess.DEVNULL
    if name in ("dirhttp", "baseline"):
        lock = PortLock().__enter__()
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        binary = os.path.join(build, "dirhttp") if name == "dirhttp" else baseline
        proc = subprocess.Popen([binary], cwd=fixture, env=env,
                                stdout=devnull, stderr=devnull)
        return proc, 8080, lock
    if name == "nginx":
        conf = os.path.join(temp, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""worker_processes 1;
daemon off;
pid %(t)s/nginx.pid;
error_log %(t)s/nginx-error.log;
events { worker_connections 1024; }
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
""" % {"t": temp, "r": fixture})
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
""" % {"t": temp, "r": fixture})
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


def run_load(load, port, path, workers, seconds, status, length):
    out = subprocess.run([load, str(port), path, str(workers), str(seconds), str(status),
                          str(length)], capture_output=True, text=True, timeout=seconds + 120)
    fields = dict(kv.split("=") for kv in out.stdout.split())
    if out.returncode != 0:
        print("  warning: port %d %s: %s" % (port, path, out.stdout.strip()), file=sys.stderr)
    return fields


def run_server(name, build, fixture, temp, seconds, load, baseline):
    proc, port, lock = start_server(name, build, fixture, temp, baseline)
    results = {}
    try:
        wait_ready(port, proc)
        for key, _, path, workers, unit in WORKLOADS:
            probe = fetch(port, path, timeout=60)
            if probe is None or probe[0] != 200:
                raise RuntimeError("%s: %s answered %r" % (name, path, probe))
            length = probe[1]
            if key == "large":
                pids = process_tree(proc.pid)
                reset_peak(pids)
            fields = run_load(load, port, path, workers, seconds * (1.5 if key == "large" else 1),
                              200, length)
            results[key] = float(fields["mb_per_s" if unit == "mb" else "req_per_s"])
            if key == "large":
                results["rss"] = peak_kib(pids) / 1024.0
    finally:
        stop_server(proc, lock)
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--servers", default=",".join(SERVERS),
                        help="comma-separated, from dirhttp,nginx,lighttpd,python,baseline")
    parser.add_argument("--baseline", help="another dirhttp binary, run as server 'baseline' "
                        "to compare two builds in the same round")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    load = os.path.join(build, "bench", "dirhttp_load")
    servers = args.servers.split(",")

    temp = tempfile.mkdtemp(prefix="dirhttp-bench-")
    fixture = os.path.join(temp, "tree")
    os.mkdir(fixture)
    try:
        make_fixture(fixture)
        os.chmod(temp, 0o755)
        rounds = []
        for r in range(args.rounds):
            round_results = {}
            for name in servers:
                print("round %d: %s" % (r + 1, name), file=sys.stderr, flush=True)
                round_results[name] = run_server(name, build, fixture, temp, args.seconds, load,
                                                 args.baseline)
            rounds.append(round_results)
    finally:
        shutil.rmtree(temp, ignore_errors=True)

    peers = [s for s in servers if s != "dirhttp"]
    rows = [(k, label) for k, label, *_ in WORKLOADS] + [("rss", "peak RSS, 256 MiB run (MiB)")]
    header = "%-40s" % "workload (median of %d rounds)" % len(rounds)
    header += "".join("%11s" % s for s in servers)
    if "dirhttp" in servers:
        header += "".join("%13s" % ("/" + p) for p in peers)
    print(header)
    for key, label in rows:
        line = "%-40s" % label
        for s in servers:
            line += "%11.1f" % statistics.median(rd[s][key] for rd in rounds)
        if "dirhttp" in servers:
            for p in peers:
                ratios = [rd["dirhttp"][key] / rd[p][key] for rd in rounds if rd[p][key] > 0]
                line += "%12.2fx" % statistics.median(ratios) if ratios else "%13s" % "-"
        print(line)
    if "dirhttp" in servers and {"nginx", "lighttpd"} <= set(servers):
        print()
        for key, label in rows[:-1]:
            ratios = [rd["dirhttp"][key] / max(rd["nginx"][key], rd["lighttpd"][key])
                      for rd in rounds]
            print("%-40s dirhttp / faster of nginx, lighttpd: %.2fx" %
                  (label, statistics.median(ratios)))


if __name__ == "__main__":
    main()
