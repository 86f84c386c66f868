#!/usr/bin/python3
"""Process helpers for the whole-program tests: is a pid still running, and
stopping one by its pid within a bounded time."""

import os
import signal
import time


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


def stop_pid(pid, timeout=10.0):
    """SIGTERM, then SIGKILL when the process outlives the time-out."""
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + timeout
    while process_alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    if process_alive(pid):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
