#!/usr/bin/python3
"""Runs the RFC 7208 test suite (rfc7208-tests.yml, the openspf.org suite,
release 2014.04) against the tessvane-check program.

For every scenario of the suite its zone data is served by the loopback test
responder (tests/tools/dns_responder.py), and tessvane-check is run once per
test with -i host -s mailfrom -e helo -n 127.0.0.1 -p <port>. The result line
of its block is compared with the test's result (a list means any of them);
the exit status must agree with the result (0 for none, neutral and pass, 1
otherwise). Explanation texts are not compared: this system never evaluates
the exp modifier.

Tests whose answer in this system differs from the suite's on purpose are
listed in expectations.yml beside this file, each with the result tessvane
gives and the documented behaviour that explains it. A listed test must give
exactly that result, and a listed test that agrees with the suite is reported
too, so the list stays true. Any other difference is a failure; the exit
status is 1 when there is one.

Zone data follows the suite's own conventions:
  - a record given as type SPF is also served as TXT where the name has no TXT
    entry; "TXT: NONE" is such an entry and stands for no TXT record at all;
  - a TIMEOUT entry makes every query for the name that finds no records of
    the asked type time out; records listed for the asked type are still
    served (so a name with a TXT record and TIMEOUT answers TXT queries and
    times out on all others), and a name with TIMEOUT only never answers;
  - CNAME entries are followed by the responder as a recursive server would;
  - names that are not in the zone do not exist (response code 3).

Time-outs and running time. A TIMEOUT must look to the resolver like a real
time-out, so the responder stays silent and the resolver waits out its fixed
3 attempts of 5000 ms: 15 s for each such query. tessvane-check has no hidden
switch to shorten that, on purpose: the time-out test then exercises the very
code path a silent nameserver does in production. Instead the tests run in
parallel: each scenario gets its own responder (on its own port), and every
test is one tessvane-check process, which spends nearly all its time waiting
on a socket; so many of them run at once on a small machine and the whole run
takes about as long as the slowest test (one or two silent lookups), well
under a minute.

Usage: run_conformance.py --check PATH/tessvane-check [--tools DIR]
       [--suite FILE] [--expectations FILE] [--jobs N] [--only NAME]...
"""

import argparse
import concurrent.futures
import os
import subprocess
import sys

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_TOOLS = os.path.join(os.path.dirname(HERE), "tools")

# The record types tessvane asks for, and SPF (99), which it never asks for
# but which a TIMEOUT entry silences like the others.
QUERIED_TYPES = ("A", "AAAA", "MX", "PTR", "TXT", "SPF")
RECORD_TYPES = ("A", "AAAA", "MX", "PTR", "TXT", "SPF", "CNAME")
EXIT_ZERO_RESULTS = ("none", "neutral", "pass")
# One run of tessvane-check needs at most a few silent lookups of 15 s.
CHECK_TIMEOUT_S = 180


class SuiteError(Exception):
    pass


def text_value(value):
    """A TXT/SPF value of the suite: a text or a list of character-strings."""
    if isinstance(value, list):
        return [str(piece) for piece in value]
    return str(value)


def convert_name(name, entries):
    """One zone name: the responder's entry and the silences for TIMEOUT."""
    records = {}
    has_txt_entry = False
    timeout = False
    for item in entries:
        if item == "TIMEOUT":
            timeout = True
            continue
        if not isinstance(item, dict) or len(item) != 1:
            raise SuiteError("%s: unexpected zone entry %r" % (name, item))
        (rtype, value), = item.items()
        if rtype not in RECORD_TYPES:
            raise SuiteError("%s: unknown record type %s" % (name, rtype))
        if rtype == "TXT":
            has_txt_entry = True
            if value == "NONE":
                continue
        if rtype in ("TXT", "SPF"):
            value = text_value(value)
        records.setdefault(rtype, []).append(value)
    if not has_txt_entry and "SPF" in records:
        records["TXT"] = list(records["SPF"])
    silent_types = []
    if timeout and not records:
        records["timeout"] = True
    elif timeout:
        silent_types = [t for t in QUERIED_TYPES if t not in records]
    return records, silent_types


def convert_zone(zonedata):
    """The responder zone and the (name, type) pairs that must time out."""
    zone = {}
    silences = []
    for name, entries in (zonedata or {}).items():
        zone[name], silent_types = convert_name(name, entries)
        silences += [(name, rtype) for rtype in silent_types]
    return zone, silences


