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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from foreground_daemon import ForegroundDaemon  # noqa: E402

ARGS = None
WAIT_S = 15.0
AUTHSERV_ID = "mx.tessvane.test"
ROOT_WARNING = "no User configured: every worker serves mail as root"


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


class Daemon(ForegroundDaemon):
    """The program running in the foreground; its standard error collected."""

    def __init__(self, config_path, args=None, env=None):
        argv = [ARGS.daemon] + (args if args is not None else ["-c", config_path])
        super().__init__(argv, env=env, wait_s=WAIT_S)

    def stop(self):
        super().stop(graceful=False)


class DaemonTestBase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.pid_file = os.path.join(self.dir.name, "run", "tessvane.pid")
        self.port = free_tcp_port()

    def write_config(self, extra="", nameserver="127.0.0.1", listener=None, foreground="yes",
                     pid_file=None, dns_timeout=2, name="tessvane.conf"):
        listener = listener or "inet:%d@127.0.0.1" % self.port
        text = ("[global]\nAuthservID = %s\nForeground = %s\nSyslog = no\nLogLevel = debug\n"
                "PidFile = %s\nWorkerThreads = 2\nDnsNameserver = %s\nDnsTimeout = %d\n"
                "DnsRetries = 0\n%s\n[listener:main]\nSocket = %s\n"
                % (AUTHSERV_ID, foreground, pid_file or self.pid_file, nameserver, dns_timeout,
                   extra, listener))
        path = os.path.join(self.dir.name, name)
        with open(path, "w") as handle:
            handle.write(text)
        return path

    def start(self, config_path, env=None):
        daemon = Daemon(config_path, env=env)
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

    def whitelisted(self, client):
        """Whether a message from client gets spf=pass (a whitelisted client
        needs no DNS)."""
        from milter_client import SMFIR_ACCEPT, SMFIR_INSHEADER, parse_insert_header

        with self.mta() as mta:
            mta.negotiate()
            modifications, final = mta.message(client_addr=client, helo="h.example",
                                               sender="<u@example.com>")
            mta.quit()
        self.assertEqual(final[0], SMFIR_ACCEPT)
        values = [parse_insert_header(data)[2] for code, data in modifications
                  if code == SMFIR_INSHEADER]
        return len(values) == 1 and "spf=pass" in values[0]


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

    def test_started_as_root_without_user_it_says_so_once(self):
        if os.geteuid() != 0:
            self.skipTest("needs root")
        self.daemon.wait_line("Tessvane starting")
        self.assertEqual(self.daemon.count_lines(ROOT_WARNING), 1, self.daemon.seen)

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


def unprivileged_user():
    """(uid, gid) of nobody when the test runs as root, else None."""
    import pwd

    if os.geteuid() != 0:
        return None
    try:
        entry = pwd.getpwnam("nobody")
    except KeyError:
        return None
    return entry.pw_uid, entry.pw_gid


def owner_and_mode(path):
    info = os.lstat(path)
    return info.st_uid, info.st_gid, info.st_mode & 0o7777


