#!/usr/bin/env python3
"""The command line of every executable, run for real on an empty install root.

--help and --version answer on stdout with exit 0; an unknown option, a missing value and a
stray word are refused with the usage on stderr and exit 2. None of these starts anything: the
root stays empty (a server or tool that went on would create its log, store or key file there)
and every run ends at once.

usage: command_line_test.py VERSION EXECUTABLE...
"""
import os
import subprocess
import sys
import tempfile
import unittest

VERSION = sys.argv[1]
EXECUTABLES = {os.path.basename(path): path for path in sys.argv[2:]}

# Per executable: an option that takes a value (None: it has none), and a line that would
# otherwise be complete, so that the stray word is the only fault.
OPTIONS = {
    "pigeonbox": (None, ["-Service"]),
    "pigeonbox-config": ("--root", []),
    "pigeonbox-admin": ("--root", ["stats"]),
    "pigeonbox-appserver": ("--listen", ["--listen", "127.0.0.1:0"]),
    "pigeonbox-confcentre": ("--events", ["--listen", "127.0.0.1:0"]),
    "pigeonbox-cli": ("--server", ["--user", "u", "request", "GET_OFFMSG_SUM"]),
    "pigeonbox-ticket": ("--ticket-id", ["--ticket-id", "1", "--user-id", "2"]),
}


class CommandLineTest(unittest.TestCase):
    def run_tool(self, name, words):
        with tempfile.TemporaryDirectory() as root:
            env = dict(os.environ, PIGEONBOX_ROOT=root + "/", PIGEONBOX_UNIT_DIR=root + "/units")
            run = subprocess.run([EXECUTABLES[name]] + words, env=env, capture_output=True,
                                 text=True, timeout=10, cwd=root)
            self.assertEqual(os.listdir(root), [], f"{name} {words} started something")
        return run

    def test_every_executable(self):
        self.assertEqual(sorted(EXECUTABLES), sorted(OPTIONS))
        for name, (valued, complete) in OPTIONS.items():
            with self.subTest(name=name):
                run = self.run_tool(name, ["--help"])
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertIn("Usage: " + name, run.stdout)
                self.assertIn("--version", run.stdout)
                self.assertEqual(run.stderr, "")

                run = self.run_tool(name, ["--version"])
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(run.stdout, f"{name} {VERSION}\n")

                faults = [["--no-such-option"], complete + ["stray"]]
                if valued:
                    faults.append([valued])
                for words in faults:
                    run = self.run_tool(name, words)
                    self.assertEqual(run.returncode, 2, f"{words}: {run.stderr}")
                    self.assertTrue(run.stderr.startswith(name + ": "), f"{words}: {run.stderr}")
                    self.assertIn("Usage: " + name, run.stderr, words)

    def test_verbs_answer_help_and_show_their_usage_on_a_mistake(self):
        for name, words in [("pigeonbox-admin", ["count"]), ("pigeonbox-cli", ["send"]),
                            ("pigeonbox-ticket", ["authenticator"])]:
            with self.subTest(name=name):
                run = self.run_tool(name, words + ["--help"])
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertIn(f"Usage: {name} {words[0]}", run.stdout)
                run = self.run_tool(name, words + ["--bogus"])
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn(f"Usage: {name} {words[0]}", run.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
