#!/usr/bin/env python3
"""End-to-end cases of the Windows build, run under wine64 by wine_checks.sh:

1. The same tree and the same requests give the same response bytes from the Linux build and the
   Windows build, and the same console lines (the Windows console ends its lines in CRLF).
2. The names that only Windows treats specially (a colon, segments of dots and spaces, reserved
   device names) get the 71-byte 404 response, with a canary planted under each such name.
3. The start-up opens the browser once on the local URL (ShellExecuteA, seen through wine's
   browser hook), an idle connection is closed with the Windows time-out code, and a second
   instance reports the taken port and ends with status 1 without waiting on its message box.
4. Names in each ANSI code page: the program with its manifest runs in UTF-8 whatever the
   locale; the same program without it (as Windows before 10 version 1903 runs it) lists and
   serves names in 1252 and in the double-byte 932, and refuses targets that do not convert
   (a trailing lead byte would otherwise be dropped: /..%81 would list the root's parent).

Usage: windows_cases.py --linux LINUX_EXE --locales DIR --system-code-page EXE --server CMD...
       (CMD runs the Windows build; EXE is the same build without its manifest)
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import HINT, NOT_FOUND, PORT  # noqa: E402

WSAETIMEDOUT = 10060
LISTING_HEAD = harness.LISTING_HEAD + b"<h1>Listing "
CANARY = b"CANARY: this file must never be served"


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_tree(base):
    """The tree served by both builds; its names are valid on both systems."""
    root = os.path.join(base, "tree")
    write(os.path.join(base, "secret.txt"), CANARY)  # beside the root, never inside it
    write(os.path.join(root, "a.txt"), b"hello\n")
    write(os.path.join(root, "empty.txt"), b"")
    write(os.path.join(root, "bin.dat"), bytes(range(256)) * 3 + b"\r\n\x1a\xff\x00\r\n")
    write(os.path.join(root, "IMG.PNG"), b"\x89PNG\r\n\x1a\n" + bytes(40))
    write(os.path.join(root, ".hidden"), b"dot-names are served, not listed\n")
    # Over the in-memory limit: sent from the file in pieces after the header lines.
    pattern = bytes((i * 7) & 0xFF for i in range(4093))
    write(os.path.join(root, "big.bin"), (pattern * (3 * 1024 * 1024 // len(pattern) + 1))[:3 << 20])
    write(os.path.join(root, "docs", "b.html"), b"<p>b</p>\n")
    write(os.path.join(root, "docs", "c.css"), b"p{}\n")
    write(os.path.join(root, "docs", "page.JSON"), b"{}\n")
    write(os.path.join(root, "docs", "a&b#c.txt"), b"amp\n")
    write(os.path.join(root, "docs", "semi;comma,eq=+.txt"), b"x\n")
    write(os.path.join(root, "docs", "it's 100%.txt"), b"y\n")
    write(os.path.join(root, "my docs", "note.txt"), b"note\n")
    os.makedirs(os.path.join(root, "emptydir"))
    # Names beyond ASCII (UTF-8 on disk) and names whose order tells the rule apart from others.
    for name in ["caf\u00e9.txt", "\u65e5\u672c\u8a9e.txt", "emoji \U0001F389.txt", "B.txt",
                 "_under.txt", "zed.txt", "Zebra.txt", "[x].txt"]:
        write(os.path.join(root, name), name.encode("utf-8") + b"\n")
    write(os.path.join(root, "donn\u00e9es", "r\u00e9sum\u00e9.txt"), b"cv\n")
    return root


def make_reserved_tree(base):
    """A tree whose canaries carry the names that only Windows treats specially."""
    root = os.path.join(base, "reserved")
    write(os.path.join(base, "secret.txt"), CANARY)
    write(os.path.join(root, "ok.txt"), b"fine\n")
    for name in ["CON", "nul.txt", "COM1", "com1.log", "LPT9.txt", "PRN", "aux.html",
                 "CONIN$", "conout$.txt", "CLOCK$",
                 os.path.join("docs", "aux.html"), os.path.join("docs", "x.txt"), "a:b.txt"]:
        write(os.path.join(root, name), CANARY)
    return root


# Requests whose responses and console lines must be the same from both builds.
SAME_BYTES_REQUESTS = [
    b"GET / HTTP/1.1\r\nHost: localhost:8080\r\n\r\n",
    b"GET /a.txt HTTP/1.1\r\n\r\n",
    b"GET /empty.txt HTTP/1.1\r\n\r\n",
    b"GET /bin.dat HTTP/1.1\r\n\r\n",
    b"GET /IMG.PNG HTTP/1.1\r\n\r\n",
    b"GET /big.bin HTTP/1.1\r\n\r\n",
    b"GET /.hidden HTTP/1.1\r\n\r\n",
    b"GET /docs HTTP/1.1\r\n\r\n",
    b"GET /docs/ HTTP/1.1\r\n\r\n",
    b"GET /docs// HTTP/1.1\r\n\r\n",
    b"GET /docs/b.html HTTP/1.1\r\n\r\n",
    b"GET /docs/c.css HTTP/1.1\r\n\r\n",
    b"GET /docs/page.JSON HTTP/1.1\r\n\r\n",
    b"GET /docs/a%26b%23c.txt HTTP/1.1\r\n\r\n",
    b"GET /my%20docs/ HTTP/1.1\r\n\r\n",
    b"GET /my%20docs/note.txt HTTP/1.1\r\n\r\n",
    b"GET /emptydir/ HTTP/1.1\r\n\r\n",
    b"GET /donn%C3%A9es/ HTTP/1.1\r\n\r\n",
    b"GET /donn%C3%A9es/r%C3%A9sum%C3%A9.txt HTTP/1.1\r\n\r\n",
    b"GET /caf%C3%A9.txt HTTP/1.1\r\n\r\n",
    b"GET /%E6%97%A5%E6%9C%AC%E8%AA%9E.txt HTTP/1.1\r\n\r\n",
    b"GET /emoji%20%F0%9F%8E%89.txt HTTP/1.1\r\n\r\n",
    b"GET /missing HTTP/1.1\r\n\r\n",
    b"GET /docs/missing.txt HTTP/1.1\r\n\r\n",
    b"GET /../secret.txt HTTP/1.1\r\n\r\n",
    b"GET /..%2Fsecret.txt HTTP/1.1\r\n\r\n",
    b"GET /%2e%2e/secret.txt HTTP/1.1\r\n\r\n",
    b"GET /..%5Csecret.txt HTTP/1.1\r\n\r\n",
    b"GET /a.txt%00.html HTTP/1.1\r\n\r\n",
    b"GET abc HTTP/1.1\r\n\r\n",
    b"HEAD /a.txt HTTP/1.0\r\n\r\n",
    b"POST /a.txt HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody",
    b"GET /a.txt HTTP/1.1\n\n",
    b"no request line here\r\n\r\n",
    b"GET /a.txt\x00 HTTP/1.1\r\n\r\n",
]

# Request paths that name something only through Windows' own name rules.
WINDOWS_ONLY_PATHS = [
    # a colon: drive letters and alternate data streams
    b"/a%3Ab.txt", b"/C%3A/Windows/win.ini", b"/ok.txt%3A%3A%24DATA", b"/docs%3A",
    b"/Z%3A/etc/hostname",
    # segments of two or more dots and spaces, which Windows reads as ".." or "."
    b"/.../secret.txt", b"/..%20/secret.txt", b"/.%20./secret.txt", b"/%2E%2E%2E/secret.txt",
    b"/docs/..../x.txt", b"/..%2E/secret.txt", b"/docs/.%20/x.txt",
    # reserved device names, in every directory, any case, with or without an extension
    b"/CON", b"/con", b"/nul.txt", b"/NUL", b"/COM1", b"/com1.log", b"/LPT9.txt", b"/PRN",
    b"/aux.html", b"/docs/aux.html", b"/Con%20.txt", b"/NUL/x.txt", b"/docs/CoM3", b"/COM%B9",
    # the console and clock devices (CONIN$ would open the console: 200 and an empty body)
    b"/CONIN%24", b"/conout%24.txt", b"/CLOCK%24", b"/CONOUT%24", b"/docs/conin%24",
    # bytes that are not UTF-8, the code page the manifest asks for
    b"/NUL%81", b"/..%81/secret.txt", b"/ok.txt%FF",
]


def run_requests(command, cwd, windows, requests, env_extra=None):
    """Serves `cwd` with `command` for `requests`, one connection each: the console's start-up
    lines, the responses, and the console lines after the start-up."""
    server = harness.Server(cwd, command_words=command, windows=windows, env_extra=env_extra)
    try:
        responses = [harness.request(raw, 30) for raw in requests]
    finally:
        server.stop()
    start = server.lines.index(HINT) + 2
    return server.lines[:start], responses, server.lines[start:]


class Results:
    def __init__(self):
        self.failures = 0
        self.passes = 0

    def check(self, ok, what, detail=""):
        if ok:
            self.passes += 1
        else:
            self.failures += 1
            print("FAIL: %s %s" % (what, detail))


def show(data, limit=160):
    return repr(data[:limit]) + ("... (%d bytes)" % len(data) if len(data) > limit else "")


def check_same_bytes(results, linux, windows, base):
    root = make_tree(base)
    lin_start, lin_responses, lin_console = run_requests([linux], root, False, SAME_BYTES_REQUESTS)
    log = os.path.join(base, "browser.log")
    win_start, win_responses, win_console = run_requests(
        windows, root, True, SAME_BYTES_REQUESTS, {"DIRHTTP_BROWSER_LOG": log})
    results.check(lin_start == win_start == [b"", HINT, b""], "start-up hint",
                  "linux %r windows %r" % (lin_start, win_start))
    for raw, lin, win in zip(SAME_BYTES_REQUESTS, lin_responses, win_responses):
        # Listings too: both builds deliver a directory's entries in the same (NTFS) order.
        results.check(lin == win, "same response for %r" % raw[:40],
                      "\n  linux   %s\n  windows %s" % (show(lin), show(win)))
    results.check(b"CANARY" not in b"".join(win_responses), "no canary served")
    results.check(lin_console == win_console, "same console lines",
                  "\n  linux   %r\n  windows %r" % (lin_console, win_console))

    # ShellExecuteA hands the URL to wine's browser hook, which the prefix points at a recorder.
    deadline = time.monotonic() + 15
    opened = b""
    while time.monotonic() < deadline:
        if os.path.exists(log):
            with open(log, "rb") as f:
                opened = f.read()
            if opened:
                break
        time.sleep(0.2)
    results.check(opened == b"http://localhost:8080/\n", "browser opened once on the local URL",
                  repr(opened))


def check_windows_only(results, windows, base):
    root = make_reserved_tree(base)
    requests = [b"GET " + path + b" HTTP/1.1\r\n\r\n" for path in WINDOWS_ONLY_PATHS]
    requests.append(b"GET /ok.txt HTTP/1.1\r\n\r\n")
    server = harness.Server(root, command_words=windows, windows=True)
    try:
        for path, raw in zip(WINDOWS_ONLY_PATHS, requests):
            got = harness.request(raw, 30)
            results.check(got == NOT_FOUND, "71-byte 404 for %r" % path, show(got))
        got = harness.request(requests[-1], 30)
        results.check(got == b"HTTP/1.1 200 OK\nContent-Type: text/plain\n\nfine\n",
                      "a plain file beside the reserved names", show(got))

        # A connection that sends nothing is closed after the idle bound, with WSAETIMEDOUT.
        started = time.monotonic()
        with socket.create_connection(("127.0.0.1", PORT), timeout=30) as idle:
            closed_with = idle.recv(16)
        waited = time.monotonic() - started
        results.check(closed_with == b"" and 3.0 < waited < 15.0, "idle connection closed",
                      "after %.1f s with %r" % (waited, closed_with))

        # A second instance: the bind line, status 1, and no wait on the message box.
        started = time.monotonic()
        try:
            second = subprocess.run(windows, cwd=root, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    timeout=60)
            out, status = second.stdout, second.returncode
        except subprocess.TimeoutExpired as expired:
            out, status = expired.stdout or b"", "still running after 60 s"
        lines = out.replace(b"\r\n", b"\n").split(b"\n")
        results.check(status == 1 and len(lines) == 2 and lines[1] == b""
                      and lines[0].startswith(b"bind failed with error: ")
                      and lines[0][24:].isdigit(),
                      "second instance", "status %r, console %r, %.1f s"
                      % (status, out, time.monotonic() - started))
    finally:
        server.stop()
    console = server.lines[server.lines.index(HINT) + 2:]
    expected = [(b"GET " + p + b" HTTP/1.1") for p in WINDOWS_ONLY_PATHS]
    expected += [b"GET /ok.txt HTTP/1.1", b"recv failed: %d" % WSAETIMEDOUT]
    # The console shows each request line with the CR that the request carried.
    results.check(console == [e + b"\r" if e.startswith(b"GET") else e for e in expected],
                  "console of the Windows-only cases", repr(console))


def listing_item(href, text):
    return b'<li><a href="' + href + b'">' + text + b"</a></li>"


JAPANESE_TEXT = b"&#26085;&#26412;&#35486;.txt"  # the characters of the name, in any code page

# (what, manifest or not, locale, [(request path, ("is", file body) or ("holds", list items)
# or (.., None) for the 404)])
CODE_PAGE_CASES = [
    ("the manifest's UTF-8 code page in a double-byte locale", True, "ja_JP.UTF-8", [
        (b"/", ("holds", [listing_item(b"/caf%C3%A9.txt", b"caf&#233;.txt"),
                          listing_item(b"/%E6%97%A5%E6%9C%AC%E8%AA%9E.txt", JAPANESE_TEXT)])),
        (b"/%E6%97%A5%E6%9C%AC%E8%AA%9E.txt", ("is", b"nihongo\n")),
        (b"/caf%C3%A9.txt", ("is", b"cafe\n")),
        (b"/caf%E9.txt", ("is", None)),
        (b"/..%81", ("is", None)),
        (b"/NUL%81", ("is", None)),
    ]),
    ("no manifest, code page 1252", False, "en_US.UTF-8", [
        (b"/", ("holds", [listing_item(b"/caf%E9.txt", b"caf&#233;.txt")])),
        (b"/caf%E9.txt", ("is", b"cafe\n")),
        (b"/caf%81.txt", ("is", None)),  # 0x81 is no character of 1252 either
    ]),
    ("no manifest, double-byte code page 932", False, "ja_JP.UTF-8", [
        (b"/", ("holds", [listing_item(b"/%93%FA%96%7B%8C%EA.txt", JAPANESE_TEXT)])),
        (b"/%93%FA%96%7B%8C%EA.txt", ("is", b"nihongo\n")),
        # A trailing lead byte: dropped by the conversion, it would make "..", "NUL", "COM1".
        (b"/..%81", ("is", None)),
        (b"/..%81/secret.txt", ("is", None)),
        (b"/docs/..%81", ("is", None)),
        (b"/docs/..%81/..%81/secret.txt", ("is", None)),
        (b"/NUL%81", ("is", None)),
        (b"/COM1%81", ("is", None)),
        (b"/nul%81.txt", ("is", None)),
    ]),
]


def check_code_pages(results, windows, system_code_page, locales, base):
    root = os.path.join(base, "names")
    write(os.path.join(base, "secret.txt"), CANARY)
    write(os.path.join(root, "caf\u00e9.txt"), b"cafe\n")
    write(os.path.join(root, "\u65e5\u672c\u8a9e.txt"), b"nihongo\n")
    write(os.path.join(root, "docs", "ok.txt"), b"ok\n")
    for what, manifest, locale, cases in CODE_PAGE_CASES:
        command = windows if manifest else windows[:-1] + [system_code_page]
        requests = [b"GET " + path + b" HTTP/1.1\r\n\r\n" for path, _ in cases]
        _, responses, _ = run_requests(command, root, True, requests,
                                       {"LOCPATH": locales, "LC_ALL": locale})
        for (path, (how, want)), got in zip(cases, responses):
            if want is None:
                ok = got == NOT_FOUND
            elif how == "is":
                ok = got == b"HTTP/1.1 200 OK\nContent-Type: text/plain\n\n" + want
            else:
                ok = got.startswith(LISTING_HEAD) and all(item in got for item in want)
            results.check(ok and b"CANARY" not in got, "%s: %r" % (what, path), show(got, 400))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--linux", required=True, help="the Linux build of dirhttp")
    parser.add_argument("--locales", required=True, help="where en_US.UTF-8 and ja_JP.UTF-8 are")
    parser.add_argument("--system-code-page", required=True,
                        help="the Windows build without its manifest")
    parser.add_argument("--server", nargs=argparse.REMAINDER, required=True,
                        help="the command that runs the Windows build")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # servers stopped on the way out
    harness.configure(args.server)
    results = Results()
    started = time.monotonic()
    with harness.PortLock(600):
        with tempfile.TemporaryDirectory(prefix="dirhttp-win-") as base:
            check_same_bytes(results, os.path.realpath(args.linux), args.server, base)
            check_windows_only(results, args.server, base)
            check_code_pages(results, args.server, os.path.realpath(args.system_code_page),
                             os.path.realpath(args.locales), base)
    print("windows_cases: %d passed, %d failed in %.0f s"
          % (results.passes, results.failures, time.monotonic() - started))
    return 1 if results.failures else 0


if __name__ == "__main__":
    sys.exit(main())
