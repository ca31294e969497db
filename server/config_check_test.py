#!/usr/bin/env python3
"""The configuration check of `pigeonbox --check-config` and `pigeonbox-config check` on a root
made from the shipped template, clean and with one broken value at a time, and the server's
start on such a root.

Usage: config_check_test.py PIGEONBOX PIGEONBOX_CONFIG SOURCE_DIR
"""
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "testutil"))
from odbc_driver import sqlite_odbc_driver  # noqa: E402

PIGEONBOX, CONFIG, SOURCE = sys.argv[1:4]
KVT, APP = "Config/KVTServer.xml", "AppConfig/AppOffMsg.xml"
WAIT = 30


class ConfigCheckTest(unittest.TestCase):
    def setUp(self):
        driver = sqlite_odbc_driver()
        if driver is None:
            raise unittest.SkipTest("the SQLite ODBC driver (libsqliteodbc) is not installed")
        self.root = tempfile.mkdtemp(prefix="pigeonbox-check-") + "/"
        self.addCleanup(shutil.rmtree, self.root, True)
        for d in ("Config", "AppConfig", "Data"):
            os.makedirs(self.root + d)
        with open(SOURCE + "/packaging/root-template/" + KVT, encoding="ascii") as f:
            self.write(KVT, f.read().replace(
                "Driver=SQLite3;Database=@ROOT@Data/users.db",
                "Driver=%s;Database=%sData/users.db;PWD=hunter2" % (driver, self.root)))
        shutil.copy(SOURCE + "/packaging/root-template/" + APP, self.root + APP)
        with open(SOURCE + "/packaging/root-template/Data/users.sql", encoding="utf-8") as f:
            db = sqlite3.connect(self.root + "Data/users.db")
            db.executescript(f.read())
            db.close()
        self.env = dict(os.environ, PIGEONBOX_ROOT=self.root)
        self.env.pop("NOTIFY_SOCKET", None)

    def write(self, name, text):
        with open(self.root + name, "w", encoding="ascii") as f:
            f.write(text)

    def replace(self, name, old, new):
        with open(self.root + name, encoding="ascii") as f:
            text = f.read()
        self.assertIn(old, text)
        self.write(name, text.replace(old, new, 1))

    def check(self):
        """Both forms of the check: (exit code, output), after asserting that they agree."""
        server = subprocess.run([PIGEONBOX, "--check-config"], env=self.env, capture_output=True,
                                text=True, timeout=WAIT)
        tool = subprocess.run([CONFIG, "--root", self.root, "check"], capture_output=True,
                              text=True, timeout=WAIT)
        self.assertEqual((server.returncode, server.stdout), (tool.returncode, tool.stdout))
        return tool.returncode, tool.stdout

    def test_a_clean_root_has_nothing_to_say(self):
        self.assertEqual(self.check(), (0, ""))

    def test_each_broken_value_is_named_with_what_the_server_does(self):
        cases = [
            (APP, None, None, APP + ": file not found; the server does not start"),
            (APP, "<App>", "<App>\n<App>", APP + ":2: not well-formed XML: End tag of App"),
            (APP, 'StoreMaxCount="99"', 'StoreMaxCount="abc"',
             'App/Setting@StoreMaxCount = "abc": not a whole number; read as 0'),
            (APP, 'StoreDisGroupMaxCount="300"', 'StoreDisGroupMaxCount="1200"',
             'App/Setting@StoreDisGroupMaxCount = "1200": above 1000; 300 is used'),
            (APP, 'Mode="daily"', 'Mode="Daily"', 'App/Setting@Mode = "Daily": unknown Mode'),
            (APP, "<Setting ", '<Setting MetricsListen="localhost:9464" ',
             'App/Setting@MetricsListen = "localhost:9464": not a numeric address'),
            (KVT, "</APPServer>", "</APPServr>", KVT + ":16: not well-formed XML"),
            (KVT, "<Pigeonbox GUID", "<PigeonBox GUID",
             KVT + ":23: not well-formed XML: End tag does not correspond to PigeonBox"),
            (KVT, "<TCPPort>8015</TCPPort>", "<TCPPort>18O15</TCPPort>",
             'Pigeonbox/Basic_Setting/TCPPort = "18O15": not a port number; the file transfer '
             "listens on 8015"),
            (KVT, "<TCPPort>8015</TCPPort>", "<TCPPort>99999</TCPPort>",
             'TCPPort = "99999": does not fit 16 bits; the server uses 34463'),
            (KVT, "Data/users.db", "Data/no/such/dir/users.db", "cannot connect"),
        ]
        for name, old, new, expected in cases:
            with self.subTest(new or "no " + name):
                with open(self.root + name, encoding="ascii") as f:
                    clean = f.read()
                try:
                    if old is None:
                        os.remove(self.root + name)
                    else:
                        self.replace(name, old, new)
                    code, out = self.check()
                    self.assertEqual(code, 1, out)
                    self.assertIn(expected, out)
                    self.assertNotIn("hunter2", out)
                finally:
                    self.write(name, clean)

    def test_passwords_are_masked_in_everything_printed(self):
        self.replace(KVT, "Data/users.db", "Data/no/such/dir/users.db")
        code, out = self.check()
        self.assertIn("PWD=****", out)
        shown = subprocess.run([CONFIG, "--root", self.root], capture_output=True, text=True,
                               timeout=WAIT)
        self.assertIn("user database:         Driver=", shown.stdout)
        self.assertIn("PWD=****", shown.stdout)
        self.assertNotIn("hunter2", out + shown.stdout + shown.stderr)

    def test_the_server_logs_the_findings_and_names_what_stops_its_start(self):
        self.replace(KVT, "<TCPPort>8010</TCPPort>", "<TCPPort>80I0</TCPPort>")
        server = subprocess.run([PIGEONBOX], env=self.env, capture_output=True, text=True,
                                timeout=WAIT)
        self.assertEqual(server.returncode, 1)
        with open(self.root + "Logs/Pigeonbox.log", encoding="utf-8") as f:
            log = f.read()
        self.assertIn('configuration: %s%s: APPServer/Basic_Setting/TCPPort = "80I0": not a port '
                      "number" % (self.root, KVT), log)
        self.assertNotIn("hunter2", log)
        # A malformed file is the reason the console gives, not the step it broke.
        self.replace(KVT, "</APPServer>", "</APPServr>")
        server = subprocess.run([PIGEONBOX], env=self.env, capture_output=True, text=True,
                                timeout=WAIT)
        self.assertEqual(server.returncode, 1)
        self.assertIn("the start failed: %s%s:16: not well-formed XML" % (self.root, KVT),
                      server.stderr)
        gone = dict(self.env, PIGEONBOX_ROOT=self.root + "nothere/")
        server = subprocess.run([PIGEONBOX], env=gone, capture_output=True, text=True,
                                timeout=WAIT)
        self.assertEqual(server.returncode, 1)
        self.assertIn("the install root %snothere/ does not exist" % self.root, server.stderr)
        self.assertNotIn("in use", server.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
