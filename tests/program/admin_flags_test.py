#!/usr/bin/python3
"""The administrator's flags of the built daemon: -V, and -t checking a
configuration file and its two list files without starting anything.

Usage: admin_flags_test.py --daemon PATH --version X.Y
"""

import argparse
import os
import socket
import subprocess
import sys
import tempfile
import unittest

ARGS = None


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class AdminFlags(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.dir = scratch.name
        self.port = free_tcp_port()
        self.pid_file = os.path.join(self.dir, "run", "tessvane.pid")

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as handle:
            handle.write(text)
        return path

    def config(self, extra=""):
        return self.write("tessvane.conf",
                          "[global]\nAuthservID = mx.example.net\nPidFile = %s\n%s\n"
                          "[listener:mta]\nSocket = inet:%d@127.0.0.1\n"
                          % (self.pid_file, extra, self.port))

    def tessvane(self, *args):
        done = subprocess.run([ARGS.daemon] + list(args), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=30)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def assert_nothing_started(self):
        self.assertFalse(os.path.exists(self.pid_file))
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            self.assertNotEqual(probe.connect_ex(("127.0.0.1", self.port)), 0)

    def test_version(self):
        self.assertEqual(self.tessvane("-V"), (0, "tessvane %s\n" % ARGS.version, ""))

    def test_a_clean_configuration_checks_ok_in_both_argument_orders(self):
        whitelist = self.write("whitelist", "# friends\n192.0.2.7\n2001:db8::/32\n\n")
        path = self.config("WhitelistFile = %s\nDnsNameserver = 127.0.0.1, ::1" % whitelist)
        for args in (["-t", "-c", path], ["-c", path, "-t"]):
            self.assertEqual(self.tessvane(*args),
                             (0, "tessvane: %s: configuration OK\n" % path, ""), args)
        self.assert_nothing_started()

    def test_every_problem_is_named_and_the_status_is_one(self):
        whitelist = self.write("whitelist", "192.0.2.7\nmail.example.com\n10.0.0.0/8 # office\n")
        relays = os.path.join(self.dir, "absent-relays")
        path = self.config("WhitelistFile = %s\nTrustedRelaysFile = %s\nMaxConnections = 12x\n"
                           "Foreground = on\nDnsNameserver = 127.0.0.1, resolver.example\n"
                           "LogLevel = notice\n" % (whitelist, relays))
        status, out, err = self.tessvane("-t", "-c", path)
        self.assertEqual(status, 1)
        self.assertEqual(out.splitlines(), [
            "tessvane: config: [global] Foreground = on is malformed; Foreground keeps its default",
            "tessvane: config: [global] MaxConnections = 12x is malformed; "
            "MaxConnections keeps its default",
            "tessvane: config: [global] LogLevel = notice is malformed; LogLevel keeps its default",
            "tessvane: config: [global] DnsNameserver entry resolver.example is not an IPv4 or "
            "IPv6 address",
            "tessvane: whitelist %s:2: ignoring unparseable entry mail.example.com" % whitelist,
            "tessvane: whitelist %s:3: ignoring unparseable entry 10.0.0.0/8_#_office" % whitelist,
            "tessvane: trusted relays %s: cannot be read (error.FileNotFound); the list would "
            "stay empty" % relays,
            "tessvane: %s: 7 problems" % path,
        ])
        self.assertEqual(err, "")
        self.assert_nothing_started()

    def test_unknown_keys_are_all_named_and_the_lists_still_checked(self):
        whitelist = self.write("whitelist", "not-an-address\n")
        path = self.config("WhitelistFile = %s\nAuthServID = typo\nNoSuchKey = 1" % whitelist)
        status, out, err = self.tessvane("-c", path, "-t")
        self.assertEqual(status, 1)
        self.assertIn('unrecognized key "AuthServID"', out)
        self.assertIn('unrecognized key "NoSuchKey"', out)
        self.assertIn("ignoring unparseable entry not-an-address", out)
        self.assertTrue(out.endswith(": 3 problems; the daemon would not start\n"), out)
        self.assertEqual(err, "")

    def test_what_would_stop_start_up(self):
        cases = [
            ("UMask = 8", "UMask = 8 is not an octal number"),
            ("User = no-such-user-tessvane", "User = no-such-user-tessvane does not resolve: "
             "error.UserNotFound"),
            ("[listener:bad]\nSocket = inet:99999", "error.InvalidListenerSocket"),
        ]
        for extra, fragment in cases:
            with self.subTest(extra):
                status, out, _ = self.tessvane("-t", "-c", self.config(extra))
                self.assertEqual(status, 1)
                self.assertIn(fragment, out)
        absent = os.path.join(self.dir, "absent.conf")
        status, out, err = self.tessvane("-t", "-c", absent)
        self.assertEqual(status, 1)
        self.assertIn("failed to load config %s: error.FileNotFound" % absent, err)
        self.assertIn("%s: 1 problem; the daemon would not start" % absent, out)
        self.assert_nothing_started()

    def test_other_command_lines_stay_the_daemons(self):
        for args in (["-t"], ["-V", "extra"], ["-t", "-c"]):
            status, _, err = self.tessvane(*args)
            self.assertEqual(status, 1, args)
            self.assertIn("usage: tessvane -c <config-file>", err, args)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--version", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
