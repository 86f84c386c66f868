#!/usr/bin/python3
"""Whole-program test of the tessvane daemon: starts the built program in the
foreground with a configuration in a temporary directory, plays the MTA over
the milter protocol, and checks the verdict header, SIGHUP, the SIGTERM drain
and the fatal start-up paths.

The daemon asks its nameservers on port 53, which no configuration key
changes; the test therefore serves its zone on port 53 of a loopback address
of its own (tests run as root). Where port 53 cannot be bound the checks that
need DNS are skipped and the rest still run.

Usage: daemon_program_test.py --daemon PATH --tools DIR
"""

import argparse
import os
import queue
import random
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None
WAIT_S = 15.0
AUTHSERV_ID = "mx.tessvane.test"


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_dns(zone):
    """A responder on port 53 of a loopback address, or None."""
    from dns_responder import Responder

    candidates = ["127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 255),
                                    random.randint(1, 254)) for _ in range(3)]
    for address in candidates + ["127.0.0.1"]:
        try:
            return Responder(zone, [address], 53).start(), address
        except OSError:
            continue
    return None, None


class Daemon:
    """The program running in the foreground; its standard error collected."""

    def __init__(self, config_path, args=None):
        argv = [ARGS.daemon] + (args if args is not None else ["-c", config_path])
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.seen = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.process.stderr:
            self.lines.put(raw.decode(errors="replace").rstrip("\n"))

    def wait_line(self, fragment, timeout=WAIT_S):
        """The first line (seen or arriving) containing fragment, or None."""
        for line in self.seen:
            if fragment in line:
                return line
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                return None
            self.seen.append(line)
            if fragment in line:
                return line

    def wait_exit(self, timeout=WAIT_S):
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None
        self.reader.join(timeout=5)
        while not self.lines.empty():
            self.seen.append(self.lines.get())
        return code

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.reader.join(timeout=5)
        self.process.stderr.close()


class DaemonTestBase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.pid_file = os.path.join(self.dir.name, "run", "tessvane.pid")
        self.port = free_tcp_port()

    def write_config(self, extra="", nameserver="127.0.0.1", listener=None, foreground="yes"):
        listener = listener or "inet:%d@127.0.0.1" % self.port
        text = ("[global]\nAuthservID = %s\nForeground = %s\nSyslog = no\nLogLevel = debug\n"
                "PidFile = %s\nWorkerThreads = 2\nDnsNameserver = %s\nDnsTimeout = 2\n"
                "DnsRetries = 0\n%s\n[listener:main]\nSocket = %s\n"
                % (AUTHSERV_ID, foreground, self.pid_file, nameserver, extra, listener))
        path = os.path.join(self.dir.name, "tessvane.conf")
        with open(path, "w") as handle:
            handle.write(text)
        return path

    def start(self, config_path):
        daemon = Daemon(config_path)
        self.addCleanup(daemon.stop)
        line = daemon.wait_line("Tessvane starting")
        self.assertIsNotNone(line, "no start-up line: %r" % daemon.seen)
        self.assertIn("AuthservID=%s, listeners=1" % AUTHSERV_ID, line)
        return daemon

    def mta(self, unix_path=None):
        """A connection to the listener; retried while the workers bind, which
        follows the start-up line."""
        from milter_client import MilterClient

        deadline = time.monotonic() + WAIT_S
        while True:
            try:
                if unix_path:
                    return MilterClient.unix(unix_path)
                return MilterClient.tcp("127.0.0.1", self.port)
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)


