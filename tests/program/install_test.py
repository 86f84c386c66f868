#!/usr/bin/python3
"""The installed tree: cmake --install into a temporary DESTDIR, then the
files an administrator gets, run as installed.

    InstalledTree       the paths and modes under the prefix; the programs run
    SampleConfiguration the sample loads clean, names every key of the manual
                        page with the same default, and every key is known
    SystemdUnit         systemd-analyze verify finds nothing to say
    RcScript            sh -n, the rules of rc.subr(8), and a run under a
                        small stand-in for /etc/rc.subr

Usage: install_test.py --build DIR --prefix PATH --sysconfdir PATH
                       --version X.Y [unittest arguments, e.g. SystemdUnit]
"""

import argparse
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

ARGS = None
TREE = None  # the DESTDIR, installed once for all classes


def setUpModule():
    global TREE
    TREE = tempfile.mkdtemp(prefix="tessvane-install.")
    env = dict(os.environ, DESTDIR=TREE)
    done = subprocess.run(["cmake", "--install", ARGS.build], env=env, capture_output=True,
                          timeout=120)
    if done.returncode != 0:
        raise RuntimeError("cmake --install failed:\n" + done.stdout.decode()
                           + done.stderr.decode())


def tearDownModule():
    shutil.rmtree(TREE, ignore_errors=True)


def installed(path):
    """The file that the final path names, inside the DESTDIR."""
    return TREE + path


def under_prefix(relative):
    return os.path.join(ARGS.prefix, relative)


def run(argv, timeout=30, **kwargs):
    return subprocess.run(argv, capture_output=True, timeout=timeout,
                          stdin=subprocess.DEVNULL, **kwargs)


class InstalledTree(unittest.TestCase):
    def expected(self):
        """Final path -> mode."""
        return {
            under_prefix("sbin/tessvane"): 0o755,
            under_prefix("bin/tessvane-check"): 0o755,
            under_prefix("share/man/man1/tessvane-check.1"): 0o644,
            under_prefix("share/man/man5/tessvane.conf.5"): 0o644,
            under_prefix("share/man/man8/tessvane.8"): 0o644,
            os.path.join(ARGS.sysconfdir, "tessvane.conf.sample"): 0o644,
            os.path.join(ARGS.sysconfdir, "rc.d/tessvane"): 0o755,
            under_prefix("lib/systemd/system/tessvane.service"): 0o644,
            under_prefix("share/tessvane/tessvane-collector"): 0o755,
        }

    def test_every_file_is_in_its_place_with_its_mode_and_nothing_else(self):
        found = {}
        for root, _, files in os.walk(TREE):
            for name in files:
                path = os.path.join(root, name)
                found[path[len(TREE):]] = stat.S_IMODE(os.lstat(path).st_mode)
        self.assertEqual(found, self.expected())

    def test_the_installed_programs_run(self):
        version = run([installed(under_prefix("sbin/tessvane")), "-V"])
        self.assertEqual((version.returncode, version.stdout.decode()),
                         (0, "tessvane %s\n" % ARGS.version))
        help_text = run([installed(under_prefix("bin/tessvane-check")), "-h"])
        self.assertEqual(help_text.returncode, 0)
        self.assertTrue(help_text.stdout.startswith(b"Usage: tessvane-check"))
        collector = run(["/usr/bin/python3", installed(under_prefix(
            "share/tessvane/tessvane-collector")), "-b", "tcp://127.0.0.1:*", "-w", "0.1", "-c"])
        self.assertEqual(collector.returncode, 0, collector.stderr)
        self.assertEqual(collector.stdout.decode(), "total     0\n")

    def test_the_service_files_name_the_installed_paths(self):
        daemon = under_prefix("sbin/tessvane")
        config = os.path.join(ARGS.sysconfdir, "tessvane.conf")
        with open(installed(under_prefix("lib/systemd/system/tessvane.service"))) as handle:
            unit = handle.read()
        self.assertIn("\nExecStart=%s -c %s\n" % (daemon, config), unit)
        with open(installed(os.path.join(ARGS.sysconfdir, "rc.d/tessvane"))) as handle:
            script = handle.read()
        self.assertIn('\ncommand="%s"\n' % daemon, script)
        self.assertIn(': ${tessvane_config:="%s"}' % config, script)
        self.assertNotRegex(unit + script, r"@[A-Z_]+@")


