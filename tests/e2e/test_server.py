"""End-to-end behaviour of the running server: start-up, console lines, the three responses,
dot-names and symbolic links, one response per connection, the handling of clients that idle or
send too much, the browser opened only on a desktop, and the end of the program when its
listening socket fails."""
import ctypes
import os
import re
import socket
import subprocess
import time
import unittest

import harness
from harness import NOT_FOUND, file_response, get, request

BIG = 32 * 1024 * 1024
HELLO = file_response(b"text/plain", b"hello\n")


def fixture(owner):
    tree = harness.temporary_tree(owner)
    tree.write("a.txt", b"hello\n")
    tree.write("empty.css", b"")
    tree.write("bin.png", bytes(range(256)) + b"\r\n\x1a\xff\x00\r\n")
    tree.write("docs/b.html", b"<p>b</p>")
    # Dot-names: served when named, never listed.
    tree.write(".hidden", b"dot-file\n")
    tree.write("docs/.config/settings.txt", b"settings\n")
    tree.write("canary.txt", b"CANARY-beside-the-root", beside=True)
    tree.write("outside/o.txt", b"beside the root\n", beside=True)
    # Symbolic links, followed wherever they point.
    os.makedirs(os.path.join(tree.root, "links"))
    for name, target in SYMLINKS:
        os.symlink(target, os.path.join(tree.root, "links", name))
    pattern = bytes((i * 7) & 0xFF for i in range(4093))
    tree.write("big.bin", (pattern * (BIG // len(pattern) + 1))[:BIG])
    return tree


# In the folder links/: (name, target).
SYMLINKS = [
    ("in.txt", "../a.txt"),
    ("docs", "../docs"),
    ("out.txt", "../../canary.txt"),
    ("outdir", "../../outside"),
    ("dangling.txt", "nowhere.txt"),
]


class Running(unittest.TestCase):
    """Cases that share one server."""

    @classmethod
    def setUpClass(cls):
        cls.tree = fixture(cls)
        cls.server = harness.serve(cls, cls.tree.root)

    def setUp(self):
        # Console lines of the test before may still be on their way (the reader thread lags
        # under wine); a request of our own, echoed after all of them, marks where this test's
        # lines begin.
        self.mark = self.server.sentinel(self.server.line_count()) + 1

    def tearDown(self):
        self.assertTrue(self.server.alive(), "the server died")

    def expect_lines(self, *lines):
        """The console lines printed since the test began, waiting for the last one."""
        if lines:
            self.server.wait_line(lines[-1], 10, self.mark)
        self.assertEqual(self.server.lines_since(self.mark), list(lines))

    def test_startup_hint(self):
        self.assertEqual(self.server.lines[:3],
                         [b"", b"Open your browser to http://localhost:8080/", b""])

    def test_file_responses(self):
        cases = [
            (b"/a.txt", file_response(b"text/plain", b"hello\n")),
            (b"/empty.css", file_response(b"text/css", b"")),
            (b"/bin.png", file_response(b"image/png", bytes(range(256)) + b"\r\n\x1a\xff\x00\r\n")),
            (b"/docs/b.html", file_response(b"text/html", b"<p>b</p>")),
            (b"/docs/%62.html", file_response(b"text/html", b"<p>b</p>")),
            (b"/.hidden", file_response(b"application/octet-stream", b"dot-file\n")),
            (b"/docs/.config/settings.txt", file_response(b"text/plain", b"settings\n")),
            (b"/missing", NOT_FOUND),
            (b"/../canary.txt", NOT_FOUND),
            (b"/..%2Fcanary.txt", NOT_FOUND),
        ]
        for path, expected in cases:
            with self.subTest(path=path):
                self.assertEqual(get(path), expected)

    def test_listings(self):
        page = get(b"/")
        head = b"HTTP/1.1 200 OK\nContent-Type: text/html\n\n<h1>Listing /</h1><ul>"
        self.assertTrue(page.startswith(head), page[:100])
        self.assertTrue(page.endswith(b"</ul>"))
        self.assertEqual(sorted(harness.listing_items(page)),
                         sorted([(b"/a.txt", b"a.txt"), (b"/empty.css", b"empty.css"),
                                 (b"/bin.png", b"bin.png"), (b"/docs", b"docs"),
                                 (b"/big.bin", b"big.bin"), (b"/links", b"links")]))
        self.assertEqual(get(b"/docs"), b"HTTP/1.1 200 OK\nContent-Type: text/html\n\n"
                         b"<h1>Listing /docs</h1><ul><li><a href=\"/docs/b.html\">b.html</a>"
                         b"</li></ul>")

    def test_symbolic_links_are_followed_inside_and_out_of_the_tree(self):
        # Wine's enumeration, like Windows', leaves out a link whose target is missing.
        dangling = [] if harness.is_windows() else [(b"/links/dangling.txt", b"dangling.txt")]
        self.assertEqual(harness.listing_items(get(b"/links/")),
                         dangling + [(b"/links/docs", b"docs"), (b"/links/in.txt", b"in.txt"),
                                     (b"/links/out.txt", b"out.txt"),
                                     (b"/links/outdir", b"outdir")])
        cases = [
            (b"/links/in.txt", HELLO),
            (b"/links/docs/b.html", file_response(b"text/html", b"<p>b</p>")),
            (b"/links/docs", harness.LISTING_HEAD + b'<h1>Listing /links/docs</h1><ul>'
             b'<li><a href="/links/docs/b.html">b.html</a></li></ul>'),
            # Whoever can write the tree decides what it shows, beside the root too.
            (b"/links/out.txt", file_response(b"text/plain", b"CANARY-beside-the-root")),
            (b"/links/outdir/o.txt", file_response(b"text/plain", b"beside the root\n")),
            (b"/links/dangling.txt", NOT_FOUND),
        ]
        for path, expected in cases:
            with self.subTest(path=path):
                self.assertEqual(get(path), expected)

    def test_first_line_echoed_with_its_carriage_return(self):
        get(b"/a.txt")
        self.expect_lines(b"GET /a.txt HTTP/1.1\r")
        request(b"HEAD /docs/ HTTP/1.0\n\n")
        self.expect_lines(b"GET /a.txt HTTP/1.1\r", b"HEAD /docs/ HTTP/1.0")

    def test_nomatch(self):
        self.assertEqual(request(b"get /a.txt HTTP/1.1\r\n\r\n"), NOT_FOUND)
        self.expect_lines(b"get /a.txt HTTP/1.1\r", b"NOMATCH")

    def test_nul_ends_the_request_text(self):
        # Everything after the NUL is ignored: the path's space is gone, so no request line.
        self.assertEqual(request(b"GET /a.txt\0 HTTP/1.1\r\n\r\n"), NOT_FOUND)
        self.expect_lines(b"GET /a.txt", b"NOMATCH")
        self.mark = self.server.line_count()
        self.assertEqual(request(b"GET /a.txt HTTP/1.1\0\r\nGET /docs HTTP/1.1 \r\n"),
                         file_response(b"text/plain", b"hello\n"))
        self.expect_lines(b"GET /a.txt HTTP/1.1")

    def test_one_response_per_connection(self):
        two = (b"GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n"
               b"GET /docs/b.html HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(request(two), file_response(b"text/plain", b"hello\n"))

    def test_request_over_65535_bytes(self):
        head = b"GET /a.txt HTTP/1.1\r\nX-Filler: "
        data = head + b"f" * (200 * 1024) + b"\r\n\r\n"
        self.assertEqual(request(data), file_response(b"text/plain", b"hello\n"))
        self.expect_lines(b"GET /a.txt HTTP/1.1\r")

    def test_request_with_a_body_gets_its_whole_response(self):
        # The response is sent before the body has been read; closing with the body unread
        # would reset the connection and could lose the response.
        # Every byte of the body must go out: a reset would fail the sender.
        body = os.urandom(1024 * 1024)
        head = b"POST /docs/b.html HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body)
        got = harness.exchange(head + body, sender_must_finish=True)
        self.assertEqual(got, file_response(b"text/html", b"<p>b</p>"))

    def test_head_in_two_segments_is_answered_from_the_first(self):
        with harness.connect() as sock:
            sock.sendall(b"GET /a.txt HTTP/1.1\r\n")
            self.server.wait_line(b"GET /a.txt HTTP/1.1\r", 10, self.mark)
            try:
                sock.sendall(b"Host: localhost\r\n\r\n")
            except OSError:
                pass
            self.assertEqual(harness.read_to_close(sock), file_response(b"text/plain", b"hello\n"))

    def test_large_file_served_whole(self):
        with harness.connect() as sock:
            sock.sendall(b"GET /big.bin HTTP/1.1\r\n\r\n")
            data = harness.read_to_close(sock, 60)
        header = b"HTTP/1.1 200 OK\nContent-Type: application/octet-stream\n\n"
        self.assertEqual(len(data), len(header) + BIG)
        self.assertTrue(data.startswith(header))
        with open(os.path.join(self.tree.root, "big.bin"), "rb") as f:
            self.assertEqual(data[len(header):], f.read())

    def test_idle_connections_do_not_hold_up_a_ready_one(self):
        idle = [harness.connect() for _ in range(3)]
        try:
            harness.wait_accepted()
            started = time.monotonic()
            self.assertEqual(get(b"/a.txt"), file_response(b"text/plain", b"hello\n"))
            self.assertLess(time.monotonic() - started, 2.0)
        finally:
            for sock in idle:
                sock.close()

    def test_idle_connection_closed_after_the_bound(self):
        sock = harness.connect(15)
        started = time.monotonic()
        try:
            self.assertEqual(sock.recv(100), b"")  # closed by the server
        except ConnectionResetError:
            pass
        waited = time.monotonic() - started
        sock.close()
        self.assertGreater(waited, 4.0)
        self.assertLess(waited, 8.0)
        self.expect_lines(b"recv failed: %d" % harness.timeout_code())


PR_SET_CHILD_SUBREAPER = 36
SYS_PIDFD_GETFD = 438
_libc = ctypes.CDLL(None, use_errno=True)


def children_of_this_process():
    """The PIDs whose parent is this process, zombies included."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == os.getpid():
            pids.append(int(entry))
    return pids


def listening_socket_of(pid):
    """A duplicate of the listening socket that process `pid` holds (pidfd_getfd, Linux 5.6;
    the caller may trace `pid`)."""
    pidfd = os.pidfd_open(pid)
    try:
        for name in os.listdir("/proc/%d/fd" % pid):
            if not os.readlink("/proc/%d/fd/%s" % (pid, name)).startswith("socket:"):
                continue
            fd = _libc.syscall(SYS_PIDFD_GETFD, pidfd, int(name), 0)
            if fd < 0:
                raise OSError(ctypes.get_errno(), "pidfd_getfd")
            sock = socket.socket(fileno=fd)
            if sock.getsockopt(socket.SOL_SOCKET, socket.SO_ACCEPTCONN):
                return sock
            sock.detach()
            os.close(fd)
    finally:
        os.close(pidfd)
    raise AssertionError("process %d holds no listening socket" % pid)


class StartAndStop(unittest.TestCase):
    """Cases that start servers of their own."""

    def setUp(self):
        self.tree = fixture(self)

    def start(self, root=None, wait_ready=True, env_extra=None):
        return harness.serve(self, root or self.tree.root, wait_ready=wait_ready,
                             env_extra=env_extra)

    @harness.native_only("the Windows build's browser hook under wine is checked by "
                         "windows_cases.py")
    def test_browser_opened_on_the_url_only_on_a_desktop(self):
        # xdg-open is replaced by a script that records its arguments and its open descriptors.
        # A browser that inherited the listening socket would keep the port taken, answering
        # nobody, after the server ends. Without a desktop session the opener would start a
        # text-mode browser in the server's terminal.
        bin_dir = os.path.join(self.tree.base, "bin")
        os.mkdir(bin_dir)
        record = os.path.join(self.tree.base, "opener.txt")
        with open(os.path.join(bin_dir, "xdg-open"), "w") as f:
            f.write("#!/bin/sh\n{ echo \"$@\"; for fd in /proc/$$/fd/*; do readlink \"$fd\"; "
                    "done; } > %s\n" % record)
        os.chmod(os.path.join(bin_dir, "xdg-open"), 0o755)
        # The opener is started in a session of its own and left to the nearest subreaper: this
        # process, for the test. It is started before the server accepts its first connection,
        # so once the server is ready it is a child of this process, running or ended.
        self.assertEqual(_libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0)
        self.addCleanup(_libc.prctl, PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)
        cases = [
            ({"DISPLAY": ":97"}, True),
            ({"WAYLAND_DISPLAY": "wayland-97"}, True),
            ({}, False),
            ({"DISPLAY": "", "WAYLAND_DISPLAY": ""}, False),
        ]
        path = {"PATH": bin_dir + os.pathsep + os.environ["PATH"]}
        for session, opened in cases:
            with self.subTest(session=session):
                if os.path.exists(record):
                    os.unlink(record)
                before = set(children_of_this_process())
                server = self.start(env_extra=dict(path, **session))
                openers = set(children_of_this_process()) - before - {server.pid}
                for pid in openers:
                    os.waitpid(pid, 0)
                self.assertEqual(len(openers), 1 if opened else 0, openers)
                if opened:
                    with open(record) as f:
                        url, *descriptors = f.read().splitlines()
                    self.assertEqual(url, "http://localhost:8080/")
                    self.assertEqual([d for d in descriptors if d.startswith("socket:")], [],
                                     descriptors)
                else:
                    self.assertFalse(os.path.exists(record))
                self.assertTrue(server.alive())
                server.stop()

    @harness.native_only("the listening socket of a program under wine is wine's to hand out")
    def test_an_unusable_listening_socket_ends_the_program_with_status_1(self):
        # The listening socket is taken from the running server and shut down: its accept then
        # fails with EINVAL, an error no retry can cure.
        server = self.start()
        with listening_socket_of(server.pid) as listener:
            listener.shutdown(socket.SHUT_RDWR)
        try:
            status = server.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.fail("the server went on without its listening socket")
        self.assertEqual(status, 1)
        server.wait_line(b"accept failed: 22", 10)

    def test_second_instance_reports_the_taken_port(self):
        self.start()
        second = self.start(wait_ready=False)
        try:
            status = second.process.wait(timeout=harness.startup_seconds())
        except subprocess.TimeoutExpired:
            self.fail("the second instance did not end")
        self.assertEqual(status, 1)
        second.stop()
        self.assertIn(second.lines,
                      [[b"bind failed with error: %d" % code]
                       for code in harness.address_in_use_codes()])
        if not harness.is_windows():
            self.assertIn(b"Could not bind to port 8080", second.stderr)
            self.assertIn(b"Program may already be running", second.stderr)

    def test_immediate_restart_after_serving(self):
        first = self.start()
        for _ in range(5):
            self.assertEqual(get(b"/a.txt"), file_response(b"text/plain", b"hello\n"))
        first.stop()
        second = self.start()
        self.assertEqual(get(b"/a.txt"), file_response(b"text/plain", b"hello\n"))
        self.assertTrue(second.alive())

    @harness.native_only()
    def test_huge_file_served_whole_in_bounded_memory(self):
        size = 1 << 30
        self.tree.sparse("huge.bin", size)
        server = self.start()
        with harness.connect() as sock:
            sock.sendall(b"GET /huge.bin HTTP/1.1\r\n\r\n")
            total, head = harness.count_to_close(sock, 120)
        header = b"HTTP/1.1 200 OK\nContent-Type: application/octet-stream\n\n"
        self.assertEqual(total, len(header) + size)
        self.assertTrue(head.startswith(header + b"\0\0\0\0"))
        peak_kib = server.proc_status("VmHWM")
        print("peak resident memory serving 1 GiB: %d KiB" % peak_kib)
        self.assertLess(peak_kib, 64 * 1024)

    @harness.native_only("the test removes the directory under a native process; wine maps a "
                         "missing directory to one of its own")
    def test_unreadable_current_directory_stops_the_start(self):
        gone = os.path.join(self.tree.base, "gone")
        os.makedirs(gone)
        result = subprocess.run(
            ["/bin/sh", "-c", "cd \"$1\" && rmdir \"$1\" && exec \"$2\"", "sh", gone,
             harness.command()[0]],
            env=harness.server_environment(), capture_output=True, timeout=10)
        self.assertEqual(result.returncode, 1)
        self.assertTrue(re.fullmatch(rb"GetCurrentDirectory failed: \d+\n", result.stdout),
                        result.stdout)


if __name__ == "__main__":
    unittest.main()
