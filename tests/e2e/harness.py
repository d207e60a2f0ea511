"""The shared pieces of the end-to-end suites (tests/e2e/*.py and the Windows cases): the real
server started in a fixture tree on port 8080 and always stopped, its console captured, the
expected response bytes, and raw-socket helpers to talk to it over 127.0.0.1.

Each suite runs in a network namespace of its own where the machine allows it (tools/netns-run
sets DIRHTTP_NETNS=1), so suites run side by side; elsewhere a lock file lets one server at a time
have the port. Every server started here dies with the process that started it (a parent-death
signal), is stopped by the test's or class's cleanup, and, should a runner end without its
cleanups, by an exit hook.

The server command is configured once (configure()) so that the same suite runs the Linux build
and the Windows build under wine64."""
import atexit
import ctypes
import fcntl
import os
import re
import resource
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

PORT = 8080
HOST = "127.0.0.1"
LOCK_PATH = "/tmp/dirhttp-port-8080.lock"
NOT_FOUND = b"HTTP/1.1 404 Not Found\nContent-Type: text/html\n\n<h1>File not found</h1>"
OK_HEAD = b"HTTP/1.1 200 OK\nContent-Type: "
LISTING_HEAD = OK_HEAD + b"text/html\n\n"
BIN_HEADER = OK_HEAD + b"application/octet-stream\n\n"
HINT = b"Open your browser to http://localhost:8080/"

# Set by configure(): the argv words that start the server, and whether it is a Windows build.
_command = None
_windows = False


def configure(command):
    global _command, _windows
    _command = list(command)
    _windows = any(word.lower().endswith(".exe") for word in _command)


def command():
    return list(_command)


def is_windows():
    return _windows


def timeout_code():
    """The receive time-out code the server prints for an idle connection."""
    return 10060 if _windows else 110


def address_in_use_codes():
    """The bind error codes of a taken port: with the port held exclusively, Windows answers a
    second bind with WSAEACCES rather than WSAEADDRINUSE."""
    return (10048, 10013) if _windows else (98,)


def startup_seconds():
    return 60 if _windows else 10


