#!/usr/bin/env python3
"""The install root that `cmake --install` lays out, and the Debian package that CPack builds:
its files, conffiles, unit and user-creating postinst; `systemd-analyze verify` on the unit where
it can run.

Usage: package_test.py BUILD_DIR PACKAGE_ROOT PROGRAM...
"""
import glob
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

BUILD, ROOT = sys.argv[1], sys.argv[2].rstrip("/")
PROGRAMS = sys.argv[3:]
WRITABLE = ["OffMsg", "Logs"]


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs).stdout


class InstallRootTest(unittest.TestCase):
    def test_cmake_install_lays_out_a_root_with_the_templates_and_nothing_outside_it(self):
        prefix = tempfile.mkdtemp(prefix="pigeonbox-install-")
        self.addCleanup(shutil.rmtree, prefix, True)
        run("cmake", "--install", BUILD, "--prefix", prefix)
        for program in PROGRAMS:
            self.assertTrue(os.access(os.path.join(prefix, "bin", program), os.X_OK), program)
        for d in WRITABLE:
            self.assertTrue(os.path.isdir(os.path.join(prefix, d)), d)
        for f in ("AppConfig/AppOffMsg.xml", "BInfo.ini", "Data/users.sql"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, f)), f)
        config = os.path.join(prefix, "Config/KVTServer.xml")
        self.assertEqual(stat.S_IMODE(os.stat(config).st_mode), 0o600)
        with open(config, encoding="ascii") as f:
            self.assertIn("Database=%s/Data/users.db" % prefix, f.read())
        self.assertTrue(os.path.isfile(os.path.join(prefix, "share/man/man8/pigeonbox.8.gz")))
        self.assertFalse(os.path.exists(os.path.join(prefix, "lib")))  # the unit is -Service's


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="pigeonbox-package-")
        run("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
            "-B", cls.work)
        debs = glob.glob(os.path.join(cls.work, "*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]
        cls.tree = os.path.join(cls.work, "tree")
        cls.control = os.path.join(cls.work, "control")
        run("dpkg-deb", "-x", cls.deb, cls.tree)
        run("dpkg-deb", "-e", cls.deb, cls.control)
        cls.listing = run("dpkg-deb", "-c", cls.deb)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, True)

    def read(self, path):
        with open(path, encoding="utf-8") as f:
            return f.read()

    def entry(self, path):
        """The listing's line of `path`: mode, owner, size, date, time, name."""
        for line in self.listing.splitlines():
            if line.split()[-1].rstrip("/") == "." + path:
                return line.split()
        self.fail("not in the package: " + path + "\n" + self.listing)

    def test_files_of_the_root_with_their_modes(self):
        for program in PROGRAMS:
            self.assertEqual(self.entry("%s/bin/%s" % (ROOT, program))[0], "-rwxr-xr-x")
        for d in WRITABLE:
            self.assertTrue(self.entry("%s/%s" % (ROOT, d))[0].startswith("d"))
        self.assertEqual(self.entry(ROOT + "/Config/KVTServer.xml")[0], "-rw-------")
        for f in ("/AppConfig/AppOffMsg.xml", "/BInfo.ini", "/Data/users.sql"):
            self.entry(ROOT + f)
        self.assertIn("Database=%s/Data/users.db" % ROOT,
                      self.read(self.tree + ROOT + "/Config/KVTServer.xml"))
        self.assertEqual(self.read(self.control + "/conffiles").split(),
                         [ROOT + "/Config/KVTServer.xml", ROOT + "/AppConfig/AppOffMsg.xml",
                          ROOT + "/BInfo.ini"])
        control = self.read(self.control + "/control")
        self.assertIn("Package: pigeonbox", control)
        self.assertRegex(control, r"Depends: .*adduser")
        self.assertRegex(control, r"Depends: .*libc6")  # from the programs' libraries

    def test_man_pages_from_the_help_texts(self):
        for program in PROGRAMS:
            section = 8 if program == "pigeonbox" else 1
            self.entry("/usr/share/man/man%d/%s.%d.gz" % (section, program, section))
        page = run("sh", "-c", "gzip -dc '%s'" % (self.tree + "/usr/share/man/man8/pigeonbox.8.gz"))
        self.assertIn("\\-Service", page)  # the server's --help text

    def test_postinst_creates_the_system_user_and_hands_it_the_writable_paths(self):
        postinst = self.read(self.control + "/postinst")
        self.assertTrue(os.access(self.control + "/postinst", os.X_OK))
        self.assertIn('adduser --system --group --home "$root" --no-create-home', postinst)
        self.assertIn("user=pigeonbox", postinst)
        self.assertIn("root=" + ROOT, postinst)
        self.assertIn('chown "$user:$user" "$root/OffMsg" "$root/Logs" "$root/kvtserver.kss"',
                      postinst)
        self.assertIn('chmod 600 "$root/Config/KVTServer.xml"', postinst)
        run("sh", "-n", self.control + "/postinst")
        run("sh", "-n", self.control + "/prerm")
        run("sh", "-n", self.control + "/postrm")

    def unit(self):
        return self.read(self.tree + "/lib/systemd/system/pigeonbox.service")

    def test_the_unit_runs_the_server_confined_as_its_user(self):
        unit = self.unit().splitlines()
        for line in ["Type=notify", 'ExecStart="%s/bin/pigeonbox"' % ROOT, "User=pigeonbox",
                     "Restart=always", "LimitNOFILE=65536", "ProtectSystem=strict",
                     'ReadWritePaths="{0}/OffMsg" "{0}/Logs" "{0}/kvtserver.kss"'.format(ROOT),
                     "NoNewPrivileges=yes", "PrivateTmp=yes", "WantedBy=multi-user.target"]:
            self.assertIn(line, unit)

    def test_systemd_analyze_verifies_the_unit(self):
        analyze = shutil.which("systemd-analyze")
        if analyze is None:
            self.skipTest("systemd-analyze is not installed")
        # The unit as shipped, but starting the packaged program where it was unpacked: verify
        # checks that ExecStart names an executable.
        units = os.path.join(self.work, "units")
        os.makedirs(units, exist_ok=True)
        good = os.path.join(units, "pigeonbox-probe.service")
        with open(good, "w") as f:
            f.write("[Service]\nType=oneshot\nExecStart=/bin/true\n")
        probe = subprocess.run([analyze, "verify", good], capture_output=True, text=True)
        if probe.returncode != 0:
            self.skipTest("systemd-analyze verify cannot run here: " + probe.stderr.strip())
        shipped = os.path.join(units, "pigeonbox.service")
        with open(shipped, "w") as f:
            f.write(self.unit().replace('"%s/bin/' % ROOT, '"%s%s/bin/' % (self.tree, ROOT)))
        verify = subprocess.run([analyze, "verify", shipped], capture_output=True, text=True)
        self.assertEqual(verify.returncode, 0, verify.stderr)
        self.assertNotIn("pigeonbox.service", verify.stdout + verify.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
