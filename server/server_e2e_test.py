#!/usr/bin/env python3
"""The real executables on a temporary install root: pigeonbox-appserver, pigeonbox-confcentre,
pigeonbox and pigeonbox-cli as a client (pigeonbox-ticket makes its download tickets).

Usage: server_e2e_test.py PIGEONBOX APPSERVER CLI SOURCE_DIR CONFCENTRE TICKET [TEST ...]
(the test names, such as EndToEndTest or RestartTest, select what runs; all when none)
"""
import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "testutil"))
from odbc_driver import sqlite_odbc_driver  # noqa: E402

PIGEONBOX, APPSERVER, CLI, SOURCE, CONFCENTRE, TICKET = sys.argv[1:7]
SELECTED = sys.argv[7:]
WAIT = 20  # seconds any awaited event may take before the test gives up

SHUTDOWN_LINES = ["开始停止服务。", "开始释放资源。", "开始释放网络资源。", "开始释放运行对象服务",
                  "开始释放组件服务", "退出完毕。"]


def sqlite_driver():
    driver = sqlite_odbc_driver()
    if driver is None:
        raise unittest.SkipTest("the SQLite ODBC driver (libsqliteodbc) is not installed")
    return driver


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class SilentListener:
    """A port on 127.0.0.1 that completes no handshake: backlog 0, its queue filled by a
    connection that is never accepted, so the kernel drops every further SYN (as behind a
    dropping firewall)."""

    def __init__(self, port):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        wait_until(lambda: self._bind(port), "port %d to be free" % port)
        self.sock.listen(0)
        self.fillers = []
        for _ in range(2):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(("127.0.0.1", port))
            self.fillers.append(filler)
            time.sleep(0.1)

    def _bind(self, port):
        try:
            self.sock.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False

    def close(self):
        for s in self.fillers + [self.sock]:
            s.close()


