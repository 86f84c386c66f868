#!/usr/bin/python3
"""Debian's Postfix in front of the built tessvane daemon.

Everything runs inside a private network namespace that the test makes
(loopback only, so nothing reaches or comes from the host's network), with
configuration, queue and mailboxes under a temporary directory; the host's
Postfix configuration is never read or touched:

    swaks ──XCLIENT──▶ Postfix "mx" 127.0.0.2:25 ──milter──▶ tessvane (UNIX socket)
    swaks ──▶ Postfix "relay" 127.0.0.1:25 ──SMTP──▶ "mx"              │
                                                                       ▼
    mailbox: virtual(8) maildir                         NSD 127.0.0.53:53 (the zone)

The outer process makes the namespace, runs itself inside it, and removes it
afterwards, stopping by pid whatever is still running there. The inner run
checks the daemon's socket (its account, Postfix's group, mode 0770), the
Authentication-Results bytes Postfix delivers for each result,
the removal of forged fields, a SIGHUP with a rewritten whitelist, SIGTERM
with an SMTP session (and so a milter connection) open, and that messages
sent while the daemon is down are deferred by Postfix and, after a restart,
delivered exactly once with their header.

Exit status 77 (skipped) when not root or when Postfix, NSD, swaks or network
namespaces are missing.

Usage: postfix_test.py --daemon PATH
"""

import argparse
import grp
import json
import os
import pwd
import shutil
import signal
import smtplib
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from foreground_daemon import ForegroundDaemon  # noqa: E402
from processes import stop_pid  # noqa: E402

SKIP = 77
WAIT_S = 20.0
INNER_LIMIT_S = 150
AUTHSERV_ID = "mx.tessvane.test"
MX = "127.0.0.2"
RELAY = "127.0.0.1"
NAMESERVER = "127.0.0.53"
HELO = "relay.example"
RCPT = "bob@example.net"
NOBODY = 65534
ARGS = None

ZONE = """$ORIGIN tessvane.test.
$TTL 60
@         SOA   ns hostmaster 1 3600 600 86400 60
@         NS    ns
ns        A     127.0.0.53
pass      TXT   "v=spf1 ip4:192.0.2.0/24 ip6:2001:db8::/32 -all"
soft      TXT   "v=spf1 ip4:192.0.2.0/24 ~all"
neutral   TXT   "v=spf1 ?all"
nospf     TXT   "site-verification=4f2a9c"
broken    TXT   "v=spf1 ip4:192.0.2.0/24 include -all"
relayed   TXT   "v=spf1 ip4:127.0.0.1 -all"
"""


