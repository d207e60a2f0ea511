"""The harness's promise that no server outlives its test: a server that never gets ready is
stopped, a test class whose set-up fails stops the server it started, and a runner killed
outright (as a time-out kills it) takes its servers with it; and the descriptor checks wait for
the idle figure without waiting a held descriptor away. Run against the native build only
(CTest's e2e_harness); it checks the harness, not the program.

  tests/e2e/run.py --suite harness_test.py --server build/debug/dirhttp"""
import os
import signal
import subprocess
import sys
import time
import unittest

import harness

HERE = os.path.dirname(os.path.abspath(__file__))


def gone(pid, seconds=10):
    """Whether process `pid` has ended (or is a zombie) within `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)


class NoServerOutlivesItsTest(unittest.TestCase):

    def test_a_server_that_never_gets_ready_is_stopped(self):
        # Prints the start-up hint but never listens.
        tree = harness.temporary_tree(self)
        script = "echo; echo 'Open your browser to http://localhost:8080/'; exec sleep 600"
        with harness.PortLock():
            server = None
            original = harness.Server.stop

            def remember(self_):
                nonlocal server
                server = self_
                original(self_)
            harness.Server.stop = remember
            try:
                with self.assertRaises(TimeoutError):
                    harness.Server(tree.root, command_words=["sh", "-c", script])
            finally:
                harness.Server.stop = original
        self.assertIsNotNone(server, "the server that failed to start was not stopped")
        self.assertTrue(gone(server.pid, 0))

    def test_a_failed_class_set_up_stops_its_server(self):
        started = []

        class FailingSetUp(unittest.TestCase):
            @classmethod
            def setUpClass(cls):
                tree = harness.temporary_tree(cls)
                started.append(harness.serve(cls, tree.root))
                raise RuntimeError("set-up failed after the server started")

            def test_nothing(self):
                pass

        result = unittest.TestResult()
        unittest.TestSuite([FailingSetUp("test_nothing")]).run(result)
        self.assertEqual(len(result.errors), 1)
        self.assertEqual(len(started), 1)
        self.assertTrue(gone(started[0].pid, 0), "the class's server is still running")
        self.assertFalse(harness.port_listening())

    def test_a_killed_runner_takes_its_server_with_it(self):
        tree = harness.temporary_tree(self)
        runner = subprocess.Popen(
            [sys.executable, "-c",
             "import sys, time; sys.path.insert(0, %r); import harness; "
             "harness.configure(%r); server = harness.Server(%r); "
             "print(server.pid, flush=True); time.sleep(600)"
             % (HERE, harness.command(), tree.root)],
            stdout=subprocess.PIPE)
        try:
            with harness.PortLock():
                pid = int(runner.stdout.readline())
                self.assertFalse(gone(pid, 0))
                runner.send_signal(signal.SIGKILL)
                runner.wait(10)
                self.assertTrue(gone(pid), "the server outlived its killed runner")
        finally:
            runner.kill()
            runner.wait()
            runner.stdout.close()


class WaitsForTheIdleFigure(unittest.TestCase):
    """The descriptor checks wait for the count to come back, and a descriptor that stays (a
    leak) still fails them."""

    @classmethod
    def setUpClass(cls):
        cls.tree = harness.temporary_tree(cls)
        cls.tree.write("a.txt", b"hello\n")
        cls.server = harness.serve(cls, cls.tree.root)

    def test_a_connection_that_stays_open_is_never_waited_away(self):
        idle = self.server.idle_fd_count()
        with harness.connect() as held:
            harness.wait_accepted()
            self.server.wait_connections(1)
            with self.assertRaisesRegex(AssertionError, "descriptors not back to %d" % idle):
                self.server.wait_fd_count(idle, seconds=1)
            with self.assertRaisesRegex(AssertionError, "holds 1 connections, not 0"):
                self.server.idle_fd_count(seconds=1)
        self.assertEqual(self.server.wait_fd_count(idle), idle)

    def test_closes_are_waited_for_after_a_burst_of_connections(self):
        idle = self.server.idle_fd_count()
        for _ in range(50):
            self.assertEqual(harness.get(b"/a.txt"),
                             harness.file_response(b"text/plain", b"hello\n"))
            harness.reset(harness.connect())
        self.assertEqual(self.server.wait_fd_count(idle), idle)
        self.server.wait_connections(0)


if __name__ == "__main__":
    unittest.main()