class StartUpFilesTest(DaemonTestBase):
    """What start-up does as root to paths that the daemon's user (nobody)
    may influence: each case lays out a directory, starts the daemon with
    User = nobody and checks what became of the files."""

    def setUp(self):
        super().setUp()
        self.user = unprivileged_user()
        if self.user is None:
            self.skipTest("needs root and a user nobody")
        # nobody's own directory, as a runtime directory it was given earlier.
        self.home = os.path.join(self.dir.name, "home")
        os.mkdir(self.home, 0o755)
        os.chown(self.home, *self.user)
        # A directory and a file only root may use.
        self.secret_dir = os.path.join(self.dir.name, "secret")
        os.mkdir(self.secret_dir, 0o700)
        self.secret_file = os.path.join(self.secret_dir, "shadow")
        with open(self.secret_file, "w") as handle:
            handle.write("root only\n")
        os.chmod(self.secret_file, 0o600)

    def existing_root_dir(self):
        run = os.path.join(self.dir.name, "system-run")
        os.mkdir(run, 0o755)
        return os.path.join(run, "tessvane.pid")

    def link_in_place_of_the_dir(self):
        os.symlink(self.secret_dir, os.path.join(self.home, "run"))
        return os.path.join(self.home, "run", "tessvane.pid")

    def hard_link_at_the_pid_path(self):
        pid_file = os.path.join(self.home, "tessvane.pid")
        os.link(self.secret_file, pid_file)
        return pid_file

    def new_dir_under_umask_000(self):
        return os.path.join(self.home, "fresh", "tessvane.pid")

    def test_start_up_never_hands_root_files_to_the_user(self):
        secret_dir_before = owner_and_mode(self.secret_dir)
        secret_file_before = owner_and_mode(self.secret_file)
        cases = [
            # (name, layout, extra keys, pid file written, warning expected)
            ("existing root directory", self.existing_root_dir, "", True,
             "is not writable by uid %d" % self.user[0]),
            ("symbolic link in place of the directory", self.link_in_place_of_the_dir, "",
             False, "open %s: error.SymLinkLoop" % os.path.join(self.home, "run")),
            ("hard link at the pid path", self.hard_link_at_the_pid_path, "", True, None),
            ("UMask 000", self.new_dir_under_umask_000, "UMask = 000\n", True, None),
        ]
        for name, layout, extra, written, warning in cases:
            with self.subTest(name):
                pid_file = layout()
                config = self.write_config(extra="User = nobody\n" + extra, pid_file=pid_file,
                                           name="%s.conf" % layout.__name__)
                daemon = Daemon(config)
                try:
                    self.assertIsNotNone(daemon.wait_line("Tessvane starting"), daemon.seen)
                    self.assertEqual(owner_and_mode(self.secret_dir), secret_dir_before)
                    self.assertEqual(owner_and_mode(self.secret_file), secret_file_before)
                    self.assertEqual(os.listdir(self.secret_dir), ["shadow"])
                    with open(self.secret_file) as handle:
                        self.assertEqual(handle.read(), "root only\n")
                    if warning is not None:
                        self.assertEqual(daemon.count_lines(warning), 1, daemon.seen)
                    self.assertEqual(daemon.count_lines(ROOT_WARNING), 0)
                    if written:
                        self.assertEqual(owner_and_mode(pid_file)[2], 0o644)
                        with open(pid_file) as handle:
                            self.assertEqual(handle.read(), "%d\n" % daemon.process.pid)
                    else:
                        self.assertEqual(daemon.count_lines("pid file write failed: "), 1)
                finally:
                    daemon.stop()
        # The directory that existed kept its owner and mode; the one start-up
        # made is the user's, with mode 0755 whatever the mask.
        self.assertEqual(owner_and_mode(os.path.join(self.dir.name, "system-run")),
                         (0, 0, 0o755))
        self.assertEqual(owner_and_mode(os.path.join(self.home, "fresh")),
                         self.user + (0o755,))


class SecondInstanceTest(DaemonTestBase):
    def test_a_second_daemon_on_the_same_tcp_address_fails_and_the_first_serves_on(self):
        first = self.start(self.write_config())
        other_pid_file = os.path.join(self.dir.name, "other", "tessvane.pid")
        second = Daemon(self.write_config(pid_file=other_pid_file, name="second.conf"))
        self.addCleanup(second.stop)
        self.assertEqual(second.wait_exit(), 1, second.seen)
        self.assertEqual(second.seen[-1], "error: AddressInUse")
        self.assertIn("fatal: exiting on AddressInUse", "\n".join(second.seen))
        self.assertFalse(os.path.exists(other_pid_file))
        self.assertIsNone(first.process.poll())
        for _ in range(4):
            with self.mta() as mta:
                self.assertEqual(mta.negotiate()[0], 6)
                mta.quit()
        with open(self.pid_file) as handle:
            self.assertEqual(handle.read(), "%d\n" % first.process.pid)