class PortLock:
    """Holds /tmp/dirhttp-port-8080.lock: only one server on port 8080 at a time, across suites.

    Re-entrant within this process: run.py takes it once for the whole run, so that no other
    suite's server slips in between two test classes; the classes' own holds then only count."""

    _depth = 0
    _file = None

    def __init__(self, seconds=600):
        self.seconds = seconds

    def __enter__(self):
        # In a private network namespace (tools/netns-run) the port is this run's alone.
        if os.environ.get("DIRHTTP_NETNS") == "1":
            return self
        if PortLock._depth > 0:
            PortLock._depth += 1
            return self
        deadline = time.monotonic() + self.seconds
        while True:
            lock_file = open(LOCK_PATH, "a+")
            try:
                self._wait(lock_file, max(1, int(deadline - time.monotonic())))
            except BaseException:
                lock_file.close()
                raise
            # The holder before removes the file as it lets go: a lock taken on the removed file
            # is no lock, so take it again on the file that is there now.
            try:
                same = os.stat(LOCK_PATH).st_ino == os.fstat(lock_file.fileno()).st_ino
            except FileNotFoundError:
                same = False
            if same:
                break
            lock_file.close()
        PortLock._file = lock_file
        PortLock._depth = 1
        return self

    def _wait(self, lock_file, seconds):
        try:
            fcntl.flock(lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return
        except BlockingIOError:
            pass
        print("waiting for %s ..." % LOCK_PATH, file=sys.stderr, flush=True)
        if threading.current_thread() is threading.main_thread():
            # Wait in the kernel's queue like `flock` does, not by polling that always loses
            # the race against blocked waiters; the alarm bounds the wait.
            def expired(*_):
                raise TimeoutError("port 8080 lock not free in %d s" % self.seconds)
            previous = signal.signal(signal.SIGALRM, expired)
            signal.alarm(seconds)
            try:
                fcntl.flock(lock_file, fcntl.LOCK_EX)
            finally:
                signal.alarm(0)
                signal.signal(signal.SIGALRM, previous)
            return
        deadline = time.monotonic() + seconds
        while True:
            try:
                fcntl.flock(lock_file, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise TimeoutError("port 8080 lock not free in %d s" % self.seconds)
                time.sleep(0.05)

    def __exit__(self, *exc):
        if os.environ.get("DIRHTTP_NETNS") == "1":
            return
        PortLock._depth -= 1
        if PortLock._depth == 0:
            # Removed while still held, so that a run leaves no lock file behind.
            try:
                os.unlink(LOCK_PATH)
            except FileNotFoundError:
                pass
            fcntl.flock(PortLock._file, fcntl.LOCK_UN)
            PortLock._file.close()
            PortLock._file = None


def server_environment():
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


# PR_SET_PDEATHSIG: the server gets SIGKILL when the thread that started it ends, so that a runner
# killed by a time-out takes its servers with it. Servers are started from the main thread.
_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)

# Every server started and not yet stopped; the exit hook stops any a runner left.
_live = set()


def _start_in_child(max_descriptors):
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    # A runner started in the background by a shell without job control inherits SIGINT and
    # SIGQUIT ignored; the server gets the default actions, as from a terminal.
    for number in (signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)
    if max_descriptors is not None:
        resource.setrlimit(resource.RLIMIT_NOFILE, (max_descriptors, max_descriptors))


@atexit.register
def stop_every_server():
    """Stops every server still running (a runner ending by an error or a signal)."""
    for server in list(_live):
        server.stop()


class Server:
    """One server process in `root`, in a process group of its own. The caller holds the port
    lock (serve() takes it). A server that does not get ready is stopped before the error is
    raised. `command` and `windows` default to the configured ones."""

    def __init__(self, root, wait_ready=True, max_descriptors=None, env_extra=None, args=(),
                 command_words=None, windows=None):
        self.root = root
        self.lines = []
        self.sentinels = 0
        self.cond = threading.Condition()
        words = list(command_words or command())
        self.windows = is_windows() if windows is None else windows
        self.process = subprocess.Popen(
            words + list(args), cwd=root, env=dict(server_environment(), **(env_extra or {})),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
            preexec_fn=lambda: _start_in_child(max_descriptors))
        _live.add(self)
        self.stderr = b""
        self._reader = threading.Thread(target=self._read_stdout, daemon=True)
        self._reader.start()
        self._err_reader = threading.Thread(target=self._read_stderr, daemon=True)
        self._err_reader.start()
        if wait_ready:
            try:
                self.wait_ready()
            except BaseException:
                self.stop()
                raise

    @property
    def pid(self):
        return self.process.pid

    def _read_stdout(self):
        pending = b""
        while True:
            chunk = self.process.stdout.read1(65536)
            if not chunk:
                break
            pending += chunk
            *done, pending = pending.split(b"\n")
            with self.cond:
                for line in done:
                    # A Windows console turns each line end into CR LF; drop the CR it added.
                    if self.windows and line.endswith(b"\r"):
                        line = line[:-1]
                    self.lines.append(line)
                self.cond.notify_all()
        with self.cond:
            if pending:
                self.lines.append(pending)
            self.cond.notify_all()

    def _read_stderr(self):
        self.stderr = self.process.stderr.read()

    def wait_ready(self):
        """Waits until the start-up hint is printed and the server has taken, and closed, a
        connection that sent nothing: its loop is running and idle again."""
        self.wait_line(lambda l: l.startswith(b"Open your browser to "), startup_seconds())
        deadline = time.monotonic() + startup_seconds()
        while time.monotonic() < deadline:
            try:
                settle(startup_seconds())
                return
            except ConnectionRefusedError:
                if not self.alive():
                    break
                time.sleep(0.05)
        raise TimeoutError("server did not accept connections; console %r, stderr %r"
                           % (self.lines[-5:], self.stderr[-500:]))

    def wait_line(self, want, seconds=10, start=0):
        """The first console line from index `start` on that equals `want` (bytes) or satisfies
        it (a function); raises after `seconds`."""
        match = want if callable(want) else (lambda line: line == want)
        deadline = time.monotonic() + seconds
        with self.cond:
            while True:
                for index in range(start, len(self.lines)):
                    if match(self.lines[index]):
                        return index
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not self._reader.is_alive()):
                    raise AssertionError("no console line %r within %.1f s; lines: %r"
                                         % (want, seconds, self.lines[start:][-20:]))
                self.cond.wait(min(left, 0.2))

    def line_count(self):
        with self.cond:
            return len(self.lines)

    def lines_since(self, start):
        with self.cond:
            return list(self.lines[start:])

    def sentinel(self, start=0):
        """Sends a request of its own (a 404 for a path no other request names) and returns the
        index of its echo, found from `start` on: every console line of the requests handled
        before it comes before that index."""
        self.sentinels += 1
        path = b"/sentinel-%d" % self.sentinels
        assert get(path) == NOT_FOUND, path
        return self.wait_line(b"GET " + path + b" HTTP/1.1\r", 10, start)

    def lines_until_sentinel(self, start):
        """The console lines from index `start` on, up to those of every request handled
        before the call."""
        end = self.sentinel(start)
        return self.lines_since(start)[:end - start]

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        """Ends the server (under wine, when it was still running: and waits until its port no
        longer listens)."""
        _live.discard(self)
        # A program that ended by itself (a refused argument, a taken port) left no listening
        # socket behind for wine to keep.
        ended_by_itself = self.process.poll() is not None
        # The server leads a process group of its own; under wine, processes it started (wine's
        # services) may hold its console pipes open, so the whole group goes.
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass
        self._reader.join(timeout=5)
        self._err_reader.join(timeout=5)
        # Closing a pipe that a reader thread still blocks on would wait for that thread; such a
        # pipe is left to the daemon thread instead.
        for stream, reader in ((self.process.stdout, self._reader),
                               (self.process.stderr, self._err_reader)):
            if not reader.is_alive():
                stream.close()
        if self.windows and not ended_by_itself:
            release_port_after_wine()

    # ---- /proc figures of a native server ----------------------------------------------------

    def proc_status(self, field):
        """A kB figure (VmHWM, VmRSS) of the server process."""
        with open("/proc/%d/status" % self.pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        raise KeyError(field)

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def descriptors(self):
        """What each descriptor of the server refers to ("socket:[inode]", "pipe:[inode]", a
        path), by descriptor number."""
        found = {}
        for name in os.listdir("/proc/%d/fd" % self.pid):
            try:
                found[int(name)] = os.readlink("/proc/%d/fd/%s" % (self.pid, name))
            except FileNotFoundError:
                pass  # closed between the listing and the look
        return found

    def connection_count(self):
        """The sockets the server holds other than its listening ones: its connections, whatever
        state TCP has them in."""
        listening = listening_inodes(self.pid)
        return sum(1 for link in self.descriptors().values()
                   if link.startswith("socket:[") and link[8:-1] not in listening)

    def wait_connections(self, count, seconds=10):
        """Waits until the server holds exactly `count` connections; raises after `seconds`."""
        if not wait_until(lambda: self.connection_count() == count, seconds):
            raise AssertionError("the server holds %d connections, not %d, after %d s: %r"
                                 % (self.connection_count(), count, seconds, self.descriptors()))

    def idle_fd_count(self, seconds=10):
        """The descriptors the server holds once it holds no connection: the idle figure that the
        checks after a test wait for (wait_fd_count). A connection goes a moment after its
        client's close: the server sees that close on its next poll, which may come after later
        connections were accepted, served and closed (see settle)."""
        self.wait_connections(0, seconds)
        return self.fd_count()

    def wait_fd_count(self, expected, seconds=10):
        """Waits until the server holds exactly `expected` descriptors and returns that count; a
        leak never comes back to it, and raises after `seconds`. Any connection the server still
        holds goes within its drain time (2 s) or its idle bound (5 s)."""
        if not wait_until(lambda: self.fd_count() == expected, seconds):
            raise AssertionError("descriptors not back to %d within %d s: %d, %r"
                                 % (expected, seconds, self.fd_count(), self.descriptors()))
        return expected

    def cpu_seconds(self):
        """User plus system time the server process has used so far."""
        with open("/proc/%d/stat" % self.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _add_cleanup(owner, function, *args):
    """Registers `function` as a cleanup of a test (addCleanup) or of a test class
    (addClassCleanup, run even when setUpClass fails)."""
    if isinstance(owner, type):
        owner.addClassCleanup(function, *args)
    else:
        owner.addCleanup(function, *args)


def temporary_tree(owner):
    """A new Tree, removed by `owner`'s cleanups (a test, or a test class in setUpClass)."""
    tree = Tree()
    _add_cleanup(owner, tree.cleanup)
    return tree


def serve(owner, root, **options):
    """Starts a Server in `root` under the port lock, stopped (and the lock let go) by `owner`'s
    cleanups whatever happens; `options` go to Server."""
    lock = PortLock().__enter__()
    _add_cleanup(owner, lock.__exit__, None, None, None)
    server = Server(root, **options)
    _add_cleanup(owner, server.stop)
    return server


def port_listening(port=PORT):
    """Whether any socket of this machine listens on TCP `port` (IPv4 or IPv6)."""
    return listener_backlog(port) is not None


def wait_port_released(seconds=5):
    """Waits until nothing listens on the port; True when nothing does."""
    deadline = time.monotonic() + seconds
    while port_listening() and time.monotonic() < deadline:
        time.sleep(0.05)
    return not port_listening()


def release_port_after_wine():
    """After a wine program was killed: waits until its port is free. wineserver 8.0 often keeps
    a killed program's listening socket open for good, with no process of the prefix left that
    could hold it; the next exclusive bind then fails with 10013. Restarting wineserver frees
    it."""
    if wait_port_released(5):
        return
    print("  wineserver kept the killed server's port; restarting wineserver", file=sys.stderr)
    restart_wineserver()
    wait_port_released(10)


def restart_wineserver():
    """Ends wineserver, closing every socket it still holds for programs that ended, and starts
    it again for the next server."""
    subprocess.run(["wineserver", "-k"], timeout=60)
    subprocess.run(["wineserver", "-p"], timeout=60)


def native_only(reason="/proc figures describe wine, not the program, under wine"):
    """Skips the decorated test, printing `reason`, when the server is not a native Linux
    process."""
    import functools
    import unittest

    def decorate(test):
        @functools.wraps(test)
        def wrapper(self, *args, **kwargs):
            if _windows:
                raise unittest.SkipTest(reason)
            return test(self, *args, **kwargs)
        return wrapper
    return decorate


# ---- raw sockets ---------------------------------------------------------------------------------

def connect(seconds=10, receive_buffer=None):
    """A connection to the server. A fixed `receive_buffer` keeps the kernel from growing the
    receive buffer (up to tcp_rmem's maximum, 32 MiB on some machines) while the client reads."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer is not None:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.settimeout(seconds)
    try:
        sock.connect((HOST, PORT))
    except BaseException:
        sock.close()
        raise
    return sock


def paused_download(path):
    """A client with a 4 KiB receive buffer that asks for the file at `path`, reads the header
    and stops reading."""
    sock = connect(receive_buffer=4096)
    sock.sendall(b"GET " + path + b" HTTP/1.1\r\n\r\n")
    assert sock.recv(len(BIN_HEADER), socket.MSG_WAITALL) == BIN_HEADER
    return sock


def read_to_close(sock, seconds=20, limit=None):
    """Everything the server sends until it closes; raises on a time-out or a reset."""
    deadline = time.monotonic() + seconds
    chunks = []
    total = 0
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("server did not close within %d s" % seconds)
        sock.settimeout(left)
        chunk = sock.recv(1 << 20)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)
        total += len(chunk)
        if limit is not None and total > limit:
            raise AssertionError("response longer than %d bytes" % limit)


def count_to_close(sock, seconds=60):
    """The number of bytes the server sends until it closes, and their first 256 bytes."""
    deadline = time.monotonic() + seconds
    total = 0
    head = b""
    buf = bytearray(1 << 20)
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("server did not close within %d s" % seconds)
        sock.settimeout(left)
        n = sock.recv_into(buf)
        if n == 0:
            return total, head
        if len(head) < 256:
            head += bytes(buf[:256 - len(head)])[:n]
        total += n


def read_ending(sock, seconds=60, pause=0.0):
    """Reads what the server sends until the connection ends, 64 KiB at a time with `pause`
    seconds between reads (a slow reader); returns the bytes and how the connection ended:
    "end" (an orderly end: the client takes the body as whole) or "reset" (a failed transfer)."""
    deadline = time.monotonic() + seconds
    chunks = []
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the connection did not end within %d s" % seconds)
        sock.settimeout(left)
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            return b"".join(chunks), "reset"
        if not chunk:
            return b"".join(chunks), "end"
        chunks.append(chunk)
        if pause:
            time.sleep(pause)


def resets_sent():
    """How many TCP resets this network namespace has sent so far (Linux /proc/net/snmp)."""
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Tcp:")]
    return int(rows[1][rows[0].index("OutRsts")])


def request(data, seconds=20):
    """Sends `data` on a new connection and returns all the server answers."""
    with connect(seconds) as sock:
        sock.sendall(data)
        return read_to_close(sock, seconds)


def get(path, seconds=20):
    return request(b"GET " + path + b" HTTP/1.1\r\nHost: localhost:8080\r\n\r\n", seconds)


def _send_quietly(sock, data, failures):
    try:
        sock.sendall(data)
    except OSError as error:
        failures.append(error)


def exchange(data, seconds=20, end_sending=False, sender_must_finish=False):
    """Sends `data` on a new connection from a second thread (so that a request larger than the
    socket buffers cannot dead-lock against a response that is not being read) and returns
    everything the server sends until it closes. With `end_sending` the client ends its sending
    side after the data. A send that the server cuts short is no error unless
    `sender_must_finish`: then every byte must have gone out."""
    failures = []
    with connect(seconds) as sock:
        def send():
            _send_quietly(sock, data, failures)
            if end_sending and not failures:
                try:
                    sock.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        try:
            got = read_to_close(sock, seconds)
        finally:
            sender.join(seconds)
    if sender_must_finish:
        assert not sender.is_alive(), "the request was still being sent"
        assert not failures, "sending the request failed: %r" % failures
    return got


def listener_backlog(port=PORT):
    """Connections waiting in the listening socket's queue for the server's accept (Linux
    /proc/net/tcp shows a listening socket's queue length as its receive queue)."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return int(fields[4].split(":")[1], 16)
    return None


def wait_accepted(seconds=10):
    """Waits until the server has accepted every connection made so far."""
    deadline = time.monotonic() + seconds
    while listener_backlog() != 0:
        if time.monotonic() > deadline:
            raise AssertionError("connections not accepted within %d s" % seconds)
        time.sleep(0.01)


def settle(seconds=10):
    """Returns once the server has accepted, and closed, a probe that sends nothing and ends its
    sending side: its loop runs. It proves nothing about connections made or closed before the
    call: the server accepts every connection waiting (up to 16 a wake-up) and moves each on at
    once, so a probe that arrives while it is still accepting is accepted and closed before the
    server polls the connections it accepted just before, whose clients may have closed by then.
    A check of what those closes free waits for it itself (Server.wait_fd_count,
    Server.wait_connections)."""
    with socket.create_connection((HOST, PORT), timeout=seconds) as probe:
        probe.shutdown(socket.SHUT_WR)
        read_to_close(probe, seconds)


def wait_until(condition, seconds, interval=0.01):
    """Calls `condition` every `interval` until it returns true or `seconds` pass, and returns
    its last value; the last call comes after the time is up."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval)


def listening_inodes(pid):
    """The inodes of the TCP sockets in the listening state in the network namespace of process
    `pid` (/proc/PID/net/tcp and tcp6)."""
    inodes = set()
    for table in ("tcp", "tcp6"):
        try:
            with open("/proc/%d/net/%s" % (pid, table)) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "0A":
                inodes.add(fields[9])
    return inodes


def closed_by_server(sock, seconds):
    """Whether the server closes `sock` (an end or a reset) within `seconds`."""
    sock.settimeout(seconds)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def unsent_bytes(sock):
    """Bytes written to `sock` that the peer's kernel has not acknowledged yet (Linux)."""
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]


def reset(sock):
    """Closes `sock` with a reset instead of an orderly close."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def file_response(content_type, body):
    return OK_HEAD + content_type + b"\n\n" + body


CONTENT_TYPES = {"html": b"text/html", "txt": b"text/plain", "css": b"text/css",
                 "json": b"application/json", "png": b"image/png",
                 "bin": b"application/octet-stream"}


def file_response_of(path):
    """The exact file response for the file at `path` (an extension of CONTENT_TYPES), built
    from the file itself."""
    with open(path, "rb") as f:
        return file_response(CONTENT_TYPES[path.rsplit(".", 1)[-1]], f.read())


def listing_response(directory, listing_path):
    """The exact listing response for a directory whose names need no escaping, in the order the
    server lists them, dot-names left out."""
    prefix = listing_path if listing_path.endswith("/") else listing_path + "/"
    links = b"".join(
        b'<li><a href="' + prefix.encode() + name.encode() + b'">' + name.encode() +
        b"</a></li>" for name in sorted(os.listdir(directory), key=name_order_key)
        if not name.startswith("."))
    return LISTING_HEAD + b"<h1>Listing " + listing_path.encode() + b"</h1><ul>" + links + b"</ul>"


def name_order_key(name):
    """The key that sorts names (str or bytes) as listings give them, in NTFS order: ASCII a-z
    read as A-Z, then byte by byte."""
    raw = os.fsencode(name)
    return bytes(b - 32 if 0x61 <= b <= 0x7A else b for b in raw), raw


def listing_items(page):
    """The (href, text) pairs of a listing page, in page order."""
    return re.findall(rb'<li><a href="([^"]*)">(.*?)</a></li>', page)


class Tree:
    """A temporary fixture tree: `root` is served; `base` holds it and what lies beside it."""

    def __init__(self):
        self._dir = tempfile.TemporaryDirectory(prefix="dirhttp-e2e-")
        self.base = self._dir.name
        self.root = os.path.join(self.base, "root")
        os.makedirs(self.root)

    def write(self, relative, data, beside=False):
        path = os.path.join(self.base if beside else self.root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def mkdir(self, relative):
        os.makedirs(os.path.join(self.root, relative), exist_ok=True)

    def sparse(self, relative, size):
        path = os.path.join(self.root, relative)
        with open(path, "wb") as f:
            f.truncate(size)
        return path

    def cleanup(self):
        self._dir.cleanup()
