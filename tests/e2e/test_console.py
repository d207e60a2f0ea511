"""The console echo of a request's first line: control bytes a client sends are shown as \\xHH,
never passed to the terminal; the lines browsers and curl send are echoed byte for byte."""
import unittest

import harness
from harness import NOT_FOUND, file_response, request

HELLO = file_response(b"text/plain", b"hello\n")

# (request bytes, the echoed line as the console shows it, whether NOMATCH follows (no request
# line found), the response)
CASES = [
    # Retitles and clears a terminal when echoed raw.
    (b"\x1b]0;owned\x07\x1b[2J GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n",
     b"\\x1B]0;owned\\x07\\x1B[2J GET /a.txt HTTP/1.1\r", True, NOT_FOUND),
    # A lone CR mid-line would return the cursor and let the rest overwrite the line.
    (b"GET /a.txt\rOpen your browser to http://elsewhere/ HTTP/1.1\r\n\r\n",
     b"GET /a.txt\\x0DOpen your browser to http://elsewhere/ HTTP/1.1\r", True, NOT_FOUND),
    # Cursor up, erase the line: would rewrite a line printed before.
    (b"\x1b[1A\x1b[2Kbind failed with error: 98\r\n\r\n",
     b"\\x1B[1A\\x1B[2Kbind failed with error: 98\r", True, NOT_FOUND),
    (b"GET /a.txt HTTP/1.1\t\x01\x08\x0b\x0c\x1f\x7f\r\n\r\n",
     b"GET /a.txt HTTP/1.1\\x09\\x01\\x08\\x0B\\x0C\\x1F\\x7F\r", False, HELLO),
    # Only the one CR that ends the line is kept.
    (b"GET /a.txt HTTP/1.1\r\r\n\r\n", b"GET /a.txt HTTP/1.1\\x0D\r", False, HELLO),
    # The lines of browsers and curl, unchanged.
    (b"GET /a.txt HTTP/1.1\r\nHost: localhost:8080\r\nUser-Agent: curl/7.88.1\r\n\r\n",
     b"GET /a.txt HTTP/1.1\r", False, HELLO),
    (b"GET /docs/my%20file.txt HTTP/1.1\r\nHost: localhost:8080\r\n\r\n",
     b"GET /docs/my%20file.txt HTTP/1.1\r", False,
     file_response(b"text/plain", b"mine\n")),
    (b"GET /caf\xc3\xa9.txt HTTP/1.1\r\nHost: localhost:8080\r\n\r\n",
     b"GET /caf\xc3\xa9.txt HTTP/1.1\r", True, NOT_FOUND),
    (b"GET /favicon.ico?v=2 HTTP/1.1\r\nHost: localhost:8080\r\n\r\n",
     b"GET /favicon.ico?v=2 HTTP/1.1\r", True, NOT_FOUND),
    (b"HEAD /a.txt HTTP/1.0\n\n", b"HEAD /a.txt HTTP/1.0", False, HELLO),
]


class Echo(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tree = harness.temporary_tree(cls)
        cls.tree.write("a.txt", b"hello\n")
        cls.tree.write("docs/my file.txt", b"mine\n")
        cls.server = harness.serve(cls, cls.tree.root)

    def test_first_lines_echoed(self):
        # Each case's lines are taken from just after the last line of the case before it, so
        # a console that lags (under wine) cannot mix them up.
        start = self.server.line_count()
        for data, shown, nomatch, response in CASES:
            with self.subTest(data=data):
                self.assertEqual(request(data), response)
                expected = [shown] + ([b"NOMATCH"] if nomatch else [])
                last = self.server.wait_line(expected[-1], 10, start)
                shown_lines, start = self.server.lines_since(start)[:last + 1 - start], last + 1
                self.assertEqual(shown_lines, expected)
        self.assertTrue(self.server.alive())


if __name__ == "__main__":
    unittest.main()