class ListFileReplacedTest(DaemonTestBase):
    """A whitelist that a SIGHUP cannot read keeps the old list in force, with
    a warning that names why."""

    def replace_by_fifo(self, path):
        os.unlink(path)
        os.mkfifo(path, 0o644)

    def make_root_only(self, path):
        os.chmod(path, 0o600)

    def test_an_unreadable_whitelist_keeps_the_previous_one(self):
        user = unprivileged_user()
        if user is None:
            self.skipTest("needs root and a user nobody")
        os.chmod(self.dir.name, 0o755)  # nobody may reach the list files
        cases = [("FIFO", self.replace_by_fifo, "NotRegularFile"),
                 ("readable only by root", self.make_root_only, "AccessDenied")]
        for name, spoil, error in cases:
            with self.subTest(name):
                self.port = free_tcp_port()
                whitelist = os.path.join(self.dir.name, "whitelist-%s" % spoil.__name__)
                with open(whitelist, "w") as handle:
                    handle.write("192.0.2.99\n")
                os.chmod(whitelist, 0o644)
                daemon = Daemon(self.write_config(
                    extra="User = nobody\nWhitelistFile = %s\n" % whitelist,
                    pid_file=os.path.join(self.dir.name, spoil.__name__, "tessvane.pid"),
                    name="%s.conf" % spoil.__name__))
                try:
                    self.assertIsNotNone(daemon.wait_line("Tessvane starting"), daemon.seen)
                    self.assertTrue(self.whitelisted("192.0.2.99"))
                    spoil(whitelist)
                    daemon.process.send_signal(signal.SIGHUP)
                    warning = ("reload: failed to re-read whitelist %s: error.%s, keeping previous"
                               % (whitelist, error))
                    self.assertIsNotNone(daemon.wait_line(warning), daemon.seen)
                    self.assertTrue(self.whitelisted("192.0.2.99"))
                finally:
                    daemon.stop()


class ListFilePlantedTest(DaemonTestBase):
    """At start-up the lists are read as root, but only what User could read
    itself is taken: a hard link to a root-only file planted as the whitelist
    is refused, and none of its lines reach the log."""

    def test_a_planted_link_to_a_root_only_file_is_not_read(self):
        if unprivileged_user() is None:
            self.skipTest("needs root and a user nobody")
        os.chmod(self.dir.name, 0o755)
        secret = os.path.join(self.dir.name, "secret")
        with open(secret, "w") as handle:
            handle.write("root-only-secret-line\n192.0.2.77\n")
        os.chmod(secret, 0o600)
        whitelist = os.path.join(self.dir.name, "whitelist")
        os.link(secret, whitelist)
        daemon = self.start(self.write_config(
            extra="User = nobody\nWhitelistFile = %s\n" % whitelist))
        warning = "failed to load whitelist: %s: error.AccessDenied" % whitelist
        self.assertIsNotNone(daemon.wait_line(warning), daemon.seen)
        self.assertFalse(self.whitelisted("192.0.2.77"))
        self.assertNotIn("root-only-secret-line", "".join(daemon.seen))


