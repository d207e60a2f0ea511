"""End-to-end behaviour of names: listings show each name as its characters whatever its script,
in the order NTFS keeps, with links that fetch the file by its bytes; names and document roots
that the backslash separator would misread are left out or refused."""
import os
import random
import subprocess
import unittest

import harness
from harness import NOT_FOUND, file_response, get, listing_items

LISTING_HEAD = harness.LISTING_HEAD

# Name (UTF-8), the link's path, the link's text.
SCRIPTS = [
    ("caf\u00e9.txt", b"/scripts/caf%C3%A9.txt", b"caf&#233;.txt"),
    ("emoji \U0001F389.txt", b"/scripts/emoji%20%F0%9F%8E%89.txt", b"emoji &#127881;.txt"),
    ("na\u00efve r\u00e9sum\u00e9 & co.txt", b"/scripts/na%C3%AFve%20r%C3%A9sum%C3%A9%20%26%20co.txt",
     b"na&#239;ve r&#233;sum&#233; &amp; co.txt"),
    ("\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac.txt",
     b"/scripts/%CE%95%CE%BB%CE%BB%CE%B7%CE%BD%CE%B9%CE%BA%CE%AC.txt",
     b"&#917;&#955;&#955;&#951;&#957;&#953;&#954;&#940;.txt"),
    ("\u65e5\u672c\u8a9e.txt", b"/scripts/%E6%97%A5%E6%9C%AC%E8%AA%9E.txt",
     b"&#26085;&#26412;&#35486;.txt"),
]

# Names in the order the listing must give them, whatever order they were made in.
IN_ORDER = ["-draft.txt", "0.txt", "10.txt", "9.txt", "a.txt", "B.txt", "b2.txt", "IMG_0001.JPG",
            "img_0002.jpg", "IMG_0010.JPG", "Zoo", "_notes.txt", "~backup.txt",
            "\u00c9t\u00e9.txt", "\u00e9t\u00e9.txt"]


def fixture(owner):
    tree = harness.temporary_tree(owner)
    for name, _, _ in SCRIPTS:
        tree.write(os.path.join("scripts", name), name.encode("utf-8"))
    tree.write("donn\u00e9es/x.txt", b"x")
    shuffled = list(IN_ORDER)
    random.Random(13).shuffle(shuffled)
    for name in shuffled:
        tree.write(os.path.join("order", name), b"")
    tree.write("ascii/plain.txt", b"")
    tree.write("ascii/it's & <that>.txt", b"")
    return tree


class Names(unittest.TestCase):
    """Cases that share one server."""

    @classmethod
    def setUpClass(cls):
        cls.tree = fixture(cls)
        cls.server = harness.serve(cls, cls.tree.root)

    def tearDown(self):
        self.assertTrue(self.server.alive(), "the server died")

    def test_names_in_several_scripts_show_their_characters(self):
        page = get(b"/scripts/")
        self.assertTrue(page.startswith(LISTING_HEAD + b"<h1>Listing /scripts/</h1><ul>"), page)
        expected = [(href, text) for _, href, text in SCRIPTS]
        self.assertEqual(listing_items(page), expected)
        for (name, href, _) in SCRIPTS:
            self.assertEqual(get(href), file_response(b"text/plain", name.encode("utf-8")), name)

    def test_non_ascii_heading_shows_its_characters(self):
        self.assertEqual(get(b"/donn%C3%A9es/"),
                         LISTING_HEAD + b'<h1>Listing /donn&#233;es/</h1><ul><li><a href="'
                         b'/donn%C3%A9es/x.txt">x.txt</a></li></ul>')

    def test_listing_comes_in_name_order(self):
        items = listing_items(get(b"/order"))
        self.assertEqual([text for _, text in items],
                         [name.encode("ascii", "xmlcharrefreplace") for name in IN_ORDER])

    def test_ascii_page_is_unchanged(self):
        self.assertEqual(get(b"/ascii/"),
                         LISTING_HEAD + b'<h1>Listing /ascii/</h1><ul>'
                         b'<li><a href="/ascii/it%27s%20%26%20%3Cthat%3E.txt">'
                         b"it&#39;s &amp; &lt;that&gt;.txt</a></li>"
                         b'<li><a href="/ascii/plain.txt">plain.txt</a></li></ul>')


class PosixNames(unittest.TestCase):
    """Names that only a POSIX file system holds: bytes that are not UTF-8, a backslash."""

    @harness.native_only("a Linux file name that Windows cannot hold")
    def test_name_that_is_not_utf8_shows_a_replacement_and_still_opens(self):
        self.run_listing([b"caf\xe9-latin1.txt", b"plain.txt"],
                         [(b"/caf%E9-latin1.txt", b"caf&#65533;-latin1.txt"),
                          (b"/plain.txt", b"plain.txt")])

    @harness.native_only("a Linux file name that Windows cannot hold")
    def test_name_holding_a_backslash_is_not_listed(self):
        self.run_listing([b"a\\b.txt", b"\\", b"c.txt"], [(b"/c.txt", b"c.txt")])

    def run_listing(self, names, expected_items):
        tree = harness.temporary_tree(self)
        for name in names:
            with open(os.path.join(tree.root.encode(), name), "wb") as f:
                f.write(b"bytes of " + name)
        harness.serve(self, tree.root)
        self.assertEqual(listing_items(get(b"/")), expected_items)
        for href, _ in expected_items:
            name = os.path.basename(href.replace(b"%E9", b"\xe9"))
            self.assertEqual(get(href), file_response(b"text/plain", b"bytes of " + name))


# Directories the server must refuse to start in: the program reads each backslash as a
# separator, so a\..\..\..\.. would have it serve the file system's root.
BACKSLASH_ROOTS = ["a\\..\\..\\..\\..\\..\\..\\..\\..", "back\\slash"]
REFUSAL = (b"Cannot serve this directory: its path holds a backslash, which dirhttp reads as a "
           b"separator")


class BackslashRoot(unittest.TestCase):

    @harness.native_only("a Linux directory name that Windows cannot hold")
    def test_start_in_a_directory_holding_a_backslash_is_refused(self):
        tree = harness.Tree()
        try:
            for name in BACKSLASH_ROOTS:
                with self.subTest(name=name):
                    directory = os.path.join(tree.root, name)
                    os.makedirs(os.path.join(directory, "inside"))
                    with harness.PortLock():
                        try:
                            done = subprocess.run(harness.command(), cwd=directory,
                                                  env=harness.server_environment(),
                                                  stdin=subprocess.DEVNULL,
                                                  capture_output=True, timeout=10)
                        except subprocess.TimeoutExpired:
                            self.fail("the server started in %r" % name)
                    self.assertEqual((done.returncode, done.stdout), (1, REFUSAL + b"\n"))
        finally:
            tree.cleanup()


if __name__ == "__main__":
    unittest.main()
