"""End-to-end: how a download ends. No response carries a length, so a client tells a whole body
from a cut one only by how the connection ends: a whole response ends in order with every byte,
and one that does not go out whole (its file shrank while it was sent, the server stopped while
it was in flight) ends with a reset, which every client reports as a failed transfer. (A download
given up after the 30 s send bound is checked in the concurrency suite.)

Each client reads through a small fixed receive buffer, so most of the body is still unsent when
something happens to it."""
import os
import signal
import unittest

import harness
from harness import BIN_HEADER, file_response

MIB = 1024 * 1024
SMALL = b"small file\n"
WHOLE_SIZE = 8 * MIB
SHRINKING_SIZE = 64 * MIB
HUGE_SIZE = 256 * MIB
RECEIVE_BUFFER = 64 * 1024


def pattern(size):
    """Bytes that differ from one position to the next, so a lost or repeated stretch shows."""
    block = bytes((i * 7 + i // 251) & 0xFF for i in range(65521))  # a prime length
    return (block * (size // len(block) + 1))[:size]


def start_download(path):
    """A client through a small receive buffer that asks for `path` and has read the header and
    the first bytes of the body: the response is under way."""
    sock = harness.connect(receive_buffer=RECEIVE_BUFFER)
    sock.sendall(b"GET " + path + b" HTTP/1.1\r\n\r\n")
    start = b""
    for _ in range(1000):
        if len(start) >= len(BIN_HEADER) + 1024:
            break
        piece = sock.recv(len(BIN_HEADER) + 1024 - len(start))
        assert piece, "the connection ended after %d bytes" % len(start)
        start += piece
    assert start[:len(BIN_HEADER)] == BIN_HEADER, start[:100]
    return sock, start[len(BIN_HEADER):]


class Endings(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree = harness.temporary_tree(cls)
        cls.whole = pattern(WHOLE_SIZE)
        cls.tree.write("small.txt", SMALL)
        cls.tree.write("whole.bin", cls.whole)
        cls.server = harness.serve(cls, cls.tree.root)

    def test_whole_responses_end_in_order_and_leave_no_reset_behind(self):
        # The resets this network namespace sends, server and clients together: counted only
        # where the suite has a namespace of its own and can see the server's descriptors.
        counted = os.environ.get("DIRHTTP_NETNS") == "1" and not harness.is_windows()
        if counted:
            idle_descriptors = self.server.idle_fd_count()
            resets_before = harness.resets_sent()
        with harness.connect() as sock:
            sock.sendall(b"GET /small.txt HTTP/1.1\r\n\r\n")
            self.assertEqual(harness.read_ending(sock, 20),
                             (file_response(b"text/plain", SMALL), "end"))
        # This client keeps its side open after the end, so the server closes after its drain.
        with harness.connect(receive_buffer=RECEIVE_BUFFER) as sock:
            sock.sendall(b"GET /whole.bin HTTP/1.1\r\n\r\n")
            got, ending = harness.read_ending(sock, 120, pause=0.001)
            self.assertEqual(ending, "end")
            self.assertEqual(len(got), len(BIN_HEADER) + WHOLE_SIZE)
            self.assertTrue(got == BIN_HEADER + self.whole, "the body differs from the file")
            if counted:
                self.server.wait_fd_count(idle_descriptors)
        if counted:
            self.assertEqual(harness.resets_sent(), resets_before)

    def test_a_file_that_shrinks_while_it_is_sent_ends_with_a_reset(self):
        content = pattern(SHRINKING_SIZE)
        self.tree.write("shrinks.bin", content)
        mark = self.server.line_count()
        sock, start = start_download(b"/shrinks.bin")
        with sock:
            os.truncate(os.path.join(self.tree.root, "shrinks.bin"), 2 * MIB)
            rest, ending = harness.read_ending(sock, 60)
        body = start + rest
        self.assertEqual(ending, "reset")
        self.assertLess(len(body), SHRINKING_SIZE)
        self.assertTrue(body == content[:len(body)], "the bytes sent differ from the file")
        # The request's echo, and nothing printed for the shrunken file.
        self.assertEqual(self.server.lines_until_sentinel(mark),
                         [b"GET /shrinks.bin HTTP/1.1\r"])


class StoppedServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree = harness.temporary_tree(cls)
        cls.tree.sparse("huge.bin", HUGE_SIZE)

    def test_a_server_that_stops_resets_the_downloads_in_flight(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGKILL):
            with self.subTest(signal=signal.Signals(number).name):
                server = harness.serve(self, self.tree.root)
                downloads = [start_download(b"/huge.bin") for _ in range(2)]
                os.kill(server.pid, number)
                server.process.wait(60)
                if harness.is_windows():
                    # wineserver holds a descriptor of its own for every socket and may keep
                    # those of an ended program open (a pending poll of the program's holds
                    # them), so the connection neither ends nor resets until it lets them go.
                    # Ending it lets them go: the kernel then closes them as configured.
                    harness.restart_wineserver()
                for sock, start in downloads:
                    with sock:
                        rest, ending = harness.read_ending(sock, 60)
                    self.assertEqual(ending, "reset")
                    self.assertLess(len(start) + len(rest), HUGE_SIZE)
                server.stop()


if __name__ == "__main__":
    unittest.main()