class RunningDaemonTest(DaemonTestBase):
    def setUp(self):
        super().setUp()
        zone = {"example.com": {"TXT": ["v=spf1 ip4:192.0.2.0/24 -all"]}}
        self.dns, self.dns_address = start_dns(zone)
        if self.dns is not None:
            self.addCleanup(self.dns.stop)
        self.daemon = self.start(self.write_config(nameserver=self.dns_address or "127.0.0.1"))

    def verdict(self, mta, client):
        from milter_client import SMFIR_INSHEADER, parse_insert_header

        modifications, final = mta.message(client_addr=client, helo="mail.example.com",
                                           sender="<user@example.com>",
                                           headers=[("Subject", "test")])
        inserted = [parse_insert_header(data) for code, data in modifications
                    if code == SMFIR_INSHEADER]
        return final, inserted

    def test_pass_and_fail_are_accepted_with_their_header(self):
        if self.dns is None:
            self.skipTest("port 53 of a loopback address cannot be bound")
        from milter_client import SMFIR_ACCEPT

        with self.mta() as mta:
            version, actions, protocol = mta.negotiate()
            self.assertEqual((version, actions, protocol), (6, 0x11, 0x10))
            for client, result in (("192.0.2.25", "pass"), ("198.51.100.7", "fail")):
                final, inserted = self.verdict(mta, client)
                self.assertEqual(final[0], SMFIR_ACCEPT)
                self.assertEqual(len(inserted), 1, inserted)
                index, name, value = inserted[0]
                self.assertEqual(name, "Authentication-Results")
                self.assertTrue(value.startswith(AUTHSERV_ID + ";"), value)
                self.assertIn("spf=%s" % result, value)
                self.assertIn("smtp.client-ip=%s" % client, value)
                self.assertIn("smtp.mailfrom=example.com", value)
            mta.quit()
        queries = [entry for entry in self.dns.take_log() if "example.com" in str(entry)]
        self.assertTrue(queries, "the daemon never asked the test's nameserver")

    def test_pid_file_sighup_and_sigterm_drain(self):
        with open(self.pid_file) as handle:
            self.assertEqual(handle.read(), "%d\n" % self.daemon.process.pid)

        self.daemon.process.send_signal(signal.SIGHUP)
        self.assertIsNotNone(self.daemon.wait_line("SIGHUP received, reloading configuration..."))
        self.assertIsNotNone(self.daemon.wait_line("config generation advanced to "))

        # An open connection at SIGTERM is served until it closes.
        mta = self.mta()
        mta.negotiate()
        self.daemon.process.send_signal(signal.SIGTERM)
        self.assertIsNotNone(
            self.daemon.wait_line("shutdown signal 15 received, draining connections..."))
        self.assertIsNone(self.daemon.process.poll())
        mta.connect("client.example", "192.0.2.25")
        mta.quit()
        mta.close()
        self.assertEqual(self.daemon.wait_exit(), 0, self.daemon.seen)
        self.assertFalse(os.path.exists(self.pid_file))

    def test_sigint_stops_like_sigterm(self):
        self.daemon.process.send_signal(signal.SIGINT)
        self.assertIsNotNone(self.daemon.wait_line("shutdown signal 2 received"))
        self.assertEqual(self.daemon.wait_exit(), 0, self.daemon.seen)
        self.assertFalse(os.path.exists(self.pid_file))


class WhitelistReloadTest(DaemonTestBase):
    def test_sighup_publishes_the_rewritten_whitelist_to_the_workers(self):
        from milter_client import SMFIR_ACCEPT, SMFIR_INSHEADER, parse_insert_header

        dns, address = start_dns({"example.com": {"TXT": ["v=spf1 -all"]}})
        if dns is None:
            self.skipTest("port 53 of a loopback address cannot be bound")
        self.addCleanup(dns.stop)
        whitelist = os.path.join(self.dir.name, "whitelist")
        with open(whitelist, "w") as handle:
            handle.write("192.0.2.99\n")
        daemon = self.start(self.write_config(extra="WhitelistFile = %s" % whitelist,
                                              nameserver=address))

        def header_of_one_message():
            with self.mta() as mta:
                mta.negotiate()
                modifications, final = mta.message(client_addr="203.0.113.5", helo="h.example",
                                                   sender="<u@example.com>")
                mta.quit()
            self.assertEqual(final[0], SMFIR_ACCEPT)
            values = [parse_insert_header(data)[2] for code, data in modifications
                      if code == SMFIR_INSHEADER]
            self.assertEqual(len(values), 1, modifications)
            return values[0]

        self.assertIn("spf=fail", header_of_one_message())
        with open(whitelist, "w") as handle:
            handle.write("203.0.113.0/24\n")
        daemon.process.send_signal(signal.SIGHUP)
        self.assertIsNotNone(daemon.wait_line("whitelist reloaded from %s" % whitelist))
        self.assertIn("spf=pass", header_of_one_message())
        self.assertIsNotNone(daemon.wait_line("result=pass (whitelisted)"))
        self.assertFalse(any("config generation advanced" in line for line in daemon.seen))


class OneRoundTripTest(DaemonTestBase):
    """MilterOneRoundTrip: the MTA is answered only at end of message, and the
    verdicts, headers and log lines are those of the usual conversation."""

    ONE_ROUND_TRIP = 0x7F398  # what the daemon asks for of an MTA offering every flag

    def test_verdicts_and_limits_are_kept_with_one_answer_per_message(self):
        from milter_client import SMFIR_ACCEPT, SMFIR_INSHEADER, SMFIR_TEMPFAIL, \
            parse_insert_header

        dns, address = start_dns({"example.com": {"TXT": ["v=spf1 ip4:192.0.2.0/24 -all"]}})
        if dns is None:
            self.skipTest("port 53 of a loopback address cannot be bound")
        self.addCleanup(dns.stop)
        daemon = self.start(self.write_config(extra="MilterOneRoundTrip = yes\nMaxHeaders = 2",
                                              nameserver=address))

        def one_message(mta, client, headers):
            modifications, final = mta.message(client_addr=client, helo="mail.example.com",
                                               sender="<user@example.com>", headers=headers)
            inserted = [parse_insert_header(data)[2] for code, data in modifications
                        if code == SMFIR_INSHEADER]
            return final[0], inserted

        # An MTA offering every flag, and one offering no reply flags (each
        # step is then answered, which the client reads).
        for offer, protocol in ((0x1FFFFF, self.ONE_ROUND_TRIP), (0x3F, 0x18)):
            with self.mta() as mta:
                self.assertEqual(mta.negotiate(protocol=offer), (6, 0x11, protocol))
                for client, result in (("192.0.2.25", "pass"), ("198.51.100.7", "fail")):
                    del daemon.seen[:]  # wait_line then finds only this message's line
                    final, inserted = one_message(mta, client, [("Subject", "test")])
                    self.assertEqual(final, SMFIR_ACCEPT)
                    self.assertEqual(len(inserted), 1, inserted)
                    self.assertIn("spf=%s" % result, inserted[0])
                    self.assertIn("smtp.client-ip=%s" % client, inserted[0])
                    self.assertIsNotNone(daemon.wait_line(
                        "peer=unknown[127.0.0.1] client=%s from=user@example.com result=%s"
                        % (client, result)))
                # Three headers exceed MaxHeaders = 2: tempfail, nothing inserted.
                del daemon.seen[:]
                final, inserted = one_message(mta, "192.0.2.25",
                                              [("A", "1"), ("B", "2"), ("C", "3")])
                self.assertEqual((final, inserted), (SMFIR_TEMPFAIL, []))
                self.assertIsNotNone(daemon.wait_line("header limit reached (2 headers, "))
                self.assertIsNotNone(daemon.wait_line("exceeded MaxHeaders=2/MaxHeaderBytes="))
                mta.quit()


