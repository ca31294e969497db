#!/usr/bin/env python3
"""Soak of the real server with junk input: starts pigeonbox-appserver and pigeonbox on a
temporary install root (loopback ports only), runs junk_soak against them and prints the server's
resident memory along the way, with the growth per frame over the second half of each phase.

Usage: junk_soak.py BUILD_DIR [FRAMES per phase, default 1000000] [SAMPLE every, default 50000]
       [--wrap CMD...]   e.g. --wrap heaptrack -o /tmp/pb  (runs the server under CMD)
"""
import os
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "testutil"))
from odbc_driver import sqlite_odbc_driver  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sqlite_driver():
    return sqlite_odbc_driver() or sys.exit("the SQLite ODBC driver (libsqliteodbc) is not installed")


def make_root(root, ports):
    template = SOURCE + "/packaging/root-template/"
    for d in ("Config", "AppConfig", "Data"):
        os.makedirs(root + d, exist_ok=True)
    with open(template + "Config/KVTServer.xml", encoding="ascii") as f:
        config = f.read()
    for old, port in (("8010", ports["app"]), ("8015", ports["transfer"]),
                      ("8016", ports["centre"])):
        config = config.replace("<TCPPort>%s</TCPPort>" % old, "<TCPPort>%d</TCPPort>" % port)
    config = config.replace("Driver=SQLite3;Database=@ROOT@Data/users.db",
                            "Driver=%s;Database=%sData/users.db" % (sqlite_driver(), root))
    with open(root + "Config/KVTServer.xml", "w", encoding="ascii") as f:
        f.write(config)
    shutil.copy(template + "AppConfig/AppOffMsg.xml", root + "AppConfig/")
    with open(template + "Data/users.sql", encoding="utf-8") as f:
        db = sqlite3.connect(root + "Data/users.db")
        db.executescript(f.read())
        db.close()


def wait_for(predicate, what, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.1)
    sys.exit("timed out waiting for " + what)


def log_of(root):
    try:
        with open(root + "Logs/Pigeonbox.log", encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def server_pid(launcher):
    """The pid of the pigeonbox process itself, also when a wrapper started it."""
    for pid in [launcher.pid] + [int(p) for p in os.listdir("/proc") if p.isdigit()]:
        try:
            with open("/proc/%d/comm" % pid) as f:
                if f.read().strip() == "pigeonbox":
                    with open("/proc/%d/status" % pid) as s:
                        if any(l.startswith("PPid:") and int(l.split()[1]) in (launcher.pid, os.getpid())
                               for l in s) or pid == launcher.pid:
                            return pid
        except OSError:
            continue
    sys.exit("cannot find the server process")


def report(lines):
    """Prints the samples and, per phase, the growth of the resident and of the anonymous
    memory, and the growth per frame over the second half."""
    phase, samples = None, []

    def summary():
        if len(samples) >= 3:
            half = samples[len(samples) // 2:]
            for column, what in ((1, "resident"), (2, "anonymous")):
                growth = (half[-1][column] - half[0][column]) * 1024.0 / max(1, half[-1][0] - half[0][0])
                print("  %s, %s: %+d kB over the run, %+.2f bytes/frame over the second half"
                      % (phase, what, samples[-1][column] - samples[0][column], growth))
    for line in lines:
        if line.endswith("frames,rss_kb,anon_kb"):
            summary()
            phase, samples = line.split()[0], []
        elif "," in line:
            samples.append(tuple(int(v) for v in line.split(",")))
        print(line)
    summary()


def main():
    args = sys.argv[1:]
    wrap = []
    if "--wrap" in args:
        at = args.index("--wrap")
        wrap, args = args[at + 1:], args[:at]
    if not args:
        sys.exit(__doc__)
    build = os.path.abspath(args[0])
    frames = args[1] if len(args) > 1 else "1000000"
    sample = args[2] if len(args) > 2 else "50000"
    root = tempfile.mkdtemp(prefix="pigeonbox-soak-") + "/"
    ports = {"app": free_port(), "transfer": free_port(), "centre": free_port()}
    make_root(root, ports)
    env = dict(os.environ, PIGEONBOX_ROOT=root)
    env.pop("NOTIFY_SOCKET", None)
    processes = []
    try:
        processes.append(subprocess.Popen(
            [build + "/tools/pigeonbox-appserver", "--listen", "127.0.0.1:%d" % ports["app"]],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", ports["app"])) == 0,
                 "the application server")
        server = subprocess.Popen(wrap + [build + "/server/pigeonbox"], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(server)
        wait_for(lambda: "Pigeonbox 初始化成功" in log_of(root), "the server's start", 120)
        run = subprocess.run(
            [build + "/bench/junk_soak", "--appserver-port", str(ports["app"]),
             "--transfer-port", str(ports["transfer"]), "--pid", str(server_pid(server)),
             "--frames", frames, "--sample", sample],
            capture_output=True, text=True)
        report(run.stdout.splitlines())
        log = log_of(root)
        print("server log: %d lines, %d bytes" % (log.count("\n"), len(log.encode())))
        if os.environ.get("SOAK_KEEP_LOG"):
            shutil.copy(root + "Logs/Pigeonbox.log", os.environ["SOAK_KEEP_LOG"])
        if run.returncode != 0:
            sys.exit(run.stderr)
    finally:
        for p in reversed(processes):
            p.terminate()
            try:
                p.wait(30)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(root, True)


if __name__ == "__main__":
    main()
