#!/usr/bin/env python3
"""The real server under low open-file limits with many idle transfer connections: it raises its
soft limit, leaves descriptors for the store and loses no message.

Usage: descriptor_limit_e2e_test.py PIGEONBOX APPSERVER CLI SOURCE_DIR CONFCENTRE TICKET
"""
import resource
import socket
import sys
import time
import unittest

from server_e2e_test import PIGEONBOX, WAIT, ServerTest, wait_until

IDLE_CONNECTIONS = 400


class DescriptorLimitTest(ServerTest):
    def open_idle_connections(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft < IDLE_CONNECTIONS + 100:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, IDLE_CONNECTIONS + 100), hard))
        connections = []
        self.addCleanup(lambda: [c.close() for c in connections])
        for _ in range(IDLE_CONNECTIONS):
            connections.append(socket.create_connection(("127.0.0.1", self.transfer_port),
                                                        timeout=WAIT))
        # Gives the listen thread time to take (or close) every one of them.
        time.sleep(1)
        return connections

    def run_under(self, limits, soft_in_force):
        self.start_appserver()
        server = self.spawn("prlimit", "--nofile=" + limits, PIGEONBOX)
        wait_until(lambda: "Pigeonbox 初始化成功" in self.log() or server.poll() is not None,
                   "the server's start")
        self.assertIsNone(server.poll(), self.log())
        self.assertIn("打开文件数上限: %d" % soft_in_force, self.log())
        self.open_idle_connections()

        users = ["alice", "carol", "张三"]
        for n in range(6):
            for user in users:
                self.send(user, "m-%d" % n, "message %d for %s" % (n, user))
        wait_until(lambda: all(self.count(u) == 6 for u in users), "every message stored")
        self.cli("alice", "request", "GET_OFFMSG_TXT_EX2", "MsgID=m-0")
        self.assertEqual(self.cli("carol", "request", "DEL_OFFMSG", "MsgID=m-1", "--wait", "1"), [])
        self.assertEqual([self.count(u) for u in users], [5, 5, 6])
        self.assertEqual(self.stop(server), 0)
        log = self.log()
        self.assertNotIn("accept failed", log)
        self.assertNotIn("faild", log)  # no failed add

    def test_a_soft_limit_below_the_hard_one_is_raised(self):
        self.run_under("200:4096", 4096)

    def test_at_a_hard_limit_of_300_the_store_keeps_its_descriptors(self):
        self.run_under("300:300", 300)
        self.assertIn("new connection closed", self.log())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