def wait_until(predicate, timeout=WAIT_S, step=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


# ---------------------------------------------------------------- the rig


class Daemon(ForegroundDaemon):
    """tessvane in the foreground, its standard error collected line by line."""

    def __init__(self, config):
        super().__init__([ARGS.daemon, "-c", config], wait_s=WAIT_S)


def postfix_main_cf(base, name, listen, extra):
    return "\n".join([
        "compatibility_level = 3.6",
        "queue_directory = %s/spool" % base,
        "data_directory = %s/data" % base,
        "maillog_file = %s/maillog" % base,
        "maillog_file_prefixes = %s" % base,
        "myhostname = %s.tessvane.test" % name,
        "mydestination =",
        "inet_interfaces = %s" % listen,
        "inet_protocols = all",
        "mynetworks = 127.0.0.0/8",
        "smtpd_peername_lookup = no",
        "disable_dns_lookups = yes",
        "smtp_dns_support_level = disabled",
        "smtputf8_enable = no",
        "biff = no",
        "alias_maps =",
        "alias_database =",
        "local_recipient_maps =",
        "smtpd_authorized_xclient_hosts = 127.0.0.0/8",
        "smtpd_relay_restrictions = permit_mynetworks reject_unauth_destination",
    ] + extra) + "\n"


# Every service runs outside a chroot: the queue is in the temporary directory.
MASTER_CF = """{listen}:smtp inet n - n - - smtpd
pickup    unix  n - n 60    1 pickup
cleanup   unix  n - n -     0 cleanup
qmgr      unix  n - n 300   1 qmgr
rewrite   unix  - - n -     - trivial-rewrite
bounce    unix  - - n -     0 bounce
defer     unix  - - n -     0 bounce
trace     unix  - - n -     0 bounce
verify    unix  - - n -     1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n -     - proxymap
smtp      unix  - - n -     - smtp
relay     unix  - - n -     - smtp
showq     unix  n - n -     - showq
error     unix  - - n -     - error
retry     unix  - - n -     - error
discard   unix  - - n -     - discard
virtual   unix  - n n -     - virtual
anvil     unix  - - n -     1 anvil
scache    unix  - - n -     1 scache
postlog   unix-dgram n - n - 1 postlogd
"""


class Postfix:
    """One private Postfix instance: postfix -c <its own config_directory>."""

    def __init__(self, base, name, listen, extra):
        self.base = base
        self.config = os.path.join(base, "etc")
        for sub in ("etc", "spool", "data"):
            os.makedirs(os.path.join(base, sub))
        shutil.chown(os.path.join(base, "data"), user="postfix")
        with open(os.path.join(self.config, "main.cf"), "w") as handle:
            handle.write(postfix_main_cf(base, name, listen, extra))
        with open(os.path.join(self.config, "master.cf"), "w") as handle:
            handle.write(MASTER_CF.format(listen=listen))
        self.command("start")
        self.master = int(wait_until(self._master_pid) or 0)
        if not self.master:
            raise RuntimeError("postfix %s did not start:\n%s" % (name, self.log()))

    def _master_pid(self):
        try:
            with open(os.path.join(self.base, "spool", "pid", "master.pid")) as handle:
                return handle.read().strip()
        except OSError:
            return None

    def command(self, *words):
        return subprocess.run(["postfix", "-c", self.config] + list(words),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)

    def queue(self):
        """The queued messages: postqueue -j, one JSON object per message."""
        out = subprocess.run(["postqueue", "-c", self.config, "-j"], capture_output=True,
                             timeout=30, stdin=subprocess.DEVNULL).stdout.decode()
        return [json.loads(line) for line in out.splitlines() if line.startswith("{")]

    def flush(self):
        subprocess.run(["postqueue", "-c", self.config, "-f"], capture_output=True, timeout=30,
                       stdin=subprocess.DEVNULL)

    def log(self):
        try:
            with open(os.path.join(self.base, "maillog")) as handle:
                return handle.read()
        except OSError:
            return ""

    def stop(self):
        self.command("stop")
        if self.master:
            stop_pid(self.master)


def start_nsd(base):
    os.makedirs(base)
    with open(os.path.join(base, "tessvane.test.zone"), "w") as handle:
        handle.write(ZONE)
    conf = os.path.join(base, "nsd.conf")
    with open(conf, "w") as handle:
        handle.write("""server:
  ip-address: {ns}
  port: 53
  server-count: 1
  username: ""
  chroot: ""
  zonesdir: "{base}"
  database: ""
  zonelistfile: "{base}/zone.list"
  xfrdfile: "{base}/xfrd.state"
  xfrdir: "{base}"
  pidfile: "{base}/nsd.pid"
  logfile: "{base}/nsd.log"
remote-control:
  control-enable: no
zone:
  name: tessvane.test
  zonefile: tessvane.test.zone
""".format(ns=NAMESERVER, base=base))
    process = subprocess.Popen(["nsd", "-d", "-c", conf], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def answers():
        import dns.message
        import dns.query
        try:
            reply = dns.query.udp(dns.message.make_query("pass.tessvane.test", "TXT"),
                                  NAMESERVER, timeout=0.5)
            return reply.answer
        except Exception:
            return None

    if not wait_until(answers):
        stop_pid(process.pid)
        raise RuntimeError("nsd did not answer")
    return process


class Mailbox:
    """The maildir that virtual(8) delivers every recipient to."""

    def __init__(self, path):
        self.new = os.path.join(path, "inbox", "new")

    def messages(self, message_id):
        """Every delivered copy of the message: a list of header lists, each
        header as (name, raw value with its folding, line feeds as stored)."""
        copies = []
        try:
            names = sorted(os.listdir(self.new))
        except FileNotFoundError:
            return copies
        for name in names:
            with open(os.path.join(self.new, name), "rb") as handle:
                head = handle.read().decode("latin-1").split("\n\n", 1)[0]
            fields = []
            for line in head.split("\n"):
                if line[:1] in (" ", "\t") and fields:
                    fields[-1][1] += "\n" + line
                else:
                    field, _, value = line.partition(":")
                    fields.append([field, value[1:] if value.startswith(" ") else value])
            if any(f.lower() == "message-id" and v == "<%s>" % message_id for f, v in fields):
                copies.append([(f, v) for f, v in fields])
        return copies

    def wait(self, message_id):
        copies = wait_until(lambda: self.messages(message_id))
        if not copies:
            raise AssertionError("message %s was not delivered" % message_id)
        time.sleep(0.2)  # a second copy would follow closely
        return self.messages(message_id)


def auth_results(fields):
    return [value for name, value in fields if name.lower() == "authentication-results"]


def message_text(message_id, sender, extra_headers=()):
    lines = ["From: <%s>" % sender, "To: <%s>" % RCPT, "Subject: %s" % message_id,
             "Message-Id: <%s>" % message_id] + list(extra_headers) + ["", "Test body.", ""]
    return "\r\n".join(lines)


def write_message(directory, message_id, sender, extra_headers=()):
    path = os.path.join(directory, message_id + ".eml")
    with open(path, "w") as handle:
        handle.write(message_text(message_id, sender, extra_headers))
    return path


def swaks(server, message, sender, client=None):
    """One SMTP transaction; returns (exit status, transcript)."""
    command = ["swaks", "--server", server, "--port", "25", "--timeout", "15",
               "--from", sender, "--to", RCPT, "--helo", HELO, "--data", "@" + message]
    if client:
        command += ["--xclient-addr", client, "--xclient-name", "client.example",
                    "--xclient-helo", HELO]
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode(errors="replace")


class Rig:
    """NSD, the daemon and the two Postfix instances, started once."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tessvane-postfix.")
        os.chmod(self.dir, 0o755)  # virtual(8) delivers as nobody
        self.stack = []
        self.daemon = None
        try:
            self._build()
        except BaseException:
            self.close()
            raise

    def _build(self):
        mail = os.path.join(self.dir, "mail")
        os.makedirs(mail)
        os.chown(mail, NOBODY, NOBODY)
        self.mailbox = Mailbox(mail)
        self.whitelist = os.path.join(self.dir, "whitelist")
        with open(self.whitelist, "w") as handle:
            handle.write("# clients that pass without a lookup\n203.0.113.9\n")
        # As an administrator would set it up: the daemon runs as an account
        # of its own with Postfix's group, and its UNIX-domain socket is left
        # writable for that group by the mask.
        self.socket = os.path.join(self.dir, "milter", "tessvane.sock")
        self.config = os.path.join(self.dir, "tessvane.conf")
        with open(self.config, "w") as handle:
            handle.write("[global]\nAuthservID = %s\nForeground = yes\nSyslog = no\n"
                         "PidFile = %s/run/tessvane.pid\nWorkerThreads = 2\n"
                         "User = nobody:postfix\nUMask = 007\n"
                         "DnsNameserver = %s\nDnsTimeout = 2\nWhitelistFile = %s\n"
                         "[listener:postfix]\nSocket = unix:%s\n"
                         % (AUTHSERV_ID, self.dir, NAMESERVER, self.whitelist, self.socket))
        self.nsd = start_nsd(os.path.join(self.dir, "nsd"))
        self.stack.append(lambda: (stop_pid(self.nsd.pid), self.nsd.wait(timeout=WAIT_S)))
        self.start_daemon()
        self.mx = Postfix(os.path.join(self.dir, "mx"), "mx", MX, [
            "virtual_mailbox_domains = example.net",
            "virtual_mailbox_base = %s" % mail,
            "virtual_mailbox_maps = static:inbox/",
            "virtual_uid_maps = static:%d" % NOBODY,
            "virtual_gid_maps = static:%d" % NOBODY,
            "smtpd_milters = unix:%s" % self.socket,
            "milter_protocol = 6",
            "milter_default_action = tempfail",
            "milter_connect_timeout = 2s",
        ])
        self.stack.append(self.mx.stop)
        self.relay = Postfix(os.path.join(self.dir, "relay"), "relay", RELAY, [
            "relay_domains = example.net",
            "relayhost = [%s]:25" % MX,
            "queue_run_delay = 1s",
            "minimal_backoff_time = 1s",
            "maximal_backoff_time = 2s",
        ])
        self.stack.append(self.relay.stop)

    def start_daemon(self):
        if self.daemon:
            self.daemon.stop()
        self.daemon = Daemon(self.config)
        if not self.daemon.wait_line("Tessvane starting"):
            raise RuntimeError("the daemon did not start: %r" % self.daemon.seen)

        def serving():
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                    probe.settimeout(1)
                    probe.connect(self.socket)
                return True
            except OSError:
                return False

        if not wait_until(serving):
            raise RuntimeError("the daemon does not accept connections")

    def close(self):
        if self.daemon:
            self.daemon.stop()
        while self.stack:
            self.stack.pop()()
        shutil.rmtree(self.dir, ignore_errors=True)


# ---------------------------------------------------------------- the checks


def folded(*lines):
    return "\n\t".join(lines)


# (message id, sender, client, exact Authentication-Results value delivered)
VERDICTS = [
    ("pass", "alice@pass.tessvane.test", "192.0.2.25", folded(
        "mx.tessvane.test;",
        "spf=pass smtp.client-ip=192.0.2.25 smtp.mailfrom=pass.tessvane.test",
        "smtp.helo=relay.example")),
    ("pass6", "alice@pass.tessvane.test", "IPv6:2001:db8::25", folded(
        "mx.tessvane.test;",
        'spf=pass smtp.client-ip="2001:db8::25" smtp.mailfrom=pass.tessvane.test',
        "smtp.helo=relay.example")),
    ("fail", "alice@pass.tessvane.test", "198.51.100.7", folded(
        "mx.tessvane.test;",
        "spf=fail smtp.client-ip=198.51.100.7 smtp.mailfrom=pass.tessvane.test",
        "smtp.helo=relay.example")),
    ("softfail", "bob@soft.tessvane.test", "198.51.100.7", folded(
        "mx.tessvane.test;",
        "spf=softfail smtp.client-ip=198.51.100.7 smtp.mailfrom=soft.tessvane.test",
        "smtp.helo=relay.example")),
    ("neutral", "carol@neutral.tessvane.test", "198.51.100.7", folded(
        "mx.tessvane.test;",
        "spf=neutral smtp.client-ip=198.51.100.7 smtp.mailfrom=neutral.tessvane.test",
        "smtp.helo=relay.example")),
    ("none", "dave@nospf.tessvane.test", "198.51.100.7", folded(
        "mx.tessvane.test;",
        "spf=none smtp.client-ip=198.51.100.7 smtp.mailfrom=nospf.tessvane.test",
        "smtp.helo=relay.example")),
    ("permerror", "erin@broken.tessvane.test", "192.0.2.25", folded(
        "mx.tessvane.test;",
        "spf=permerror smtp.client-ip=192.0.2.25 smtp.mailfrom=broken.tessvane.test",
        "smtp.helo=relay.example")),
    ("whitelisted", "frank@pass.tessvane.test", "203.0.113.9", folded(
        "mx.tessvane.test;",
        "spf=pass (client is whitelisted) smtp.client-ip=203.0.113.9",
        "smtp.mailfrom=pass.tessvane.test smtp.helo=relay.example")),
]


class PostfixTest(unittest.TestCase):
    """The methods run in name order on one rig: step 4 stops the daemon,
    step 5 starts it again and step 6 restarts it with MilterOneRoundTrip."""

    rig = None

    @classmethod
    def setUpClass(cls):
        cls.rig = Rig()

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def send(self, message_id, sender, client, extra_headers=(), server=MX):
        message = write_message(self.rig.dir, message_id, sender, extra_headers)
        status, transcript = swaks(server, message, sender, client)
        self.assertEqual(status, 0, transcript + self.rig.mx.log()[-3000:])
        return self.rig.mailbox.wait(message_id)

    def ours(self, copies):
        self.assertEqual(len(copies), 1, copies)
        return [value for value in auth_results(copies[0]) if value.startswith(AUTHSERV_ID)]

    def test_0_the_socket_belongs_to_the_daemons_account_and_postfix_group(self):
        info = os.stat(self.rig.socket)
        self.assertTrue(stat.S_ISSOCK(info.st_mode))
        self.assertEqual(stat.S_IMODE(info.st_mode), 0o770)
        self.assertEqual((pwd.getpwuid(info.st_uid).pw_name, grp.getgrgid(info.st_gid).gr_name),
                         ("nobody", "postfix"))

    def test_1_each_result_is_delivered_in_its_header(self):
        for message_id, sender, client, expected in VERDICTS:
            with self.subTest(message_id):
                self.assertEqual(self.ours(self.send(message_id, sender, client)), [expected])
                # Ours is the first header: inserted above Postfix's Received.
                fields = self.rig.mailbox.messages(message_id)[0]
                names = [name.lower() for name, _ in fields]
                self.assertLess(names.index("authentication-results"), names.index("received"))
        self.assertIsNotNone(self.rig.daemon.wait_line(
            "client=198.51.100.7 from=alice@pass.tessvane.test result=fail"))
        self.assertIsNotNone(self.rig.daemon.wait_line(
            "client=203.0.113.9 from=frank@pass.tessvane.test result=pass (whitelisted)"))

    def test_2_forged_fields_are_removed_and_others_kept(self):
        copies = self.send("forged", "alice@pass.tessvane.test", "192.0.2.25", [
            "Authentication-Results: mx.tessvane.test; spf=pass smtp.mailfrom=forged.example",
            "Authentication-Results: other.example; spf=fail smtp.mailfrom=pass.tessvane.test",
            "Authentication-Results: MX.TESSVANE.TEST;\r\n\tspf=pass (forged, folded)",
            "Authentication-Results: mx.tessvane.test; dkim=pass header.d=pass.tessvane.test",
        ])
        self.assertEqual(auth_results(copies[0]), [
            VERDICTS[0][3],
            "other.example; spf=fail smtp.mailfrom=pass.tessvane.test",
            "mx.tessvane.test; dkim=pass header.d=pass.tessvane.test",
        ])
        self.assertIsNotNone(self.rig.daemon.wait_line(
            "removed 2 forged Authentication-Results header(s) claiming authserv-id "
            + AUTHSERV_ID))

    def test_3_sighup_puts_the_rewritten_whitelist_in_force(self):
        with open(self.rig.whitelist, "w") as handle:
            handle.write("198.51.100.0/24\n")
        self.rig.daemon.process.send_signal(signal.SIGHUP)
        self.assertIsNotNone(self.rig.daemon.wait_line(
            "whitelist reloaded from " + self.rig.whitelist))
        self.assertEqual(self.ours(self.send("after-hup", "alice@pass.tessvane.test",
                                             "198.51.100.7")), [folded(
            "mx.tessvane.test;",
            "spf=pass (client is whitelisted) smtp.client-ip=198.51.100.7",
            "smtp.mailfrom=pass.tessvane.test smtp.helo=relay.example")])
        # The address that the old list named is evaluated again.
        self.assertEqual(self.ours(self.send("after-hup-old", "alice@pass.tessvane.test",
                                             "203.0.113.9")), [folded(
            "mx.tessvane.test;",
            "spf=fail smtp.client-ip=203.0.113.9 smtp.mailfrom=pass.tessvane.test",
            "smtp.helo=relay.example")])

    def test_4_sigterm_serves_the_open_session_to_its_end(self):
        daemon = self.rig.daemon
        smtp = smtplib.SMTP(MX, 25, timeout=WAIT_S)
        try:
            smtp.ehlo(HELO)
            code, _ = smtp.docmd("XCLIENT", "ADDR=192.0.2.25 NAME=client.example HELO=" + HELO)
            self.assertEqual(code, 220)
            smtp.ehlo(HELO)
            self.assertEqual(smtp.mail("alice@pass.tessvane.test")[0], 250)
            self.assertEqual(smtp.rcpt(RCPT)[0], 250)
            # Postfix holds a milter connection for this session now.
            daemon.process.send_signal(signal.SIGTERM)
            self.assertIsNotNone(daemon.wait_line("shutdown signal 15 received, draining"))
            time.sleep(0.3)
            self.assertIsNone(daemon.process.poll(), "the daemon left an open session")
            text = message_text("draining", "alice@pass.tessvane.test")
            self.assertEqual(smtp.data(text.encode())[0], 250)
            smtp.quit()
        finally:
            smtp.close()
        self.assertEqual(daemon.wait_exit(), 0, daemon.seen)
        self.assertEqual(self.ours(self.rig.mailbox.wait("draining")), [VERDICTS[0][3]])

    def test_5_mail_sent_while_down_is_deferred_then_delivered_once(self):
        self.assertIsNotNone(self.rig.daemon.process.poll(), "step 4 stops the daemon")
        # Straight to the MX, the SMTP client is told to come back later.
        message = write_message(self.rig.dir, "refused", "alice@pass.tessvane.test")
        status, transcript = swaks(MX, message, "alice@pass.tessvane.test", "192.0.2.25")
        self.assertNotEqual(status, 0)
        self.assertIn("451 4.7.1", transcript)
        # Through the relay, Postfix keeps the messages and retries. The MX
        # sees the relay as the client, which the sender's record names.
        ids = ["queued-%d" % n for n in range(3)]
        for message_id in ids:
            sender = message_id + "@relayed.tessvane.test"
            status, transcript = swaks(RELAY, write_message(self.rig.dir, message_id, sender),
                                       sender)
            self.assertEqual(status, 0, transcript)

        def all_deferred():
            # Each queued, and each already turned away once by the MX.
            entries = self.rig.relay.queue()
            return len(entries) == len(ids) and all(
                "451 4.7.1" in recipient.get("delay_reason", "")
                for entry in entries for recipient in entry["recipients"])

        self.assertTrue(wait_until(all_deferred), self.rig.relay.log()[-3000:])
        self.assertIn("451 4.7.1", self.rig.relay.log())
        for message_id in ids:
            self.assertEqual(self.rig.mailbox.messages(message_id), [])

        self.rig.start_daemon()
        self.rig.relay.flush()
        for message_id in ids:
            copies = self.rig.mailbox.wait(message_id)
            self.assertEqual(self.ours(copies), [folded(
                "mx.tessvane.test;",
                "spf=pass smtp.client-ip=127.0.0.1 smtp.mailfrom=relayed.tessvane.test",
                "smtp.helo=relay.tessvane.test")], message_id)
        self.assertTrue(wait_until(lambda: not self.rig.relay.queue()))
        self.assertEqual(self.rig.mailbox.messages("refused"), [])

    def test_6_one_round_trip_delivers_the_same_headers(self):
        # Postfix offers protocol 6's no-reply flags: with the key the daemon
        # takes them, and an answer it sent to an unanswered step would make
        # Postfix give up on the milter and tempfail the message.
        with open(self.rig.config) as handle:
            config = handle.read()
        with open(self.rig.config, "w") as handle:
            handle.write(config.replace("[listener:postfix]",
                                        "MilterOneRoundTrip = yes\n[listener:postfix]"))
        # The whitelist of the verdict table again (step 3 rewrote it).
        with open(self.rig.whitelist, "w") as handle:
            handle.write("203.0.113.9\n")
        self.rig.start_daemon()
        log_start = len(self.rig.mx.log())
        for message_id, sender, client, expected in VERDICTS:
            with self.subTest(message_id):
                copies = self.send(message_id + "-1rt", sender, client)
                self.assertEqual(self.ours(copies), [expected])
        copies = self.send("forged-1rt", "alice@pass.tessvane.test", "192.0.2.25", [
            "Authentication-Results: mx.tessvane.test; spf=pass smtp.mailfrom=forged.example",
        ])
        self.assertEqual(auth_results(copies[0]), [VERDICTS[0][3]])
        self.assertIsNotNone(self.rig.daemon.wait_line(
            "client=198.51.100.7 from=alice@pass.tessvane.test result=fail"))
        warnings = [line for line in self.rig.mx.log()[log_start:].splitlines()
                    if "warning" in line and "milter" in line]
        self.assertEqual(warnings, [])


# ---------------------------------------------------------------- namespace


def missing_prerequisite():
    if os.geteuid() != 0:
        return "not root"
    for tool in ("ip", "postfix", "postqueue", "nsd", "swaks"):
        if shutil.which(tool) is None:
            return "%s is not installed" % tool
    return None


def run_in_namespace(argv):
    """Makes the namespace, runs argv inside it, removes it; the exit status."""
    name = "tessvane-mta-%d" % os.getpid()
    made = subprocess.run(["ip", "netns", "add", name], capture_output=True, timeout=30)
    if made.returncode != 0:
        print("skipped: cannot make a network namespace: %s" % made.stderr.decode().strip())
        return SKIP
    try:
        inside = ["ip", "netns", "exec", name]
        subprocess.run(inside + ["ip", "link", "set", "lo", "up"], check=True, timeout=30)
        # The whole of 127/8 reaches lo, but Postfix binds only addresses it
        # finds on an interface.
        for address in (MX, NAMESERVER):
            subprocess.run(inside + ["ip", "addr", "add", address + "/8", "dev", "lo"],
                           check=True, timeout=30)
        inner = subprocess.Popen(inside + argv)
        try:
            return inner.wait(timeout=INNER_LIMIT_S)
        except subprocess.TimeoutExpired:
            print("the run inside the namespace took too long")
            stop_pid(inner.pid)
            inner.wait()
            return 1
    finally:
        left = subprocess.run(["ip", "netns", "pids", name], capture_output=True, timeout=30)
        for pid in left.stdout.decode().split():
            stop_pid(int(pid), timeout=5)
        subprocess.run(["ip", "netns", "del", name], timeout=30)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--daemon", required=True)
    parser.add_argument("--inside", action="store_true")
    ARGS, rest = parser.parse_known_args()
    ARGS.daemon = os.path.abspath(ARGS.daemon)
    if not ARGS.inside:
        reason = missing_prerequisite()
        if reason:
            print("skipped: " + reason)
            return SKIP
        return run_in_namespace([sys.executable, os.path.abspath(__file__), "--inside",
                                 "--daemon", ARGS.daemon] + rest)
    program = unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