def manual_defaults():
    """Key -> default text, from the ".It Cm Key Pq default" lines of
    tessvane.conf(5)."""
    with open(installed(under_prefix("share/man/man5/tessvane.conf.5"))) as handle:
        page = handle.read()
    keys = {}
    for key, default in re.findall(r"^\.It Cm (\w+)(?: Pq (.*))?$", page, re.M):
        keys[key] = re.sub(r"^Pa ", "", default)
    return keys


def sample_lines():
    """(key, value) of every commented key line of the sample, in order."""
    with open(installed(os.path.join(ARGS.sysconfdir, "tessvane.conf.sample"))) as handle:
        return re.findall(r"^#(\w+) = (.*)$", handle.read(), re.M)


class SampleConfiguration(unittest.TestCase):
    def check(self, path):
        return run([installed(under_prefix("sbin/tessvane")), "-t", "-c", path])

    def test_the_sample_as_shipped_loads_clean(self):
        sample = installed(os.path.join(ARGS.sysconfdir, "tessvane.conf.sample"))
        done = self.check(sample)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual(done.stdout.decode(), "tessvane: %s: configuration OK\n" % sample)

    def test_the_sample_shows_every_key_with_the_manual_pages_default(self):
        documented = manual_defaults()
        shown = dict(sample_lines())
        self.assertEqual(len(documented), 28, sorted(documented))
        self.assertEqual(sorted(shown), sorted(documented))
        for key, default in documented.items():
            if default not in ("none", ""):  # Socket has none either
                self.assertEqual(shown[key], default, key)

    def test_every_key_of_the_sample_is_known_and_well_formed(self):
        lines = sample_lines()
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "all-keys.conf")
            with open(path, "w") as handle:
                handle.write("[global]\n")
                for key, value in lines:
                    if key != "Socket":
                        handle.write("%s = %s\n" % (key, value))
                handle.write("[listener:mta]\nSocket = %s\n" % dict(lines)["Socket"])
            out = self.check(path).stdout.decode()
        # What remains may only be about this machine: the example account
        # and list files need not exist here.
        for line in out.splitlines()[:-1]:
            self.assertRegex(line, r"User = .* does not resolve|cannot be read", out)


class SystemdUnit(unittest.TestCase):
    def test_systemd_analyze_verify_is_silent(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed")
        source = installed(under_prefix("lib/systemd/system/tessvane.service"))
        with open(source) as handle:
            unit = handle.read()
        # verify wants ExecStart's program to exist: point it into the tree.
        daemon = under_prefix("sbin/tessvane")
        unit = unit.replace("ExecStart=" + daemon, "ExecStart=" + installed(daemon))
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "tessvane.service")
            with open(path, "w") as handle:
                handle.write(unit)
            done = run(["systemd-analyze", "verify", "--man=no", path], timeout=60)
        # verify returns 0 for settings it ignores: its output must be empty.
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, b""))

    def test_the_unit_reloads_with_sighup_and_waits_for_the_drain(self):
        with open(installed(under_prefix("lib/systemd/system/tessvane.service"))) as handle:
            settings = dict(line.split("=", 1) for line in handle.read().splitlines()
                            if "=" in line and not line.startswith("#"))
        self.assertEqual(settings["ExecReload"], "/bin/kill -HUP $MAINPID")
        self.assertEqual(settings["Type"], "forking")
        self.assertEqual(settings["PIDFile"], "/run/tessvane/tessvane.pid")
        self.assertGreater(int(settings["TimeoutStopSec"]), 30)


# A stand-in for FreeBSD's /etc/rc.subr with what the script relies on:
# load_rc_config reads $RC_CONF; run_rc_command applies ${name}_program and
# ${name}_flags as rc.subr does, checks required_files before start, and
# runs an extra command through its ${cmd}_cmd.
RC_SUBR = r"""
load_rc_config() { [ -n "$RC_CONF" ] && . "$RC_CONF"; }
run_rc_command() {
	eval _program=\$${name}_program
	[ -n "$_program" ] && command=$_program
	eval rc_flags=\$${name}_flags
	case "$1" in
	show)
		echo "rcvar=$rcvar"
		echo "command=$command"
		echo "flags=$rc_flags"
		echo "pidfile=$pidfile"
		echo "required_files=$required_files"
		echo "extra_commands=$extra_commands"
		echo "sig_reload=$sig_reload" ;;
	start)
		for _f in $required_files; do
			[ -r "$_f" ] || { echo "${name}: required file $_f is not readable"; return 1; }
		done
		echo "would run: $command $rc_flags" ;;
	*)
		case " $extra_commands " in *" $1 "*) ;; *) echo "unknown: $1"; return 1 ;; esac
		eval _cmd=\$${1}_cmd
		[ -n "$_cmd" ] && { $_cmd; return $?; }
		echo "default $1" ;;
	esac
}
"""