class SighupStormTest(DaemonTestBase):
    """One worker held in a DNS lookup that is never answered while the
    whitelist is reloaded again and again: the other worker serves on, the
    replaced lists the busy worker may still hold stay bounded, and the last
    list read goes into force once the lookup has timed out."""

    HOLD_S = 10
    SIGHUPS = 60
    # Each list of 81920 entries takes about 1.5 MB; unbounded, the storm
    # would keep about 90 MB of them.
    GROWTH_LIMIT_KIB = 48 * 1024

    def big_whitelist(self, path, extra):
        lines = ["10.%d.%d.%d" % (a, b, c) for a in range(2) for b in range(256)
                 for c in range(1, 161)]
        text = "\n".join(lines + [extra]) + "\n"
        self.assertLessEqual(len(text), 1048576)
        with open(path, "w") as handle:
            handle.write(text)

    def test_many_sighups_during_a_slow_lookup_keep_memory_bounded(self):
        from milter_client import SMFIC_BODYEOB, SMFIC_EOH, SMFIC_HELO, SMFIC_MAIL, SMFIC_RCPT
        from milter_client import cstr

        dns, address = start_dns({"slow.example": {"timeout": True},
                                  "example.com": {"TXT": ["v=spf1 -all"]}})
        if dns is None:
            self.skipTest("port 53 of a loopback address cannot be bound")
        self.addCleanup(dns.stop)
        whitelist = os.path.join(self.dir.name, "whitelist")
        self.big_whitelist(whitelist, "192.0.2.99")
        # Under AddressSanitizer freed memory would sit in quarantine.
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                     "quarantine_size_mb=0"]))
        daemon = self.start(self.write_config(extra="WhitelistFile = %s" % whitelist,
                                              nameserver=address, dns_timeout=self.HOLD_S),
                            env=env)
        held = self.mta()
        self.addCleanup(held.close)
        held.negotiate()
        held.connect("client.example", "198.51.100.7")
        held.step(SMFIC_HELO, cstr("h.example"))
        held.step(SMFIC_MAIL, cstr("<u@slow.example>"))
        held.step(SMFIC_RCPT, cstr("<postmaster@example.net>"))
        held.step(SMFIC_EOH, b"")
        held.send(SMFIC_BODYEOB)
        deadline = time.monotonic() + WAIT_S
        while not any("slow.example" in str(entry) for entry in dns.take_log(clear=False)):
            self.assertLess(time.monotonic(), deadline, "the slow lookup never started")
            time.sleep(0.02)
        started = time.monotonic()

        # The other worker takes new connections meanwhile.
        self.assertTrue(self.whitelisted("192.0.2.99"))

        before = daemon.rss_kib()
        self.big_whitelist(whitelist, "203.0.113.77")
        for count in range(1, self.SIGHUPS + 1):
            daemon.process.send_signal(signal.SIGHUP)
            self.assertTrue(daemon.wait_count("SIGHUP received", count), daemon.seen[-5:])
        # Every reload ends with a published list or an advanced generation.
        deadline = time.monotonic() + WAIT_S
        while (daemon.count_lines("whitelist reloaded from")
               + daemon.count_lines("config generation advanced to")) < self.SIGHUPS:
            self.assertLess(time.monotonic(), deadline, daemon.seen[-5:])
            time.sleep(0.05)
        growth = daemon.rss_kib() - before
        self.assertLess(time.monotonic() - started, self.HOLD_S,
                        "the storm outlasted the slow lookup; the check proves nothing")
        self.assertLess(growth, self.GROWTH_LIMIT_KIB, "RSS grew by %d KiB" % growth)

        # Once the held worker is free, the last list read is in force.
        deadline = time.monotonic() + self.HOLD_S + WAIT_S
        while not self.whitelisted("203.0.113.77"):
            self.assertLess(time.monotonic(), deadline, daemon.seen[-5:])
            time.sleep(0.5)
        held.close()
        daemon.process.send_signal(signal.SIGTERM)
        self.assertEqual(daemon.wait_exit(), 0, daemon.seen[-5:])


