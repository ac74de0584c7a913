#!/usr/bin/python3
"""Runs a program and drives it step by step, the way a person at a terminal
would: type at a given moment, send a signal at a given moment, check
something while it runs.

    drive.py [--tty] --log FILE [--timeout S] STEP... -- PROGRAM [ARGS...]

--tty runs the program on a pseudo-terminal (standard input, output and
error); otherwise standard input is a pipe and the output goes to the log.
The program's output is kept in FILE in both cases.

Steps, in order:
  send:TEXT          type TEXT (backslash escapes such as \\n are understood)
  output:TEXT        wait until the output holds TEXT
  lines:N:FILE       wait until FILE has at least N lines
  exists:PATTERN     wait until a path matching the shell pattern PATTERN exists
  signal:NAME        send signal NAME (INT, TERM, HUP, QUIT, ...) to the program
  signal-child:NAME  send it to the program's only child process instead (the
                     program under a harness that starts it)
  sleep:SECONDS      wait
  most:N:FILE        fail unless FILE has at most N lines
  check:COMMAND      run COMMAND with the shell; fail unless it succeeds
  alive              fail unless the program still runs

Each wait gives up after the time-out (default 60 s). On a failed step the
program is killed and the exit status is 97. Otherwise the driver waits for
the program and ends with its exit status, or 128 + N when the program was
ended by signal N, the way a shell reports it. Each signal sent is reported
on standard output with the line count of the last file waited on.
"""
import glob
import os
import pty
import select
import signal
import subprocess
import sys
import time

FAILED = 97


class Driver:
    def __init__(self, argv, tty, log_path, timeout):
        self.timeout = timeout
        self.output = b""
        self.log = open(log_path, "wb")
        self.last_file = None
        reset = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE]
        if tty:
            pid, master = pty.fork()
            if pid == 0:
                for s in reset:
                    signal.signal(s, signal.SIG_DFL)
                try:
                    os.execvp(argv[0], argv)
                finally:
                    os._exit(127)
            self.pid = pid
            self.read_fd = master
            self.write_fd = master
        else:
            in_r, in_w = os.pipe()
            out_r, out_w = os.pipe()
            pid = os.fork()
            if pid == 0:
                for s in reset:
                    signal.signal(s, signal.SIG_DFL)
                os.dup2(in_r, 0)
                os.dup2(out_w, 1)
                os.dup2(out_w, 2)
                for fd in (in_r, in_w, out_r, out_w):
                    os.close(fd)
                try:
                    os.execvp(argv[0], argv)
                finally:
                    os._exit(127)
            os.close(in_r)
            os.close(out_w)
            self.pid = pid
            self.read_fd = out_r
            self.write_fd = in_w
        self.status = None

    def pump(self, seconds):
        """Reads what the program wrote, for at most `seconds`."""
        if self.read_fd is None:
            time.sleep(seconds)
            return
        ready, _, _ = select.select([self.read_fd], [], [], seconds)
        if not ready:
            return
        try:
            data = os.read(self.read_fd, 65536)
        except OSError:  # the terminal's other side has gone
            data = b""
        if not data:
            os.close(self.read_fd)
            if self.write_fd == self.read_fd:
                self.write_fd = None
            self.read_fd = None
            return
        self.output += data
        self.log.write(data)
        self.log.flush()

    def ended(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                self.status = status
        return self.status is not None

    def wait_until(self, what, condition):
        deadline = time.monotonic() + self.timeout
        while not condition():
            if time.monotonic() > deadline:
                self.fail("timed out waiting for " + what)
            if self.ended() and self.read_fd is None and not condition():
                self.fail("the program ended before " + what)
            self.pump(0.001)

    def fail(self, why):
        print("drive: " + why, flush=True)
        tail = self.output[-600:].decode("utf-8", "replace")
        print("drive: output so far ends with:\n" + tail, flush=True)
        if not self.ended():
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
        sys.exit(FAILED)

    @staticmethod
    def count_lines(path):
        try:
            with open(path, "rb") as f:
                return f.read().count(b"\n")
        except OSError:
            return 0

    def step(self, text):
        kind, _, arg = text.partition(":")
        if kind == "send":
            data = arg.encode().decode("unicode_escape").encode()
            if self.write_fd is None:
                self.fail("cannot type: input is closed")
            os.write(self.write_fd, data)
        elif kind == "output":
            needle = arg.encode()
            self.wait_until('"%s" in the output' % arg, lambda: needle in self.output)
        elif kind in ("lines", "most"):
            count, _, path = arg.partition(":")
            count = int(count)
            self.last_file = path
            if kind == "lines":
                self.wait_until("%d lines in %s" % (count, path),
                                lambda: self.count_lines(path) >= count)
            else:
                got = self.count_lines(path)
                if got > count:
                    self.fail("%s has %d lines, at most %d expected" % (path, got, count))
        elif kind == "exists":
            self.wait_until("a path matching " + arg, lambda: glob.glob(arg))
        elif kind in ("signal", "signal-child"):
            number = getattr(signal, "SIG" + arg)
            if self.ended():
                self.fail("the program ended before SIG" + arg + " was sent")
            target = self.pid
            if kind == "signal-child":
                try:
                    with open("/proc/%d/task/%d/children" % (self.pid, self.pid)) as f:
                        children = f.read().split()
                except OSError:
                    children = []
                if len(children) != 1:
                    self.fail("the program has %d child processes, not one" % len(children))
                target = int(children[0])
            os.kill(target, number)
            at = self.count_lines(self.last_file) if self.last_file else -1
            print("drive: sent SIG%s at line %d" % (arg, at), flush=True)
        elif kind == "sleep":
            deadline = time.monotonic() + float(arg)
            while time.monotonic() < deadline:
                self.pump(min(0.01, max(0.0, deadline - time.monotonic())))
        elif kind == "check":
            if subprocess.call(arg, shell=True) != 0:
                self.fail("check failed: " + arg)
        elif kind == "alive":
            if self.ended():
                self.fail("the program has ended")
        elif kind == "ends":
            # Ends by itself, with its input still open.
            self.wait_until("the end of the program", self.ended)
        else:
            self.fail("unknown step " + text)

    def finish(self):
        if self.write_fd is not None and self.write_fd != self.read_fd:
            os.close(self.write_fd)  # end of input
            self.write_fd = None
        deadline = time.monotonic() + self.timeout
        grace = None
        while self.read_fd is not None or not self.ended():
            if time.monotonic() > deadline:
                self.fail("timed out waiting for the program to end")
            if self.ended():
                # Output still open after the end: something the program
                # started holds it. Take what comes in a moment, then stop.
                if grace is None:
                    grace = time.monotonic() + 0.5
                elif time.monotonic() > grace:
                    break
            self.pump(0.01)
        self.log.close()
        if os.WIFSIGNALED(self.status):
            return 128 + os.WTERMSIG(self.status)
        return os.WEXITSTATUS(self.status)


def main():
    args = sys.argv[1:]
    tty = False
    log_path = os.devnull
    timeout = 60.0
    steps = []
    while args and args[0] != "--":
        a = args.pop(0)
        if a == "--tty":
            tty = True
        elif a == "--log":
            log_path = args.pop(0)
        elif a == "--timeout":
            timeout = float(args.pop(0))
        else:
            steps.append(a)
    if not args or len(args) < 2:
        print(__doc__)
        sys.exit(2)
    driver = Driver(args[1:], tty, log_path, timeout)
    for s in steps:
        driver.step(s)
    sys.exit(driver.finish())


if __name__ == "__main__":
    main()
