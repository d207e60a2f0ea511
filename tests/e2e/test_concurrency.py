"""End-to-end: many connections at once. A paused or slow download never holds up anyone else,
every byte of simultaneous downloads arrives, a request line is read whole however it is cut,
and each bound of the serving loop (the 30 s stall of a send, the drain after a response) holds
and delays nobody; a download given up at the bound ends with a reset.

These run on one server; each case ends with a sentinel request whose echo proves the server
still serves and lets the case read its console lines."""
import os
import threading
import time
import unittest

import harness
from harness import NOT_FOUND, file_response, get

MIB = 1024 * 1024
SMALL = b"small file\n"
SMALL_RESPONSE = file_response(b"text/plain", SMALL)
MEDIUM_SIZE = 8 * MIB
HUGE_SIZE = 256 * MIB
BIN_HEADER = harness.BIN_HEADER
# Every small request must be answered within this, even beside stalled or slow clients; one
# response at a time would take seconds to minutes here.
PROMPT_SECONDS = 1.0


def pattern(size):
    """Bytes that differ from one position to the next, so a lost or repeated stretch shows."""
    block = bytes((i * 7 + i // 251) & 0xFF for i in range(65521))  # a prime length
    return (block * (size // len(block) + 1))[:size]


MEDIUM = pattern(MEDIUM_SIZE)


def timed_get(path=b"/small.txt"):
    started = time.monotonic()
    got = get(path)
    return got, time.monotonic() - started


def paused_download(path=b"/huge.bin"):
    return harness.paused_download(path)


def is_timed_out_send(line):
    return line == b"send failed: %d" % harness.timeout_code()


class Concurrency(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree = harness.temporary_tree(cls)
        cls.tree.write("small.txt", SMALL)
        cls.tree.write("medium.bin", MEDIUM)
        cls.tree.write("grows.bin", MEDIUM)
        cls.tree.sparse("huge.bin", HUGE_SIZE)
        cls.server = harness.serve(cls, cls.tree.root)

    def setUp(self):
        self.mark = self.server.line_count()
        self.sockets = []

    def tearDown(self):
        for sock in self.sockets:
            sock.close()
        self.assertTrue(self.server.alive(), "the server died")

    def keep(self, sock):
        self.sockets.append(sock)
        return sock

    def assert_prompt_small_requests(self, count):
        for _ in range(count):
            got, seconds = timed_get()
            self.assertEqual(got, SMALL_RESPONSE)
            self.assertLess(seconds, PROMPT_SECONDS)

    def test_paused_downloads_hold_up_nobody_and_are_given_up_after_30_s(self):
        paused = [self.keep(paused_download()) for _ in range(4)]
        paused_at = time.monotonic()
        self.assert_prompt_small_requests(50)
        # No byte moves for the paused ones: each is given up once, 30 s after it stalled,
        # however many small pieces the send moved before the stall.
        after = self.mark
        for _ in paused:
            after = self.server.wait_line(is_timed_out_send, 45, after) + 1
        waited = time.monotonic() - paused_at
        self.assertGreater(waited, 29)
        self.assertLess(waited, 40)
        for sock in paused:
            # What the server's kernel still held for it arrives, then a reset: the client
            # reports a failed download instead of keeping a cut one as whole.
            body, ending = harness.read_ending(sock, 10)
            self.assertEqual(ending, "reset")
            self.assertLess(len(body), HUGE_SIZE)

    def test_slow_readers_get_every_byte_while_others_are_served(self):
        results = {}
        under_way = [threading.Event() for _ in range(4)]

        def slow_reader(index):
            with harness.connect(30, receive_buffer=65536) as sock:
                sock.sendall(b"GET /medium.bin HTTP/1.1\r\n\r\n")
                chunks = []
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline:
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    chunks.append(chunk)
                    under_way[index].set()
                    time.sleep(0.02)  # about 3 MiB/s at most
                results[index] = b"".join(chunks)

        readers = [threading.Thread(target=slow_reader, args=(i,), daemon=True) for i in range(4)]
        for reader in readers:
            reader.start()
        for event in under_way:
            self.assertTrue(event.wait(10), "a slow reader's download did not start")
        self.assert_prompt_small_requests(20)
        for reader in readers:
            reader.join(40)
        self.assertEqual(sorted(results), [0, 1, 2, 3])
        for data in results.values():
            self.assertEqual(len(data), len(BIN_HEADER) + MEDIUM_SIZE)
            self.assertTrue(data == BIN_HEADER + MEDIUM, "a slow reader's bytes differ")

    def test_simultaneous_downloads_every_byte_in_bounded_memory(self):
        results = {}

        def download(index):
            with harness.connect(60) as sock:
                sock.sendall(b"GET /medium.bin HTTP/1.1\r\n\r\n")
                results[index] = harness.read_to_close(sock, 60)

        threads = [threading.Thread(target=download, args=(i,), daemon=True) for i in range(32)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(90)
        self.assertEqual(sorted(results), list(range(32)))
        for data in results.values():
            self.assertTrue(data == BIN_HEADER + MEDIUM, "a download's bytes differ")
        if not harness.is_windows():
            # Bodies above the in-memory limit go from the file: 32 of them hold no 8 MiB each.
            self.assertLess(self.server.proc_status("VmHWM"), 64 * 1024)

    def test_a_split_request_line_is_served_as_one(self):
        with harness.connect() as sock:
            sock.sendall(b"GET /sma")
            time.sleep(0.3)
            sock.sendall(b"ll.txt HTTP/1.1\r\nHost: localhost\r\n\r\n")
            self.assertEqual(harness.read_to_close(sock), SMALL_RESPONSE)
        self.assertEqual(self.server.lines_until_sentinel(self.mark),
                         [b"GET /small.txt HTTP/1.1\r"])

    def test_a_line_that_never_ends_is_answered_after_a_short_wait(self):
        with harness.connect() as sock:
            sock.sendall(b"GET /small.txt\r")  # no line feed, and the client stays
            started = time.monotonic()
            self.assertEqual(harness.read_to_close(sock, 5), NOT_FOUND)
            waited = time.monotonic() - started
        self.assertGreater(waited, 0.4)
        self.assertLess(waited, 3)
        self.assertEqual(self.server.lines_until_sentinel(self.mark),
                         [b"GET /small.txt\r", b"NOMATCH"])

    def test_trickling_clients_are_bounded_and_delay_nobody(self):
        tricklers = [self.keep(harness.connect()) for _ in range(8)]
        line = b"GET /small.txt HTTP/1.1\r\n"
        # One byte from each every 100 ms: their requests are handled half a second after their
        # first byte, with what arrived by then.
        answered = set()
        for index in range(20):
            for number, sock in enumerate(tricklers):
                if number in answered:
                    continue
                try:
                    sock.sendall(line[index:index + 1])
                except OSError:
                    answered.add(number)
            started = time.monotonic()
            got, seconds = timed_get()
            self.assertEqual(got, SMALL_RESPONSE)
            self.assertLess(seconds, PROMPT_SECONDS)
            time.sleep(max(0.0, 0.1 - (time.monotonic() - started)))
        for sock in tricklers:
            self.assertEqual(harness.read_to_close(sock, 5), NOT_FOUND)
        lines = self.server.lines_until_sentinel(self.mark)
        self.assertEqual(len([l for l in lines if l == b"NOMATCH"]), len(tricklers))

    def test_the_end_of_a_response_comes_before_the_drain(self):
        # A request larger than the receive limit, whose sender keeps going: the response ends
        # (the server's sending side is shut) at once, and the drain ends within its 2 s bound
        # while small requests are served beside it.
        with harness.connect() as sock:
            sock.sendall(b"GET /small.txt HTTP/1.1\r\n" + b"x" * 70000)
            started = time.monotonic()
            stop = threading.Event()

            def keep_sending():
                while not stop.is_set():
                    try:
                        sock.sendall(b"y" * 4096)
                    except OSError:
                        return
                    time.sleep(0.01)

            sender = threading.Thread(target=keep_sending, daemon=True)
            sender.start()
            try:
                got = b""
                while not got.endswith(SMALL):
                    chunk = sock.recv(65536)
                    self.assertTrue(chunk)
                    got += chunk
                self.assertEqual(got, SMALL_RESPONSE)
                self.assertEqual(sock.recv(65536), b"")  # the end, before the drain is over
                self.assertLess(time.monotonic() - started, 1.0)
                self.assert_prompt_small_requests(5)
                sender.join(6)
                self.assertFalse(sender.is_alive(), "the drain did not end")
                self.assertLess(time.monotonic() - started, 4.0)
            finally:
                stop.set()

    def test_a_file_is_sent_to_its_size_when_opened(self):
        path = os.path.join(self.tree.root, "grows.bin")
        # The small receive buffer keeps most of the file unsent while it grows.
        with paused_download(b"/grows.bin") as sock:
            with open(path, "ab") as f:
                f.write(b"z" * MIB)
            body = harness.read_to_close(sock, 30)
        self.assertEqual(len(body), MEDIUM_SIZE)
        self.assertTrue(body == MEDIUM, "the body differs from the file as it was opened")


if __name__ == "__main__":
    unittest.main()
