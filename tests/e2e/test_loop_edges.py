"""End-to-end edges of the connection loop: the most bytes of a request read, console lines that
must not appear, peers that go away in several ways, a response larger than the in-memory limit
behind an unread body, the cap on open connections, descriptor exhaustion, and descriptors left
behind.

Each case ends with a sentinel request whose echo proves that nothing else was printed in
between and that the server still serves."""
import errno
import os
import resource
import socket
import time
import unittest

import harness
from harness import NOT_FOUND, exchange, file_response, get

MIB = 1024 * 1024
A_TXT = b"hello\r\nworld\x00\x1a\xff\n"
A_RESPONSE = file_response(b"text/plain", A_TXT)
MEDIUM = bytes(range(256)) * (3 * MIB // 256)  # above the in-memory limit: sent from the file
MEDIUM_RESPONSE = file_response(b"application/octet-stream", MEDIUM)
BIG_SIZE = 1 << 30
BIG_HEADER = harness.BIN_HEADER


def fixture(owner):
    tree = harness.temporary_tree(owner)
    tree.write("a.txt", A_TXT)
    tree.write("medium.bin", MEDIUM)
    tree.sparse("big.img", BIG_SIZE)
    return tree


def is_send_failed(line):
    return line.startswith(b"send failed: ") and line[len(b"send failed: "):].isdigit()


class LoopEdges(unittest.TestCase):
    """Cases that share one server."""

    @classmethod
    def setUpClass(cls):
        cls.tree = fixture(cls)
        cls.server = harness.serve(cls, cls.tree.root)

    def tearDown(self):
        self.assertTrue(self.server.alive(), "the server died")

    def check(self, data, want_lines, want_response):
        mark = self.server.line_count()
        self.assertEqual(exchange(data), want_response)
        self.assertEqual(self.server.lines_until_sentinel(mark), want_lines)

    def test_console_lines_of_one_request(self):
        cases = [
            # (request bytes, console lines, response)
            (b"GET /a.txt HTTP/1.1", [b"GET /a.txt HTTP/1.1"], A_RESPONSE),  # no line feed
            (b"GET /a.txt\r\n\r\n", [b"GET /a.txt\r", b"NOMATCH"], NOT_FOUND),
            (b"\0GET /a.txt HTTP/1.1\r\n\r\n", [b"", b"NOMATCH"], NOT_FOUND),
            # The request line after the NUL is never looked at.
            (b"XYZ\r\n\0GET /a.txt HTTP/1.1\r\n\r\n", [b"XYZ\r", b"NOMATCH"], NOT_FOUND),
            # One request and one echoed line per connection, whatever follows.
            (b"GET /a.txt HTTP/1.1\r\n\r\nGET /medium.bin HTTP/1.1\r\n\r\n",
             [b"GET /a.txt HTTP/1.1\r"], A_RESPONSE),
            (b"GET /a.txt HTTP/1.1\r\nConnection: keep-alive\r\n\r\n",
             [b"GET /a.txt HTTP/1.1\r"], A_RESPONSE),
        ]
        for data, lines, response in cases:
            with self.subTest(request=data):
                self.check(data, lines, response)

    def test_no_line_for_connections_closed_without_data(self):
        mark = self.server.line_count()
        harness.connect().close()
        waiting = harness.connect()
        harness.wait_accepted()
        waiting.close()
        self.assertEqual(self.server.lines_until_sentinel(mark), [])

    def test_first_line_longer_than_one_receive(self):
        # Only the first bytes of the line are ever read, so the space after the path never
        # arrives and no request line is found.
        long_line = b"GET /" + b"a" * 200000 + b" HTTP/1.1\r\n\r\n"
        mark = self.server.line_count()
        self.assertEqual(exchange(long_line), NOT_FOUND)
        lines = self.server.lines_until_sentinel(mark)
        self.assertEqual(len(lines), 2, [line[:80] for line in lines])
        self.assertLessEqual(len(lines[0]), 65535)
        self.assertEqual(long_line[:len(lines[0])], lines[0])
        self.assertEqual(lines[1], b"NOMATCH")

    def test_exactly_65535_bytes_of_a_longer_request_are_read(self):
        # The first line never ends within the limit: the request is handled with exactly the
        # first 65,535 bytes, however many pieces they came in.
        long_line = b"GET /" + b"b" * 200000 + b" HTTP/1.1\r\n\r\n"
        mark = self.server.line_count()
        self.assertEqual(exchange(long_line), NOT_FOUND)
        lines = self.server.lines_until_sentinel(mark)
        self.assertEqual([len(line) for line in lines], [65535, len(b"NOMATCH")])
        self.assertEqual(lines, [long_line[:65535], b"NOMATCH"])

    def test_peer_gone_mid_download_ends_only_that_connection(self):
        def reset(sock):
            harness.reset(sock)

        def close_unread(sock):
            sock.close()  # unread bytes: the client's kernel answers with a reset

        def shut_down_both(sock):
            sock.shutdown(socket.SHUT_RDWR)
            sock.close()

        for how in (reset, close_unread, shut_down_both):
            with self.subTest(how=how.__name__):
                mark = self.server.line_count()
                sock = harness.connect()
                sock.sendall(b"GET /big.img HTTP/1.1\r\n\r\n")
                got = sock.recv(2 * MIB, socket.MSG_WAITALL)
                self.assertEqual(got[:len(BIG_HEADER)], BIG_HEADER)
                how(sock)
                self.server.wait_line(is_send_failed, 35, mark)
                self.assertEqual(get(b"/a.txt"), A_RESPONSE)
                self.assertTrue(self.server.alive(), "the server died")
                lines = self.server.lines_until_sentinel(mark)
                self.assertEqual(lines[0], b"GET /big.img HTTP/1.1\r")
                self.assertTrue(is_send_failed(lines[1]), lines)
                self.assertEqual(lines[2:], [b"GET /a.txt HTTP/1.1\r"])

    def test_unread_body_behind_a_large_response(self):
        # The response is still going out when the body arrives: closing with the body unread
        # would reset the connection and cut the response short.
        body = b"x" * MIB
        for path, response in ((b"/a.txt", A_RESPONSE), (b"/medium.bin", MEDIUM_RESPONSE)):
            with self.subTest(path=path):
                data = (b"POST " + path + b" HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % len(body)
                        + body)
                self.assertEqual(exchange(data), response)

    @harness.native_only()
    def test_waiting_uses_no_processor_time(self):
        # The loop looks for work without sleeping only briefly after each wake-up; waiting for
        # a connection, or for a silent connection's first bytes, must be a real sleep.
        for silent in (0, 1):
            with self.subTest(silent_connections=silent):
                self.assertEqual(get(b"/a.txt"), A_RESPONSE)
                sockets = [harness.connect() for _ in range(silent)]
                # The silent ones accepted, and the request's connection closed.
                harness.wait_accepted()
                self.server.wait_connections(silent)
                before = self.server.cpu_seconds()
                time.sleep(1.5)
                used = self.server.cpu_seconds() - before
                for sock in sockets:
                    sock.close()
                self.assertLess(used, 0.1,
                                "the server used %.2f s of processor time waiting" % used)

    @harness.native_only()
    def test_connections_leave_no_descriptor_behind(self):
        get(b"/a.txt")
        baseline = self.server.idle_fd_count()
        mark = self.server.line_count()
        harness.connect().close()
        harness.reset(harness.connect())
        get(b"/a.txt")
        exchange(b"POST /a.txt HTTP/1.1\r\n\r\n" + b"y" * 100000)
        sock = harness.connect()
        sock.sendall(b"GET /big.img HTTP/1.1\r\n\r\n")
        sock.recv(MIB, socket.MSG_WAITALL)
        harness.reset(sock)
        self.server.lines_until_sentinel(mark)
        # The server sees a close on its next poll, which may come after the sentinel's whole
        # exchange (see harness.settle): wait for the count to come back; a leak never does.
        self.server.wait_fd_count(baseline)


def paused_download(path=b"/big.img"):
    return harness.paused_download(path)


class ConnectionCap(unittest.TestCase):
    """A server whose descriptors allow only a few connections: the cap, what gives way at it,
    and a shortage of descriptors."""

    # The reserve of 32 descriptors plus two for each of 4 connections.
    CAP = 4
    LIMIT = 32 + 2 * CAP

    def run_server(self, limit, test):
        tree = fixture(self)
        test(harness.serve(self, tree.root, max_descriptors=limit))

    def test_the_oldest_waiting_connection_makes_room(self):
        # On Windows the cap is a fixed 1,024 connections.
        cap, limit = (1024, None) if harness.is_windows() else (self.CAP, self.LIMIT)

        def test(server):
            mark = server.line_count()
            waiting = [harness.connect() for _ in range(cap)]
            try:
                # One more than the cap: the first to come is closed for it, at once.
                waiting.append(harness.connect())
                self.assertTrue(harness.closed_by_server(waiting[0], 3))
                # A real request still gets through, in place of the next oldest.
                self.assertEqual(get(b"/a.txt"), A_RESPONSE)
                self.assertTrue(harness.closed_by_server(waiting[1], 3))
                for sock in waiting[2:6]:
                    self.assertFalse(harness.closed_by_server(sock, 0.1))
                timed_out = b"recv failed: %d" % harness.timeout_code()
                echo = server.wait_line(b"GET /a.txt HTTP/1.1\r", 10, mark)
                self.assertEqual(server.lines_since(mark)[:echo - mark + 1],
                                 [timed_out, timed_out, b"GET /a.txt HTTP/1.1\r"])
            finally:
                for sock in waiting:
                    sock.close()
        self.run_server(limit, test)

    @harness.native_only("the cap comes from the POSIX descriptor limit")
    def test_sending_connections_are_never_dropped_for_a_newcomer(self):
        def test(server):
            mark = server.line_count()
            downloads = [paused_download() for _ in range(self.CAP - 1)]
            others = []
            try:
                # The one waiting for its request gives way, though the downloads are older.
                others.append(harness.connect())
                self.assertEqual(get(b"/a.txt"), A_RESPONSE)
                self.assertTrue(harness.closed_by_server(others[0], 3))
                # Every slot sending: a newcomer waits in the backlog, and nobody is dropped.
                downloads.append(paused_download())
                others.append(harness.connect())
                others[1].sendall(b"GET /a.txt HTTP/1.1\r\n\r\n")
                self.assertFalse(harness.closed_by_server(others[1], 1.0))
                # Each download's echo came before its header, but reaches the console reader
                # a moment later.
                seen = mark
                for _ in range(self.CAP):
                    seen = server.wait_line(b"GET /big.img HTTP/1.1\r", 10, seen) + 1
                lines = server.lines_since(mark)
                self.assertEqual(lines.count(b"GET /big.img HTTP/1.1\r"), self.CAP)
                self.assertFalse([line for line in lines if is_send_failed(line)], lines)
                harness.reset(downloads.pop(0))
                self.assertEqual(harness.read_to_close(others[1], 10), A_RESPONSE)
            finally:
                for sock in downloads + others:
                    sock.close()
        self.run_server(self.LIMIT, test)

    @harness.native_only("the cap comes from the POSIX descriptor limit")
    def test_draining_connections_are_never_dropped_for_a_newcomer(self):
        def test(server):
            mark = server.line_count()
            # Each reads its whole response and keeps its side open: the server drains each,
            # for up to 2 s.
            draining = [harness.connect() for _ in range(self.CAP)]
            newcomer = None
            try:
                for sock in draining:
                    sock.sendall(b"GET /a.txt HTTP/1.1\r\n\r\n")
                    self.assertEqual(harness.read_to_close(sock, 10), A_RESPONSE)
                newcomer = harness.connect()
                newcomer.sendall(b"GET /a.txt HTTP/1.1\r\n\r\n")
                newcomer.settimeout(0.5)
                with self.assertRaises(socket.timeout, msg="answered by dropping a drained one"):
                    newcomer.recv(1)
                # One client closes: its drain ends, and the newcomer takes its place.
                draining.pop(0).close()
                self.assertEqual(harness.read_to_close(newcomer, 10), A_RESPONSE)
                # Nobody was closed to make room: one echo each, and no other line.
                echo, seen = b"GET /a.txt HTTP/1.1\r", mark
                for _ in range(self.CAP + 1):
                    seen = server.wait_line(echo, 10, seen) + 1
                self.assertEqual(server.lines_since(mark), [echo] * (self.CAP + 1))
            finally:
                for sock in draining + [newcomer]:
                    if sock is not None:
                        sock.close()
        self.run_server(self.LIMIT, test)

    @harness.native_only("the descriptor limit is a POSIX one")
    def test_out_of_descriptors_is_passing(self):
        # Once started, the server is left no descriptor above those it holds: every accept
        # fails. The loop goes on, pausing instead of spinning.
        def test(server):
            held = [int(fd) for fd in os.listdir("/proc/%d/fd" % server.pid)]
            hard = resource.prlimit(server.pid, resource.RLIMIT_NOFILE)[1]
            resource.prlimit(server.pid, resource.RLIMIT_NOFILE, (max(held) + 1, hard))
            mark = server.line_count()
            shortage = b"accept failed: %d" % errno.EMFILE
            socks = []
            try:
                # Enough to use up any gap below the highest descriptor held.
                for _ in range(len(held) + 2):
                    socks.append(harness.connect())
                server.wait_line(shortage, 10, mark)
                before = server.line_count()
                time.sleep(0.5)
                # A pause of some tens of milliseconds per failure, not a busy loop.
                self.assertLess(server.line_count() - before, 100)
                self.assertTrue(server.alive(), "the server ended on a descriptor shortage")
                self.assertIn(shortage, server.lines_since(mark))
            finally:
                for sock in socks:
                    sock.close()
        self.run_server(None, test)


if __name__ == "__main__":
    unittest.main()
