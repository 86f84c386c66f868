#!/usr/bin/python3
"""tessvane run in the foreground by a whole-program test: its standard error
read line by line on a thread, waits for lines bounded in time, and a stop
by its pid."""

import queue
import subprocess
import threading
import time

from processes import stop_pid

WAIT_S = 10.0


class ForegroundDaemon:
    def __init__(self, argv, env=None, wait_s=WAIT_S):
        self.wait_s = wait_s  # the bound of every wait below that names none
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.seen = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.process.stderr:
            self.lines.put(raw.decode(errors="replace").rstrip("\n"))

    def _take_arrived(self):
        while not self.lines.empty():
            self.seen.append(self.lines.get())

    def wait_line(self, fragment, timeout=None):
        """The first line (seen or arriving) containing fragment, or None."""
        for line in self.seen:
            if fragment in line:
                return line
        deadline = time.monotonic() + (timeout or self.wait_s)
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

    def count_lines(self, fragment):
        """Lines seen so far containing fragment, after taking what arrived."""
        self._take_arrived()
        return sum(1 for line in self.seen if fragment in line)

    def wait_count(self, fragment, count, timeout=None):
        """Whether count lines containing fragment arrive within timeout."""
        deadline = time.monotonic() + (timeout or self.wait_s)
        while self.count_lines(fragment) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            try:
                self.seen.append(self.lines.get(timeout=left))
            except queue.Empty:
                return False
        return True

    def rss_kib(self):
        """The resident set in KiB (/proc on Linux, ps elsewhere)."""
        try:
            with open("/proc/%d/status" % self.process.pid) as handle:
                for line in handle:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            pass
        out = subprocess.run(["ps", "-o", "rss=", "-p", str(self.process.pid)],
                             capture_output=True, text=True, timeout=self.wait_s, check=True)
        return int(out.stdout.split()[0])

    def wait_exit(self, timeout=None):
        """The exit status, with every line read; None (and the process
        killed) when it has not exited within timeout."""
        try:
            code = self.process.wait(timeout=timeout or self.wait_s)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None
        self.reader.join(timeout=self.wait_s)
        self._take_arrived()
        return code

    def stop(self, graceful=True):
        """SIGTERM (then SIGKILL past a time-out), or SIGKILL at once."""
        if self.process.poll() is None:
            if graceful:
                stop_pid(self.process.pid)
            else:
                self.process.kill()
        self.process.wait(timeout=self.wait_s)
        self.reader.join(timeout=self.wait_s)  # it reads to the end of the output
        self.process.stderr.close()