class RcScript(unittest.TestCase):
    def setUp(self):
        self.path = installed(os.path.join(ARGS.sysconfdir, "rc.d/tessvane"))
        with open(self.path) as handle:
            self.text = handle.read()
        self.scratch = tempfile.TemporaryDirectory()
        self.addCleanup(self.scratch.cleanup)

    def test_the_shell_accepts_its_syntax(self):
        for shell in ("sh", "dash", "bash"):
            if shutil.which(shell):
                done = run([shell, "-n", self.path])
                self.assertEqual((done.returncode, done.stderr), (0, b""), shell)

    def test_it_follows_the_rules_of_rc_subr(self):
        lines = self.text.splitlines()
        self.assertEqual(lines[0], "#!/bin/sh")
        for header in ("# PROVIDE: tessvane", "# REQUIRE: ", "# KEYWORD: shutdown"):
            self.assertTrue(any(line.startswith(header) for line in lines), header)
        code = [line for line in lines if line.strip() and not line.startswith("#")]
        self.assertEqual(code[0], ". /etc/rc.subr")
        self.assertEqual(code[-1], 'run_rc_command "$1"')
        position = {line: n for n, line in enumerate(code)}
        # name is the file's name; load_rc_config follows name and rcvar and
        # comes before the defaults, so rc.conf settings win.
        self.assertLess(position['name="tessvane"'], position["load_rc_config $name"])
        self.assertLess(position['rcvar="tessvane_enable"'], position["load_rc_config $name"])
        self.assertLess(position["load_rc_config $name"],
                        position[': ${tessvane_enable:="NO"}'])
        for variable in ("command", "pidfile", "required_files", "extra_commands"):
            self.assertTrue(any(line.startswith(variable + "=") for line in code), variable)

    def run_script(self, command, rc_conf=""):
        subr = os.path.join(self.scratch.name, "rc.subr")
        with open(subr, "w") as handle:
            handle.write(RC_SUBR)
        conf = os.path.join(self.scratch.name, "rc.conf")
        with open(conf, "w") as handle:
            handle.write(rc_conf)
        script = os.path.join(self.scratch.name, "tessvane")
        with open(script, "w") as handle:
            handle.write(self.text.replace(". /etc/rc.subr", ". " + subr))
        return run(["sh", script, command], env=dict(os.environ, RC_CONF=conf))

    def test_defaults_and_rc_conf_settings(self):
        config = os.path.join(ARGS.sysconfdir, "tessvane.conf")
        shown = self.run_script("show").stdout.decode()
        self.assertEqual(shown, "\n".join([
            "rcvar=tessvane_enable",
            "command=" + under_prefix("sbin/tessvane"),
            "flags=-c " + config,
            "pidfile=/var/run/tessvane/tessvane.pid",
            "required_files=" + config,
            "extra_commands=reload configtest",
            "sig_reload=HUP", ""]))
        shown = self.run_script("show", 'tessvane_config="/etc/mail/tessvane.conf"\n')
        self.assertIn("flags=-c /etc/mail/tessvane.conf\n", shown.stdout.decode())
        self.assertIn("required_files=/etc/mail/tessvane.conf\n", shown.stdout.decode())

    def test_start_needs_the_configuration_file(self):
        absent = os.path.join(self.scratch.name, "absent.conf")
        done = self.run_script("start", 'tessvane_config="%s"\n' % absent)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("required file %s is not readable" % absent, done.stdout.decode())

    def test_configtest_runs_the_daemons_check(self):
        good = os.path.join(self.scratch.name, "good.conf")
        with open(good, "w") as handle:
            handle.write("AuthservID = mx.example.net\n")
        bad = os.path.join(self.scratch.name, "bad.conf")
        with open(bad, "w") as handle:
            handle.write("AuthservId = mx.example.net\n")
        program = 'tessvane_program="%s"\n' % installed(under_prefix("sbin/tessvane"))
        done = self.run_script("configtest", program + 'tessvane_config="%s"\n' % good)
        self.assertEqual(done.returncode, 0, done.stdout)
        self.assertIn("%s: configuration OK" % good, done.stdout.decode())
        done = self.run_script("configtest", program + 'tessvane_config="%s"\n' % bad)
        self.assertEqual(done.returncode, 1, done.stdout)
        self.assertIn('unrecognized key "AuthservId"', done.stdout.decode())


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--build", "--prefix", "--sysconfdir", "--version"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
