#!/usr/bin/env python3
"""The metrics endpoint of the real server (MetricsListen): exact counters after messages flow
through the stand-in application server, the text checked by promtool, /healthz following the
application server, and a MetricsListen that cannot be used.

Usage: metrics_e2e_test.py PIGEONBOX APPSERVER CLI SOURCE_DIR CONFCENTRE TICKET [TEST ...]
"""
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_e2e_test import SELECTED, WAIT, ServerTest, wait_until  # noqa: E402


def http_get(port, path):
    """(status, body) of a plain HTTP/1.0 GET on 127.0.0.1."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as s:
        s.sendall(("GET %s HTTP/1.0\r\nHost: localhost\r\n\r\n" % path).encode())
        reply = b""
        while chunk := s.recv(65536):
            reply += chunk
    head, _, body = reply.partition(b"\r\n\r\n")
    return int(head.split()[1]), body.decode("utf-8")


def samples(text):
    """{'name{labels}': value} of every sample line."""
    found = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            found[name] = float(value)
    return found


class MetricsTest(ServerTest):
    maxDiff = None

    def set_metrics_listen(self, value):
        path = self.root + "AppConfig/AppOffMsg.xml"
        with open(path, "rb") as f:
            config = f.read()
        config = config.replace(b"<Setting ", b'<Setting MetricsListen="%s" IndexCacheMB="8" '
                                % value.encode())
        with open(path, "wb") as f:
            f.write(config)

    def start_with_metrics(self):
        """Starts the application server and the server on an ephemeral metrics port."""
        self.set_metrics_listen("127.0.0.1:0")
        self.start_appserver()
        server = self.start_server()
        found = re.search(r"Metrics on http://127\.0\.0\.1:(\d+)/metrics", self.log())
        self.assertIsNotNone(found, self.log())
        return server, int(found.group(1))

    def test_counters_are_exact_after_messages_flow_and_promtool_accepts_the_text(self):
        with open(self.root + "invaliduser.txt", "w", encoding="ascii") as f:
            f.write("mallory\n")
        server, port = self.start_with_metrics()
        self.send("alice;carol;mallory", "m-1", "first")
        self.send("alice", "m-2", "second")
        self.cli("bob", "send", "--type", "Quorvel.KVT.Sms", "--to", "alice", "--data",
                 '<KVTCData><Item Key="Command" Type="String">GetWordLimit</Item></KVTCData>')
        # Fits the link's packet, but not compressed into one block of the store.
        rng = random.Random(7)
        noise = "".join(chr(rng.randrange(0x4E00, 0x9FFF)) for _ in range(1800))
        self.send("alice", "m-big", noise)
        stored = 'pigeonbox_messages_stored_total{store="person"}'
        wait_until(lambda: samples(http_get(port, "/metrics")[1]).get(stored) == 3,
                   "three stored parts")
        wait_until(lambda: samples(http_get(port, "/metrics")[1]).get(
            'pigeonbox_messages_refused_total{reason="oversize"}') == 1, "the refused text")

        self.assertEqual(self.count("alice"), 2)
        self.assertIn("first", str(self.cli("alice", "request", "GET_OFFMSG_TXT_EX2", "MsgID=m-1")))
        self.assertEqual(self.cli("alice", "request", "DEL_OFFMSG", "MsgID=m-2", "--wait", "1"), [])
        self.assertEqual(self.cli("alice", "request", "NO_SUCH_COMMAND", "--wait", "1"), [])

        status, text = http_get(port, "/metrics")
        self.assertEqual(status, 200)
        got = samples(text)
        expected = {
            stored: 3,
            'pigeonbox_messages_stored_total{store="group"}': 0,
            'pigeonbox_messages_refused_total{reason="excluded"}': 1,
            'pigeonbox_messages_refused_total{reason="word_limit"}': 1,
            'pigeonbox_messages_refused_total{reason="oversize"}': 1,
            'pigeonbox_messages_fetched_total': 1,
            'pigeonbox_messages_deleted_total{reason="id"}': 2,
            'pigeonbox_messages_deleted_total{reason="time"}': 0,
            'pigeonbox_requests_total{command="GET_OFFMSG_SUM"}': 1,
            'pigeonbox_requests_total{command="GET_OFFMSG_TXT_EX2"}': 1,
            'pigeonbox_requests_total{command="DEL_OFFMSG"}': 1,
            'pigeonbox_requests_total{command="GET_OFFMSG_INDEX"}': 0,
            'pigeonbox_requests_total{command="unknown"}': 1,
            'pigeonbox_replies_sent_total': 2,  # the count and the one text part
            'pigeonbox_replies_failed_total': 0,
            'pigeonbox_app_server_connected': 1,
            'pigeonbox_service_running': 1,
            'pigeonbox_store_add_duration_seconds_count': 4,  # three stored, one refused
            'pigeonbox_store_fetch_duration_seconds_count': 1,
            'pigeonbox_store_delete_duration_seconds_count': 2,
            'pigeonbox_request_duration_seconds_count': 8,  # four sends, four requests
        }
        self.assertEqual({name: got.get(name) for name in expected}, expected, text)
        self.assertGreater(got["pigeonbox_open_descriptors"], 0)
        self.assertGreater(got["pigeonbox_index_cache_files"], 0)
        self.assertIn("pigeonbox_transfer_connections", got)
        self.assertIn("pigeonbox_config_centre_connected", got)

        promtool = shutil.which("promtool")
        if promtool is None:
            self.skipTest("promtool (Debian package prometheus) is not installed")
        check = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True,
                               text=True, timeout=WAIT)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(check.stdout + check.stderr, "")  # no lint findings either
        self.assertEqual(self.stop(server), 0)

    def test_healthz_turns_503_within_2_s_of_the_application_servers_loss(self):
        server, port = self.start_with_metrics()
        self.assertEqual(http_get(port, "/healthz"), (200, "ok\n"))
        appserver = self.processes[0]
        appserver.kill()
        lost = time.monotonic()
        appserver.wait(WAIT)
        while http_get(port, "/healthz")[0] != 503:
            self.assertLess(time.monotonic() - lost, 2, "/healthz still answers 200")
            time.sleep(0.05)
        self.assertEqual(samples(http_get(port, "/metrics")[1])["pigeonbox_app_server_connected"], 0)
        self.assertEqual(self.stop(server), 0)

    def start_without_metrics(self, value, logged):
        self.set_metrics_listen(value)
        self.start_appserver()
        server = self.start_server()
        self.assertIn(logged, self.log())
        self.assertNotIn("Metrics on", self.log())
        self.assertEqual(self.stop(server), 0)

    def test_a_metrics_listen_that_is_not_an_address_is_logged_and_the_server_starts(self):
        self.start_without_metrics(
            "localhost:9464", 'Metrics off: MetricsListen="localhost:9464" is not a numeric address')

    def test_a_metrics_listen_in_use_is_logged_and_the_server_starts(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen(1)
            port = taken.getsockname()[1]
            self.start_without_metrics("127.0.0.1:%d" % port,
                                       "Metrics off: cannot listen on 127.0.0.1:%d: " % port)

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + SELECTED, verbosity=2)
