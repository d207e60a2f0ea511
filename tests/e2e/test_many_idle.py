"""End-to-end: thousands of idle connections. Beside connections that send nothing, small and
large requests are still answered promptly and byte for byte, and every idle one is closed with
the time-out line once the 5 s bound has passed since its accept, not before.

The count stays within the descriptors the test may hold, and under the cap of the Windows
build (1,024) there, so that no idle connection is dropped to make room."""
import resource
import selectors
import socket
import time
import unittest

import harness
from harness import file_response, get

SMALL = b"small file\n"
LARGE = bytes((i * 7 + i // 251) & 0xFF for i in range(200 * 1024))  # sent from the file
IDLE_NATIVE = 3000
IDLE_WINDOWS = 900
IDLE_SECONDS = 5.0
# A small request beside the idle connections must be answered within this; a loop that walked
# every connection on every wake would still make it, one that waited on them would not.
PROMPT_SECONDS = 1.0
# The server closes an idle connection this long after the bound at the latest (a loaded
# machine), and never before it less EARLY_SECONDS: the server reads its clock once per
# wake-up, so a connection accepted late in a long wake-up (a loaded machine) counts from a
# little before its connect.
LATE_SECONDS = 3.0
EARLY_SECONDS = 0.5
REQUESTS = 40


def idle_count():
    """How many idle connections to hold: the platform's count, within this process's limit."""
    wanted = IDLE_WINDOWS if harness.is_windows() else IDLE_NATIVE
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    room = wanted + 1024 if hard == resource.RLIM_INFINITY else min(hard, wanted + 1024)
    if soft != resource.RLIM_INFINITY and soft < room:
        resource.setrlimit(resource.RLIMIT_NOFILE, (room, hard))
        soft = room
    return min(wanted, soft - 200)


class ManyIdle(unittest.TestCase):
    def setUp(self):
        self.tree = harness.temporary_tree(self)
        self.tree.write("small.txt", SMALL)
        self.tree.write("large.bin", LARGE)
        self.server = harness.serve(self, self.tree.root)

    def test_requests_beside_idle_connections_are_answered_and_the_idle_closed_at_the_bound(self):
        count = idle_count()
        self.assertGreater(count, 500, "too few descriptors to hold the idle connections")
        start_line = self.server.line_count()
        idle = []
        opened = {}
        self.addCleanup(lambda: [s.close() for s in idle])
        for _ in range(count):
            sock = harness.connect()
            opened[sock.fileno()] = time.monotonic()
            idle.append(sock)
        harness.wait_accepted()

        small = file_response(b"text/plain", SMALL)
        large = file_response(b"application/octet-stream", LARGE)
        for i in range(REQUESTS):
            path, want = (b"/large.bin", large) if i % 4 == 3 else (b"/small.txt", small)
            started = time.monotonic()
            self.assertEqual(get(path), want, path)
            self.assertLess(time.monotonic() - started, PROMPT_SECONDS, path)

        # Every idle connection is closed by the server, each after the bound from its accept
        # (which came after its connect), none much later.
        closed = {}
        selector = selectors.DefaultSelector()
        self.addCleanup(selector.close)
        for sock in idle:
            sock.setblocking(False)
            selector.register(sock, selectors.EVENT_READ)
        deadline = max(opened.values()) + IDLE_SECONDS + LATE_SECONDS
        # Bounded by the deadline; each socket is read once, at its close.
        while len(closed) < count and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=max(0.0, deadline - time.monotonic())):
                try:
                    data = key.fileobj.recv(1)
                except ConnectionResetError:
                    data = b""
                self.assertEqual(data, b"", "an idle connection was sent bytes")
                closed[key.fileobj.fileno()] = time.monotonic()
                selector.unregister(key.fileobj)
        self.assertEqual(len(closed), count, "idle connections still open after the bound")
        early = [fd for fd, when in closed.items()
                 if when - opened[fd] < IDLE_SECONDS - EARLY_SECONDS]
        self.assertEqual(early, [], "closed before the bound")

        timed_out = b"recv failed: %d" % harness.timeout_code()
        lines = self.server.lines_until_sentinel(start_line)
        self.assertEqual(lines.count(timed_out), count)
        self.assertEqual(len([l for l in lines if l.startswith(b"GET ")]), REQUESTS)


if __name__ == "__main__":
    unittest.main()
