"""The command line: --help, -h (and /? on Windows) and --version are answered on standard output
with status 0 without opening a socket; any other argument gets one line on standard error and
status 1, and neither the port nor the browser is touched."""
import os
import re
import subprocess
import time
import unittest

import harness

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
USAGE = b"Usage: dirhttp [--help | --version]"
REFUSED_TAIL = b": it serves the directory it is started in (see dirhttp --help)"


def project_version():
    """The version in the project's CMakeLists.txt: the one place it is set."""
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(dirhttp VERSION (\d+\.\d+\.\d+)", f.read()).group(1).encode()


def license_copyright():
    with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
        return next(line.strip() for line in f if line.startswith(b"Copyright"))


def run(root, args, env_extra=None):
    """Runs the program with `args` in `root` to its end: its status, stdout lines, stderr lines.
    A program that serves instead of answering fails the test (and is stopped)."""
    server = harness.Server(root, wait_ready=False, env_extra=env_extra, args=args)
    try:
        status = server.process.wait(timeout=harness.startup_seconds())
    except subprocess.TimeoutExpired:
        server.stop()
        raise AssertionError("%r did not end: it served; console: %r" % (args, server.lines))
    server.stop()
    errors = [line.rstrip(b"\r") for line in server.stderr.split(b"\n") if line.strip()]
    return status, server.lines, errors


class Answered(unittest.TestCase):
    """Help and version while another instance holds port 8080: a build that ignored them would
    try to serve and print its bind failure."""

    @classmethod
    def setUpClass(cls):
        cls.tree = harness.temporary_tree(cls)
        cls.holder = harness.serve(cls, cls.tree.root)

    def tearDown(self):
        self.assertTrue(self.holder.alive(), "the instance holding the port died")

    def test_help(self):
        switches = [["--help"], ["-h"]] + ([["/?"]] if harness.is_windows() else [])
        for args in switches:
            with self.subTest(args=args):
                status, lines, errors = run(self.tree.root, args)
                self.assertEqual((status, errors), (0, []), lines)
                self.assertEqual(lines[0], USAGE)
                text = b"\n".join(lines)
                for part in (b"current directory", b"port 8080", b"--version", b"Ctrl+C"):
                    self.assertIn(part, text)
                self.assertEqual(b"/?" in text, harness.is_windows())
                self.assertIn(b"README.txt" if harness.is_windows() else b"man dirhttp", text)
                self.assertFalse([l for l in lines if l.startswith(b"bind failed")])

    def test_version(self):
        status, lines, errors = run(self.tree.root, ["--version"])
        self.assertEqual((status, errors), (0, []), lines)
        self.assertEqual(lines[0], b"dirhttp " + project_version())
        self.assertEqual(lines[1], license_copyright())

    def test_short_and_long_help_are_the_same(self):
        self.assertEqual(run(self.tree.root, ["-h"]), run(self.tree.root, ["--help"]))


class Refused(unittest.TestCase):
    """Other arguments with port 8080 free and a desktop session: a build that served anyway
    would not end, or would print its start-up hint and start the browser opener."""

    def setUp(self):
        self.tree = harness.temporary_tree(self)
        self.tree.mkdir("Pictures")
        lock = harness.PortLock().__enter__()
        self.addCleanup(lock.__exit__, None, None, None)
        self.opened = os.path.join(self.tree.base, "opened.txt")
        if harness.is_windows():
            # wine's browser hook (set up by wine_checks.sh) records the URL here.
            self.env = {"DIRHTTP_BROWSER_LOG": self.opened}
        else:
            bin_dir = os.path.join(self.tree.base, "bin")
            os.mkdir(bin_dir)
            opener = os.path.join(bin_dir, "xdg-open")
            with open(opener, "w") as f:
                f.write('#!/bin/sh\necho "$@" >> %s\n' % self.opened)
            os.chmod(opener, 0o755)
            self.env = {"DISPLAY": ":97", "PATH": bin_dir + os.pathsep + os.environ["PATH"]}

    def test_refused_with_one_line_on_standard_error(self):
        cases = [
            (["Pictures"], b"dirhttp: unexpected argument 'Pictures'" + REFUSED_TAIL),
            ([self.tree.root], b"dirhttp: unexpected argument '%s'" % self.tree.root.encode()
             + REFUSED_TAIL),
            (["--port=9000"], b"dirhttp: unknown option '--port=9000' (see dirhttp --help)"),
            (["-v"], b"dirhttp: unknown option '-v' (see dirhttp --help)"),
            (["--help", "Pictures"], b"dirhttp: unexpected argument 'Pictures'" + REFUSED_TAIL),
            (["--version", "-h"], b"dirhttp: unknown option '-h' (see dirhttp --help)"),
        ]
        if harness.is_windows():
            cases[1] = (["Z:" + self.tree.root.replace("/", "\\")],
                        b"dirhttp: unexpected argument 'Z:%s'"
                        % self.tree.root.replace("/", "\\").encode() + REFUSED_TAIL)
        else:
            cases += [
                (["/?"], b"dirhttp: unexpected argument '/?'" + REFUSED_TAIL),
                # A name is shown, never obeyed: an escape sequence in it is written out.
                (["\x1b]0;owned\x07\x1b[2J"],
                 b"dirhttp: unexpected argument '\\x1B]0;owned\\x07\\x1B[2J'" + REFUSED_TAIL),
            ]
        for args, line in cases:
            with self.subTest(args=args):
                status, lines, errors = run(self.tree.root, args, self.env)
                self.assertEqual((status, lines), (1, []))
                self.assertEqual(errors, [line])
                self.assertFalse(harness.port_listening())
        self.assertFalse(os.path.exists(self.opened), "the browser opener was started")

    @harness.native_only("the desktop session is faked for the Linux opener only")
    def test_the_faked_desktop_would_show_an_opened_browser(self):
        # The refusals' check is only worth something if a served start is seen here.
        harness.serve(self, self.tree.root, env_extra=self.env)
        for _ in range(200):
            if os.path.exists(self.opened):
                break
            time.sleep(0.05)
        self.assertTrue(os.path.exists(self.opened))


if __name__ == "__main__":
    unittest.main()