class UnixListenerTest(DaemonTestBase):
    def test_every_worker_serves_the_unix_socket_and_its_directory_is_made(self):
        path = os.path.join(self.dir.name, "sockets", "milter.sock")
        daemon = self.start(self.write_config(listener="unix:" + path))
        self.assertTrue(os.path.isdir(os.path.dirname(path)))
        clients = [self.mta(unix_path=path) for _ in range(4)]
        for mta in clients:
            self.assertEqual(mta.negotiate()[0], 6)
        for mta in clients:
            mta.quit()
            mta.close()
        daemon.process.send_signal(signal.SIGTERM)
        self.assertEqual(daemon.wait_exit(), 0, daemon.seen)
        self.assertFalse(os.path.exists(path))


def process_alive(pid):
    """Running, not merely a zombie that nobody has reaped yet."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    try:
        with open("/proc/%d/stat" % pid) as handle:
            return handle.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return True  # no /proc: kill() said it exists


def kill_if_alive(pid):
    if process_alive(pid):
        os.kill(pid, signal.SIGKILL)


class DaemonizedTest(DaemonTestBase):
    def config_in_background(self):
        return self.write_config(foreground="no")

    def test_starting_command_exits_zero_once_the_daemon_serves(self):
        starter = subprocess.run([ARGS.daemon, "-c", self.config_in_background()],
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=WAIT_S)
        self.assertEqual(starter.returncode, 0, starter.stderr)
        with open(self.pid_file) as handle:
            pid = int(handle.read())
        self.addCleanup(kill_if_alive, pid)
        self.assertTrue(process_alive(pid))
        with self.mta() as mta:
            self.assertEqual(mta.negotiate()[0], 6)
            mta.quit()
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + WAIT_S
        while process_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(process_alive(pid))
        self.assertFalse(os.path.exists(self.pid_file))

    def test_starting_command_exits_one_when_the_daemon_fails(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
            taken.bind(("127.0.0.1", self.port))
            taken.listen(1)
            starter = subprocess.run([ARGS.daemon, "-c", self.config_in_background()],
                                     stdin=subprocess.DEVNULL, capture_output=True,
                                     timeout=WAIT_S)
        self.assertEqual(starter.returncode, 1, starter.stderr)
        self.assertFalse(os.path.exists(self.pid_file))


class FatalStartTest(DaemonTestBase):
    def run_fatal(self, args):
        daemon = Daemon(None, args)
        self.addCleanup(daemon.stop)
        self.assertEqual(daemon.wait_exit(), 1, daemon.seen)
        return daemon.seen

    def test_bad_command_lines_give_the_usage_line(self):
        for args in ([], ["-x", "file"], ["-c"]):
            lines = self.run_fatal(args)
            self.assertIn("usage: tessvane -c <config-file>", "\n".join(lines), args)
            self.assertIn("error: InvalidArgument", lines, args)
            self.assertTrue(lines[0].startswith("keldmoor["), lines)

    def test_missing_config_file(self):
        path = os.path.join(self.dir.name, "absent.conf")
        lines = self.run_fatal(["-c", path])
        self.assertIn("failed to load config %s: error.FileNotFound" % path, "\n".join(lines))
        self.assertIn("fatal: exiting on FileNotFound", "\n".join(lines))
        self.assertEqual(lines[-1], "error: FileNotFound")

    def test_unknown_key_is_fatal(self):
        lines = self.run_fatal(["-c", self.write_config(extra="NoSuchKey = 1")])
        self.assertEqual(lines[-1], "error: InvalidConfiguration")

    def test_taken_port_is_fatal_and_leaves_no_pid_file(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
            taken.bind(("127.0.0.1", self.port))
            taken.listen(1)
            lines = self.run_fatal(["-c", self.write_config()])
        self.assertEqual(lines[-1], "error: AddressInUse")
        self.assertFalse(os.path.exists(self.pid_file))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--tools", required=True)
    ARGS, rest = parser.parse_known_args()
    sys.path.insert(0, ARGS.tools)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