def start_responder(tools, zonedata):
    sys.path.insert(0, tools)
    import dns_responder  # the loopback test responder shared by all tests

    zone, silences = convert_zone(zonedata)
    responder = dns_responder.serve_zone(zone)
    for name, rtype in silences:
        responder.add_action({"name": name, "type": rtype, "silent": True, "always": True})
    return responder


def run_check(check, port, test):
    """The result name tessvane-check printed, or a text saying what went wrong."""
    command = [check, "-i", str(test["host"]), "-s", str(test["mailfrom"]),
               "-e", str(test["helo"]), "-n", "127.0.0.1", "-p", str(port)]
    try:
        done = subprocess.run(command, capture_output=True, timeout=CHECK_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return None, "no answer within %d s" % CHECK_TIMEOUT_S
    lines = done.stdout.decode("utf-8", "replace").split("\n")
    prefix = "tessvane-check: "
    if len(lines) != 6 or not lines[0].startswith(prefix):
        return None, "unexpected output %r, stderr %r, status %d" % (
            done.stdout[:200], done.stderr[:200], done.returncode)
    result = lines[0][len(prefix):]
    wanted_status = 0 if result in EXIT_ZERO_RESULTS else 1
    if done.returncode != wanted_status:
        return None, "result %s with exit status %d" % (result, done.returncode)
    return result, None


def judge(name, test, result, problem, expectations):
    """None when the test passes, otherwise the text to report."""
    if problem:
        return problem
    wanted = test["result"] if isinstance(test["result"], list) else [test["result"]]
    listed = expectations.get(name)
    if listed is None:
        if result in wanted:
            return None
        return "got %s, suite expects %s" % (result, " or ".join(wanted))
    if result in wanted:
        return "got %s as the suite expects, but expectations.yml lists %s" % (
            result, listed["result"])
    if result != listed["result"]:
        return "got %s; expectations.yml lists %s (suite: %s)" % (
            result, listed["result"], " or ".join(wanted))
    return None


def load_expectations(path):
    with open(path, encoding="utf-8") as handle:
        entries = yaml.safe_load(handle) or {}
    for name, entry in entries.items():
        if not isinstance(entry, dict) or "result" not in entry or "reason" not in entry:
            raise SuiteError("expectations.yml: %s needs a result and a reason" % name)
    return entries


def main():
    parser = argparse.ArgumentParser(description="RFC 7208 conformance run")
    parser.add_argument("--check", required=True, help="the tessvane-check program")
    parser.add_argument("--tools", default=DEFAULT_TOOLS, help="folder of dns_responder.py")
    parser.add_argument("--suite", default=os.path.join(HERE, "rfc7208-tests.yml"))
    parser.add_argument("--expectations", default=os.path.join(HERE, "expectations.yml"))
    parser.add_argument("--jobs", type=int, default=64)
    parser.add_argument("--only", action="append", help="run only these tests")
    args = parser.parse_args()

    with open(args.suite, encoding="utf-8") as handle:
        scenarios = list(yaml.safe_load_all(handle))
    expectations = load_expectations(args.expectations)
    known = {name for scenario in scenarios for name in scenario["tests"]}
    stale = sorted(set(expectations) - known)
    if stale:
        print("expectations.yml names tests the suite does not have: " + ", ".join(stale))
        return 1

    responders = []
    jobs = []
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            for scenario in scenarios:
                tests = {name: test for name, test in scenario["tests"].items()
                         if not args.only or name in args.only}
                if not tests:
                    continue
                responder = start_responder(args.tools, scenario.get("zonedata"))
                responders.append(responder)
                for name, test in tests.items():
                    future = pool.submit(run_check, args.check, responder.port, test)
                    jobs.append((scenario["description"], name, test, future))
            failures = []
            passed = 0
            for description, name, test, future in jobs:
                result, problem = future.result()
                verdict = judge(name, test, result, problem, expectations)
                if verdict is None:
                    passed += 1
                else:
                    failures.append((description, name, verdict))
    finally:
        for responder in responders:
            responder.stop()

    for description, name, verdict in failures:
        print("MISMATCH %s / %s: %s" % (description, name, verdict))
    print("%d passed, %d failed" % (passed, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