def wait_until(predicate, what):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="pigeonbox-e2e-") + "/"
        self.addCleanup(shutil.rmtree, self.root, True)
        self.port = free_port()
        self.transfer_port = free_port()
        self.centre_port = free_port()
        self.processes = []
        self.db_path = self.root + "Data/users.db"
        self.write_root("Driver=%s;Database=%s" % (sqlite_driver(), self.db_path))
        self.env = dict(os.environ, PIGEONBOX_ROOT=self.root,
                        PIGEONBOX_UNIT_DIR=self.root + "units")
        self.env.pop("NOTIFY_SOCKET", None)

    def tearDown(self):
        for p in self.processes:
            if p.poll() is None:
                p.kill()
                p.wait()

    def write_root(self, connection):
        for d in ("Config", "AppConfig", "Data", "units"):
            os.makedirs(self.root + d, exist_ok=True)
        with open(SOURCE + "/packaging/root-template/Config/KVTServer.xml", encoding="ascii") as f:
            config = f.read()
        for template, port in (("8010", self.port), ("8015", self.transfer_port),
                               ("8016", self.centre_port)):
            config = config.replace("<TCPPort>%s</TCPPort>" % template, "<TCPPort>%d</TCPPort>" % port)
        config = config.replace("Driver=SQLite3;Database=@ROOT@Data/users.db", connection)
        with open(self.root + "Config/KVTServer.xml", "w", encoding="ascii") as f:
            f.write(config)
        shutil.copy(SOURCE + "/packaging/root-template/AppConfig/AppOffMsg.xml",
                    self.root + "AppConfig/")
        if os.path.exists(self.db_path):
            os.remove(self.db_path)
        with open(SOURCE + "/packaging/root-template/Data/users.sql", encoding="utf-8") as f:
            db = sqlite3.connect(self.db_path)
            db.executescript(f.read())
            db.close()

    def log(self):
        try:
            with open(self.root + "Logs/Pigeonbox.log", encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def spawn(self, program, *args, env=None, cwd=None):
        """Starts a program; its stderr goes to a file in the root (read it with stderr_of)."""
        with open(self.root + "stderr-%d" % len(self.processes), "wb") as err:
            p = subprocess.Popen([program, *args], env=env or self.env, cwd=cwd,
                                 stdout=subprocess.DEVNULL, stderr=err)
        p.stderr_path = err.name
        self.processes.append(p)
        return p

    @staticmethod
    def stderr_of(process):
        with open(process.stderr_path, encoding="utf-8") as f:
            return f.read()

    def start_listener(self, program, port, what, *args):
        self.spawn(program, "--listen", "127.0.0.1:%d" % port, *args)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return True
            except OSError:
                return False
        wait_until(listening, what)

    def start_appserver(self):
        self.start_listener(APPSERVER, self.port, "the application server")

    def start_server(self, env=None, cwd=None):
        server = self.spawn(PIGEONBOX, env=env, cwd=cwd)
        wait_until(lambda: "Pigeonbox 初始化成功" in self.log() or server.poll() is not None,
                   "the server's start")
        self.assertIsNone(server.poll(), self.log())
        return server

    def notify_socket(self):
        """Binds a status socket: the socket, and an environment that makes the server report to
        it as under systemd (with no unit in the unit directory: the unit that started the
        process may be called anything and live anywhere)."""
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(notify.close)
        notify.bind(self.root + "notify")
        return notify, dict(self.env, NOTIFY_SOCKET=self.root + "notify")

    @staticmethod
    def datagrams(notify):
        """Every status report waiting on the socket, one per line."""
        notify.setblocking(False)
        received = b""
        try:
            while True:
                received += notify.recv(256) + b"\n"
        except BlockingIOError:
            pass
        return received

    def cli(self, user, *args):
        run = subprocess.run([CLI, "--user", user, *args], env=self.env, capture_output=True,
                             text=True, timeout=WAIT)
        self.assertEqual(run.returncode, 0, run.stderr)
        return [json.loads(line) for line in run.stdout.splitlines()]

    def send(self, to, key, body):
        data = ('<KVTCData><Item Key="Title" Type="String">t</Item>'
                '<Item Key="Key" Type="String">%s</Item>'
                '<Item Key="Body" Type="String">%s</Item></KVTCData>' % (key, body))
        self.cli("bob", "send", "--type", "Quorvel.KVT.IM", "--to", to, "--data", data)

    def count(self, user):
        replies = self.cli(user, "request", "GET_OFFMSG_SUM", "--wait", "1")
        return replies[0]["items"]["Count"] if replies else 0  # no reply when nothing waits

    def stop(self, server):
        server.send_signal(signal.SIGTERM)
        server.wait(WAIT)
        return server.returncode


class EndToEndTest(ServerTest):
    def test_users_store_query_fetch_delete_then_sigterm_shuts_down_in_order(self):
        self.start_appserver()
        server = self.start_server()
        self.send("alice;carol", "m-1", "first for alice and carol")
        self.send("alice", "m-2", "second for alice")
        self.send("张三", "m-3", "for zhang")
        wait_until(lambda: self.count("alice") == 2, "alice's two messages")
        self.assertEqual(self.count("carol"), 1)
        self.assertEqual(self.count("张三"), 1)
        self.assertEqual(self.count("dave"), 0)

        index = json.dumps(self.cli("alice", "request", "GET_OFFMSG_INDEX"), ensure_ascii=False)
        self.assertIn("m-1", index)
        self.assertIn("m-2", index)
        text = json.dumps(self.cli("alice", "request", "GET_OFFMSG_TXT_EX2", "MsgID=m-1"),
                          ensure_ascii=False)
        self.assertIn("first for alice and carol", text)
        self.assertEqual(self.count("alice"), 1)  # the fetch deleted m-1
        self.assertEqual(self.cli("alice", "request", "DEL_OFFMSG", "MsgID=m-2", "--wait", "1"), [])
        self.assertEqual(self.count("alice"), 0)
        self.assertEqual(self.count("carol"), 1)  # carol's copy is her own

        # A second server on the same root is refused while the first holds the store, and
        # says so on the console.
        second = self.spawn(PIGEONBOX)
        self.assertEqual(second.wait(WAIT), 1)
        self.assertIn("存储目录已被占用", self.log())
        self.assertIn("the start failed: the store is in use: pigeonbox pid %d" % server.pid,
                      self.stderr_of(second))
        self.assertNotIn("Service started", self.stderr_of(second))

        self.assertEqual(self.stop(server), 0)
        log = self.log()
        positions = [log.find(line) for line in SHUTDOWN_LINES]
        self.assertNotIn(-1, positions, log)
        self.assertEqual(positions, sorted(positions), log)
        self.assertEqual(self.stderr_of(server).count("Service started"), 1)

    def test_a_stored_file_is_downloaded_through_the_transfer_port(self):
        self.start_appserver()
        server = self.start_server()
        self.send("alice", "m-1", "a text to download")
        wait_until(lambda: self.count("alice") == 1, "alice's message")
        ticket = dict(line.split(" ", 1) for line in subprocess.run(
            [TICKET, "--ticket-id", "5", "--user-id", "9"], env=self.env, check=True,
            capture_output=True, text=True).stdout.splitlines())

        def download(directory, name):
            return subprocess.run(
                [CLI, "download", "--port", str(self.transfer_port), "--ticket", ticket["ticket"],
                 "--key", ticket["key"], "--ticket-id", "5", "--user-id", "9", "--dir", directory,
                 "--name", name, "--out", self.root + "downloaded"],
                env=self.env, capture_output=True, text=True, timeout=WAIT)

        self.assertEqual(download("offmsgfile", "alice.txt").returncode, 0)
        stored = [os.path.join(d, f) for d, _, files in os.walk(self.root + "OffMsg/OffMsgFile")
                  for f in files if f == "alice.txt"]
        self.assertEqual(len(stored), 1)
        with open(stored[0], "rb") as a, open(self.root + "downloaded", "rb") as b:
            self.assertEqual(a.read(), b.read())
        refused = download("../config", "KVTServer.xml")
        self.assertEqual(refused.returncode, 1)
        self.assertIn("-69992", refused.stderr)
        self.assertEqual(self.stop(server), 0)

    def test_a_relative_root_still_names_the_root_after_the_start(self):
        # The start moves the working directory to the root's bin/ directory.
        os.makedirs(self.root + "bin", exist_ok=True)
        parent, name = os.path.split(self.root.rstrip("/"))
        self.start_appserver()
        server = self.start_server(env=dict(self.env, PIGEONBOX_ROOT=name), cwd=parent)
        self.send("alice", "m-1", "kept below the root")
        wait_until(lambda: self.count("alice") == 1, "alice's message")
        stored = [f for _, _, files in os.walk(self.root + "OffMsg") for f in files
                  if f == "alice.txt"]
        self.assertEqual(len(stored), 1)
        self.assertEqual(self.stop(server), 0)

    def test_start_and_stop_events_reach_the_configuration_centre_in_order(self):
        events = self.root + "events.jsonl"
        self.start_listener(CONFCENTRE, self.centre_port, "the configuration centre",
                            "--events", events)
        self.start_appserver()
        server = self.start_server()
        self.assertEqual(self.stop(server), 0)

        def event_ids():
            try:
                with open(events, encoding="utf-8") as f:
                    return [json.loads(line)["eventId"] for line in f]
            except FileNotFoundError:
                return []
        wait_until(lambda: 1601 in event_ids(), "the stop event at the centre")
        ids = event_ids()
        self.assertLess(ids.index(1600), ids.index(1601), ids)

    def test_a_stop_while_the_application_server_is_away_still_ends_the_process(self):
        self.start_appserver()
        server = self.start_server()
        appserver = self.processes[0]
        appserver.terminate()
        appserver.wait(WAIT)
        wait_until(lambda: "检测到AppServer退出" in self.log(), "the watchdog's first probe")
        self.assertEqual(self.stop(server), 0)
        self.assertIn("退出完毕。", self.log())

    def test_an_unreachable_database_fails_the_start_and_ends_the_process(self):
        self.write_root("Driver=%s;Database=%s" % (sqlite_driver(),
                                                    self.root + "no/such/dir/users.db"))
        self.start_appserver()
        server = self.spawn(PIGEONBOX)
        self.assertEqual(server.wait(WAIT), 1)
        log = self.log()
        self.assertIn("打开数据库失败", log)
        self.assertIn("Pigeonbox 的初始化失败", log)
        self.assertLess(log.find("开始停止服务。"), log.find("开始释放资源。"))
        self.assertNotIn("退出完毕。", log)
        self.assertTrue(log.endswith("服务启动失败，进程退出。\n"), log[-300:])
        # The console has the reason, where the log is and the log's own account of it.
        console = self.stderr_of(server)
        self.assertNotIn("Service started", console)
        self.assertIn("the start failed: the offline-message service", console)
        self.assertIn(self.root + "Logs/Pigeonbox.log", console)
        self.assertIn("打开数据库失败", console)

    def test_log_archives_beyond_the_set_count_are_removed_at_rotation(self):
        with open(self.root + "AppConfig/AppOffMsg.xml", encoding="ascii") as f:
            config = f.read()
        with open(self.root + "AppConfig/AppOffMsg.xml", "w", encoding="ascii") as f:
            f.write(config.replace("<Setting ", '<Setting LogArchivesKept="2" '))
        os.makedirs(self.root + "Logs")
        for minute in range(5):
            open(self.root + "Logs/20100101000%dPigeonbox.log" % minute, "w").close()
        with open(self.root + "Logs/Pigeonbox.log", "w") as f:
            f.write("x" * 1100000)
        # The first line rotates the full log; no application server, so the start then fails.
        server = self.spawn(PIGEONBOX)
        self.assertEqual(server.wait(WAIT), 1)
        self.assertIn("cannot register with the application server at 127.0.0.1:%d" % self.port,
                      self.stderr_of(server))
        archives = sorted(n for n in os.listdir(self.root + "Logs") if n != "Pigeonbox.log")
        self.assertEqual(len(archives), 2, archives)
        self.assertEqual(archives[0], "201001010004Pigeonbox.log")


class PeerTest(ServerTest):
    """Peers that hang: the server neither hangs with them nor drops what arrives meanwhile."""
    FAILED = "检测到AppServer退出，尝试重连失败"

    def test_a_stop_while_the_application_server_drops_handshakes_ends_within_10_s(self):
        self.start_appserver()
        server = self.start_server()
        appserver = self.processes[0]
        appserver.kill()
        appserver.wait(WAIT)
        silent = SilentListener(self.port)
        self.addCleanup(silent.close)
        # One failure line about every second while the probes get no handshake.
        wait_until(lambda: self.log().count(self.FAILED) >= 1, "the watchdog's first failure")
        first = self.log().count(self.FAILED)
        time.sleep(5)
        self.assertGreaterEqual(self.log().count(self.FAILED) - first, 3, self.log())
        server.send_signal(signal.SIGTERM)
        self.assertEqual(server.wait(10), 0)
        self.assertIn("退出完毕。", self.log())

    def test_a_message_sent_while_the_centre_drops_handshakes_is_stored(self):
        silent = SilentListener(self.centre_port)
        self.addCleanup(silent.close)
        self.start_appserver()
        launched = time.monotonic()
        server = self.spawn(PIGEONBOX)
        # Registered with the application server, still connecting to the centre (whose client
        # logs its GUID line just before it tries).
        wait_until(lambda: "未分配Guid" in self.log() or server.poll() is not None,
                   "the centre client's start")
        time.sleep(max(0, launched + 1.5 - time.monotonic()))
        self.assertNotIn("Pigeonbox 初始化成功", self.log())
        self.send("alice", "m-early", "sent during the start")
        wait_until(lambda: "Pigeonbox 初始化成功" in self.log() or server.poll() is not None,
                   "the server's start")
        self.assertIsNone(server.poll(), self.log())
        text = json.dumps(self.cli("alice", "request", "GET_OFFMSG_TXT_EX2", "MsgID=m-early"),
                          ensure_ascii=False)
        self.assertIn("sent during the start", text)
        self.assertEqual(self.stop(server), 0)

    def test_sighup_reopens_the_log_and_does_not_end_the_server(self):
        self.start_appserver()
        server = self.start_server()
        os.rename(self.root + "Logs/Pigeonbox.log", self.root + "Logs/rotated.log")
        server.send_signal(signal.SIGHUP)
        wait_until(lambda: "日志文件已重新打开" in self.log(), "the reopened log")
        self.assertIsNone(server.poll())
        self.send("alice", "m-1", "after the rotation")
        wait_until(lambda: self.count("alice") == 1, "alice's message")
        self.assertEqual(self.stop(server), 0)
        self.assertIn("退出完毕。", self.log())


class StopDuringStartTest(ServerTest):
    """A stop signal while the start still waits for peers that hang ends the process within
    10 s, through the whole stop sequence, and never tells systemd that the service is up."""

    def hang_database(self):
        # Another connection holds the database file locked: the driver waits for the lock by
        # its own busy timeout (100 s) and ignores the login timeout.
        holder = sqlite3.connect(self.db_path, isolation_level=None)
        holder.execute("BEGIN EXCLUSIVE")
        self.addCleanup(holder.close)

    def hang(self, port):
        silent = SilentListener(port)
        self.addCleanup(silent.close)

    def stop_one_second_after_launch(self, signum, env=None):
        server = self.spawn(PIGEONBOX, env=env)
        time.sleep(1)
        self.assertIsNone(server.poll(), self.log())
        server.send_signal(signum)
        try:
            code = server.wait(10)
        except subprocess.TimeoutExpired:
            self.fail("the stop during the start takes longer than 10 s:\n" + self.log())
        log = self.log()
        self.assertEqual(code, 0, log)
        self.assertNotIn("Pigeonbox 初始化成功", log)
        positions = [log.find(line) for line in ["开始启动服务。"] + SHUTDOWN_LINES]
        self.assertNotIn(-1, positions, log)
        self.assertEqual(positions, sorted(positions), log)

    def test_ctrl_c_while_every_peer_hangs(self):
        self.hang(self.port)
        self.hang(self.centre_port)
        self.hang_database()
        self.stop_one_second_after_launch(signal.SIGINT)

    def test_sigterm_while_the_database_hangs(self):
        self.start_appserver()  # no centre: its connection is refused at once
        self.hang_database()
        self.stop_one_second_after_launch(signal.SIGTERM)

    def test_sigterm_under_systemd_while_the_centre_and_the_database_hang(self):
        notify, env = self.notify_socket()
        self.start_appserver()
        self.hang(self.centre_port)
        self.hang_database()
        self.stop_one_second_after_launch(signal.SIGTERM, env)
        received = self.datagrams(notify)
        self.assertIn(b"STOPPING=1", received)
        self.assertNotIn(b"READY=1", received)


class RestartTest(ServerTest):
    def test_every_restart_after_the_servers_loss_delivers_the_stop_event(self):
        events = self.root + "events.jsonl"
        self.start_listener(CONFCENTRE, self.centre_port, "the configuration centre",
                            "--events", events)
        self.start_appserver()
        runs = 20
        for run in range(1, runs + 1):
            server = self.spawn(PIGEONBOX)
            wait_until(lambda: self.log().count("Pigeonbox 初始化成功") == run or
                       server.poll() is not None, "start %d" % run)
            self.assertIsNone(server.poll(), self.log())
            appserver = [p for p in self.processes if p.args[0] == APPSERVER][-1]
            appserver.kill()
            appserver.wait(WAIT)
            self.start_appserver()
            try:
                self.assertEqual(server.wait(WAIT), 0, self.log())
            except subprocess.TimeoutExpired:
                self.fail("run %d does not end:\n%s" % (run, self.log()))

        def stops():
            with open(events, encoding="utf-8") as f:
                return [e for e in map(json.loads, f) if e["eventId"] == 1601 and e["text"] == "服务停止"]
        wait_until(lambda: len(stops()) >= runs, "the stop events at the centre")
        self.assertEqual(len(stops()), runs)


class ServiceTest(ServerTest):
    def test_unit_install_and_remove_in_the_unit_directory(self):
        unit = self.root + "units/pigeonbox.service"

        def switch(word):
            run = subprocess.run([PIGEONBOX, word], env=self.env, capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stderr)
            return run.stdout
        self.assertIn("wrote " + unit, switch("/service"))
        with open(unit, encoding="utf-8") as f:
            text = f.read()
        self.assertIn("Type=notify", text)
        self.assertIn('ExecStart="%s"' % os.path.realpath(PIGEONBOX), text)
        self.assertIn("removed " + unit, switch("-UNREGSERVER"))
        self.assertFalse(os.path.exists(unit))
        self.assertIn("no unit to remove at " + unit, switch("-RegServer"))

    def test_started_by_systemd_it_reports_ready_and_stopping(self):
        notify, env = self.notify_socket()
        notify.settimeout(WAIT)
        self.start_appserver()
        server = self.start_server(env=env)
        self.assertIn(b"READY=1", notify.recv(256))
        server.send_signal(signal.SIGTERM)
        self.assertIn(b"STOPPING=1", notify.recv(256))
        self.assertEqual(server.wait(WAIT), 0)
        self.assertIn("退出完毕。", self.log())
        self.assertNotIn("Service started", self.stderr_of(server))  # it went to syslog

    def test_a_failed_start_under_systemd_never_reports_ready(self):
        self.write_root("Driver=%s;Database=%s" % (sqlite_driver(),
                                                    self.root + "no/such/dir/users.db"))
        notify, env = self.notify_socket()
        self.start_appserver()
        server = self.spawn(PIGEONBOX, env=env)
        self.assertNotEqual(server.wait(WAIT), 0)
        self.assertNotIn(b"READY=1", self.datagrams(notify))
        self.assertIn("打开数据库失败", self.log())

    def test_with_the_unit_installed_but_started_from_a_console_it_runs_in_console_mode(self):
        subprocess.run([PIGEONBOX, "-Service"], env=self.env, check=True, stdout=subprocess.DEVNULL)
        self.start_appserver()
        server = self.start_server()
        self.assertEqual(self.stop(server), 0)
        self.assertIn("Service started", self.stderr_of(server))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + SELECTED, verbosity=2)