class PostfixSocketTest(DaemonTestBase):
    """The README's set-up for Postfix: User = <daemon user>:postfix with
    UMask = 007 gives a socket the postfix user may connect to, in a
    directory start-up made for the daemon's user."""

    def test_the_postfix_user_reaches_the_socket(self):
        import grp
        import pwd

        user = unprivileged_user()
        try:
            postfix = pwd.getpwnam("postfix")
            postfix_gid = grp.getgrnam("postfix").gr_gid
        except KeyError:
            self.skipTest("needs a user and a group postfix")
        if user is None:
            self.skipTest("needs root and a user nobody")
        os.chmod(self.dir.name, 0o755)
        spool = os.path.join(self.dir.name, "spool")
        os.mkdir(spool, 0o755)
        path = os.path.join(spool, "tessvane", "milter.sock")
        daemon = self.start(self.write_config(extra="User = nobody:postfix\nUMask = 007\n",
                                              listener="unix:" + path))
        self.assertEqual(owner_and_mode(os.path.dirname(path)), (user[0], postfix_gid, 0o755))
        deadline = time.monotonic() + WAIT_S
        while not os.path.exists(path):
            self.assertLess(time.monotonic(), deadline, daemon.seen)
            time.sleep(0.05)
        self.assertEqual(owner_and_mode(path), (user[0], postfix_gid, 0o770))
        child = os.fork()
        if child == 0:
            code = 1
            try:
                os.setgroups([])
                os.setgid(postfix.pw_gid)
                os.setuid(postfix.pw_uid)
                with self.mta(unix_path=path) as mta:
                    code = 0 if mta.negotiate()[0] == 6 else 1
                    mta.quit()
            finally:
                os._exit(code)
        _, status = os.waitpid(child, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        daemon.process.send_signal(signal.SIGTERM)
        self.assertEqual(daemon.wait_exit(), 0, daemon.seen)
        self.assertFalse(os.path.exists(path))
        self.assertFalse(os.path.exists(self.pid_file))


def process_alive(pid):
    from processes import process_alive as alive

    return alive(pid)


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


class PublishingDaemonTest(DaemonTestBase):
    """A collector bound before the daemon starts hears its first verdict."""

    def collect(self, context, endpoint_box, frames, stop):
        """The collector as one runs: bound, subscribed, always receiving (a
        SUB socket sends its subscription only while its thread serves it)."""
        import zmq

        collector = context.socket(zmq.SUB)
        collector.setsockopt(zmq.LINGER, 0)
        collector.setsockopt(zmq.SUBSCRIBE, b"spf.result ")
        collector.bind("tcp://127.0.0.1:*")
        monitor = collector.get_monitor_socket(zmq.EVENT_HANDSHAKE_SUCCEEDED)
        endpoint_box.put(collector.getsockopt(zmq.LAST_ENDPOINT).decode())
        poller = zmq.Poller()
        poller.register(collector, zmq.POLLIN)
        poller.register(monitor, zmq.POLLIN)
        while not stop.is_set():
            for sock, _ in poller.poll(50):
                frames.put(("event", sock.recv()) if sock is collector
                           else ("handshake", sock.recv_multipart()))
        monitor.close(0)
        collector.close(0)

    def test_workers_connect_at_start_and_the_first_verdict_arrives(self):
        import json
        import zmq

        context = zmq.Context()
        self.addCleanup(context.term)
        endpoint_box, frames, stop = queue.Queue(), queue.Queue(), threading.Event()
        collector = threading.Thread(target=self.collect,
                                     args=(context, endpoint_box, frames, stop))
        collector.start()
        self.addCleanup(collector.join, WAIT_S)
        self.addCleanup(stop.set)
        endpoint = endpoint_box.get(timeout=WAIT_S)

        self.start(self.write_config(extra="ZmqEndpoint = %s" % endpoint))
        # Both workers connect before there is any verdict to publish.
        for _ in range(2):
            kind, _ = frames.get(timeout=WAIT_S)
            self.assertEqual(kind, "handshake")
        time.sleep(0.2)  # the subscriptions cross the new connections

        # A malformed client address is a verdict of its own: no DNS needed.
        with self.mta() as mta:
            mta.negotiate()
            mta.message(client_addr="not-an-address", helo="mail.example.com",
                        sender="<user@example.com>", headers=[("Subject", "first")])
            mta.quit()
        try:
            kind, frame = frames.get(timeout=WAIT_S)
        except queue.Empty:
            self.fail("the first verdict was lost")
        self.assertEqual(kind, "event")
        topic, _, event = frame.partition(b" ")
        self.assertEqual(topic, b"spf.result")
        self.assertEqual(json.loads(event.decode()),
                         {"client_ip": "not-an-address", "helo": "mail.example.com",
                          "mail_from": "user@example.com", "result": "permerror",
                          "domain": "example.com"})


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
