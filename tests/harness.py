"""Runs the built program in a pseudo-terminal against the private server.

The program's controlling terminal is the pseudo-terminal, so its pause reads
real keys; a launcher plays the shell (its own session, the program in a
foreground process group of its own) so that Ctrl-Z stops it as at a shell.
Standard error is kept apart on a pipe.

With MUSIC_INVENTORY_WINE naming the Windows build (music-inventory.exe), the
same cases run it under Wine instead, reaching the private server by TCP
(started with dbserver.sh start --tcp). Its standard input and output are
then pipes: the answers go to the input pipe and are echoed into the copy of
the output where a terminal would have echoed them, keys for the pause are
not sent (on pipes it does not wait), and CRLF line ends read as LF, so that
the same transcripts hold. MUSIC_INVENTORY_RUNNER replaces "wine" (empty: run
the program itself, to try this mode with the Linux build);
MUSIC_INVENTORY_WINE_DLLS lists the folders (separated by ":") of the DLLs
it needs that are not beside it.
"""

import os
import resource
import select
import shutil
import signal
import subprocess
import sys
import termios
import time
import traceback
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAM = os.environ.get("MUSIC_INVENTORY", os.path.join(ROOT, "build", "music-inventory"))
DATADIR = os.environ.get("MUSIC_INVENTORY_DB", os.path.join(ROOT, "build", "test-db"))
DBSERVER = os.path.join(ROOT, "scripts", "dbserver.sh")
SOCKET = subprocess.run([DBSERVER, "socket", DATADIR], check=True, capture_output=True,
                        text=True).stdout.strip()
WINE = os.environ.get("MUSIC_INVENTORY_WINE")
if WINE:
    PROGRAM = WINE
    COMMAND = os.environ.get("MUSIC_INVENTORY_RUNNER", "wine").split() + [WINE]
    if COMMAND[0] == "wine":
        COMMAND[0] = shutil.which("wine") or "/usr/bin/wine"
    os.environ.pop("DISPLAY", None)  # no window: Wine's console stays in the terminal
    TCP_PORT = subprocess.run([DBSERVER, "port", DATADIR], check=True, capture_output=True,
                              text=True).stdout.strip()
else:
    COMMAND = [PROGRAM]
    TCP_PORT = None

# Why cases are left out under Wine.
UNIX_TERMINAL = ("needs a Unix terminal (termios, signals, Ctrl-Z, an 8-bit locale); "
                 "under Wine standard input and output are pipes")
UNIX_SOCKET = "reaches a missing or fake server by a Unix socket path; under Wine it is TCP"
UNIX_PROCESS = ("needs the program as a Linux process (closed descriptors, a memory limit, "
                "/proc)")


# A case skipped with a reason that begins with this is for another of the
# builds the test command makes (the Windows program's console, the server
# script, which the plain Linux build covers): no gap in this one. Any other
# skip is one (not run as root, no valgrind, no mount namespace).
OTHER_BUILD = "for another build: "
# What a run with a gap exits with: CTest shows the suite as skipped.
SKIPPED = 77


def for_other_builds(condition, reason):
    return unittest.skipIf(condition, OTHER_BUILD + reason)


def unix_only(reason):
    return for_other_builds(WINE, reason)


MENU = ("Please enter the number of an action to execute:\n"
        "0 - List All Artists\n"
        "1 - List All Songs\n"
        "2 - List Songs by a Given Artist\n"
        "3 - Show the Artist of a Given Song\n"
        "4 - Exit\n")
PAUSE = "Press any key..."
ARTIST_HEADER = "Artist ID      First Name          Last Name\n"
EXIT = "Exiting, please wait...\n"
# Choosing 4 at a menu: the echo of "4", the line end, the parting line.
CHOOSE_EXIT = "? 4\n\n" + EXIT


def sql(statement, database="Music_Inventory", datadir=DATADIR):
    """Runs statements on a private server as its administrator and returns the
    client's output."""
    return subprocess.run(
        [DBSERVER, "sql", datadir, "--batch", "--skip-column-names", database, "-e", statement],
        check=True, capture_output=True, text=True).stdout


def server_is_mysql():
    return "MariaDB" not in sql("select version()")


def quote(value):
    if value is None:
        return "null"
    if isinstance(value, int):
        return str(value)
    return "'" + value.replace("\\", "\\\\").replace("'", "\\'") + "'"


def load_sample():
    subprocess.run([DBSERVER, "load", DATADIR], check=True, capture_output=True)


def set_tables(artists=(), songs=()):
    """Replaces the inventory with the given rows: artists as (ID, first name,
    last name), songs as (ISSN, title, cost, artist ID)."""
    with open(os.path.join(ROOT, "db", "schema.sql")) as schema:
        statements = ("drop table if exists Music_Inventory.Songs, Music_Inventory.Artists;"
                      + schema.read())
    if artists:
        statements += "insert into Artists values %s;" % ",".join(
            "(%s)" % ",".join(quote(v) for v in row) for row in artists)
    if songs:
        statements += "insert into Songs values %s;" % ",".join(
            "(%s)" % ",".join(quote(v) for v in row) for row in songs)
    sql(statements, database="mysql")


def checksum():
    """A fingerprint of every table and account the program must never change."""
    return sql("checksum table Music_Inventory.Artists, Music_Inventory.Songs;"
               "select user, host, authentication_string from mysql.user order by user, host;"
               "show databases;")


def wine_environment():
    """The variables a Wine run adds: the tests' own prefix (made by
    wine_prefix.sh) and the server's TCP port; no debug lines, no Mono or Gecko."""
    prefix = os.environ.get("WINEPREFIX") or os.path.join(os.path.dirname(DATADIR), "wine-prefix")
    environment = {"WINEPREFIX": prefix, "WINEDEBUG": "-all",
                   "WINEDLLOVERRIDES": "mscoree,mshtml,winemenubuilder.exe=",
                   "MYSQL_TCP_PORT": TCP_PORT}
    dlls = [folder for folder in os.environ.get("MUSIC_INVENTORY_WINE_DLLS", "").split(":")
            if folder]
    if dlls:
        environment["WINEPATH"] = ";".join("Z:" + folder.replace("/", "\\") for folder in dlls)
    if (os.path.basename(COMMAND[0]) == "wine"
            and not os.path.isdir(os.path.join(prefix, "drive_c", "windows"))):
        raise RuntimeError("no Wine prefix in %s: make it with %s start %s" % (
            prefix, os.path.join(ROOT, "tests", "wine_prefix.sh"), prefix))
    return environment


def program_environment(socket, environment=()):
    environment = dict(os.environ, **dict(environment))
    if WINE:
        environment.update(wine_environment())
    if socket is not None:
        environment["MYSQL_UNIX_PORT"] = socket
    return environment


def echoed(data):
    """What a terminal echoes of typed bytes: controls other than line ends and
    tabs as ^X."""
    return b"".join(b"^" + bytes([byte ^ 0x40]) if (byte < 0x20 and byte not in b"\n\t")
                    or byte == 0x7F else bytes([byte]) for byte in data)


def settings(fd):
    attrs = termios.tcgetattr(fd)
    return attrs[:6]  # the speeds and flags; the control characters follow


class Session:
    """One run of the program, its standard output and input on the terminal."""

    def __init__(self, socket=SOCKET, stdin_data=None, program=PROGRAM, ignored_signals=(),
                 stdout_pipe=False, address_space=None, environment=()):
        """`ignored_signals` are ignored when the program starts, as under nohup;
        with `stdout_pipe` its standard output is a pipe read from `stdout_read`
        instead of the terminal; `address_space` limits its memory, in bytes;
        `environment` adds variables."""
        # The test keeps the terminal's other end open until the program has
        # ended: without one, reading the master fails at once.
        self.master, self._slave = os.openpty()
        slave_name = os.ttyname(self._slave)
        err_read, err_write = os.pipe()
        ctl_read, self._ctl_write = os.pipe()
        self._status_read, status_write = os.pipe()
        in_read = None
        out_write = None
        if stdout_pipe:
            self.stdout_read, out_write = os.pipe()
        if stdin_data is not None:
            in_read, in_write = os.pipe()
        environment = dict(os.environ, **dict(environment))
        if socket is not None:
            environment["MYSQL_UNIX_PORT"] = socket
        self.launcher = os.fork()
        if self.launcher == 0:
            try:
                os.close(self.master)
                os.close(self._slave)
                os.close(err_read)
                os.close(self._ctl_write)
                os.close(self._status_read)
                if in_read is not None:
                    os.close(in_write)
                if out_write is not None:
                    os.close(self.stdout_read)
                self._launch(slave_name, err_write, ctl_read, status_write, in_read,
                             program, environment, ignored_signals, out_write, address_space)
            except BaseException:
                traceback.print_exc()
            finally:
                os._exit(127)
        os.close(err_write)
        os.close(ctl_read)
        os.close(status_write)
        if out_write is not None:
            os.close(out_write)
        if in_read is not None:
            os.close(in_read)
            self._feed(in_write, stdin_data)
        self.out = b""
        self.err = b""
        self.cursor = 0
        self._err_fd = err_read
        self._tty_open = True
        self.status = None

    @staticmethod
    def _launch(slave_name, err_write, ctl_read, status_write, in_read, program, environment,
                ignored_signals, stdout_fd, address_space):
        os.setsid()
        tty = os.open(slave_name, os.O_RDWR)  # the session's controlling terminal
        # Like a shell, the launcher hands the terminal to the program's group
        # and takes it back while the program is stopped.
        signal.signal(signal.SIGTTOU, signal.SIG_IGN)
        child = os.fork()
        if child == 0:
            os.setpgid(0, 0)
            os.tcsetpgrp(tty, os.getpgrp())
            signal.signal(signal.SIGTTOU, signal.SIG_DFL)
            for signo in ignored_signals:
                signal.signal(signo, signal.SIG_IGN)
            if address_space is not None:
                resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))
            os.dup2(in_read if in_read is not None else tty, 0)
            os.dup2(stdout_fd if stdout_fd is not None else tty, 1)
            os.dup2(err_write, 2)
            # A list is a command: Wine and the program's Windows build.
            command = list(program) if isinstance(program, (list, tuple)) else [program]
            os.execve(command[0], command, environment)
        try:
            os.setpgid(child, child)
        except OSError:
            pass  # the program already made its own group
        while True:
            _, status = os.waitpid(child, os.WUNTRACED)
            if os.WIFSTOPPED(status):
                os.tcsetpgrp(tty, os.getpgrp())
                os.write(status_write, b"stopped\n")
                os.read(ctl_read, 1)  # the test says "fg"
                os.tcsetpgrp(tty, child)
                os.killpg(child, signal.SIGCONT)
                continue
            os.write(status_write, b"exit %d\n" % os.waitstatus_to_exitcode(status))
            os._exit(0)

    @staticmethod
    def _feed(fd, data):
        # A writer process, so that a large input never blocks the test.
        if os.fork() == 0:
            try:
                with os.fdopen(fd, "wb") as pipe:
                    pipe.write(data)
            except OSError:
                pass
            os._exit(0)
        os.close(fd)

    def _pump(self, timeout):
        fds = [fd for fd, live in ((self.master, self._tty_open), (self._err_fd, self._err_fd >= 0))
               if live]
        if not fds:
            return False
        ready, _, _ = select.select(fds, [], [], timeout)
        for fd in ready:
            try:
                data = os.read(fd, 65536)
            except OSError:
                data = b""
            if fd == self.master:
                if data:
                    self.out += data
                else:
                    self._tty_open = False
            else:
                if data:
                    self.err += data
                else:
                    os.close(self._err_fd)
                    self._err_fd = -1
        return bool(ready)

    def text(self):
        return self.out.decode("utf-8", "surrogateescape").replace("\r\n", "\n")

    def expect(self, wanted, timeout=15):
        """Waits until `wanted` appears in standard output after the last match."""
        deadline = time.monotonic() + timeout
        while True:
            at = self.text().find(wanted, self.cursor)
            if at >= 0:
                self.cursor = at + len(wanted)
                return
            if time.monotonic() > deadline or (not self._pump(0.05) and not self._tty_open):
                raise AssertionError("waited for %r; output so far:\n%s\nerrors:\n%s"
                                     % (wanted, self.text(), self.err.decode(errors="replace")))

    def send(self, data):
        os.write(self.master, data.encode() if isinstance(data, str) else data)

    def answer(self, prompt, data):
        self.expect(prompt)
        self.send(data)

    def stopped(self, timeout=15):
        """Waits until the program is stopped (Ctrl-Z) and the launcher holds the terminal."""
        ready, _, _ = select.select([self._status_read], [], [], timeout)
        assert ready, "the program did not stop"
        line = os.read(self._status_read, 64)
        assert line == b"stopped\n", line

    def resume(self):
        os.write(self._ctl_write, b"c")

    def finish(self, timeout=30):
        """Waits for the program to end; returns (exit status, output, errors)."""
        deadline = time.monotonic() + timeout
        while self.status is None:
            ready, _, _ = select.select([self._status_read], [], [], 0)
            if ready:
                line = os.read(self._status_read, 64).decode()
                if line.startswith("exit "):
                    self.status = int(line.split()[1])
                    break
            if time.monotonic() > deadline:
                os.kill(self.launcher, signal.SIGKILL)
                raise AssertionError("the program did not end; output:\n" + self.text())
            self._pump(0.05)
        self.final_settings = settings(self.master)
        os.close(self._slave)
        while self._tty_open or self._err_fd >= 0:
            self._pump(1)
        os.waitpid(self.launcher, 0)
        for fd in (self.master, self._ctl_write, self._status_read):
            os.close(fd)
        if self._err_fd >= 0:
            os.close(self._err_fd)
        return self.status, self.text(), self.err.decode("utf-8", "surrogateescape")


class PipeSession(Session):
    """One run under Wine, its standard input and output on pipes, shown as a
    terminal would have shown it."""

    def __init__(self, socket=SOCKET, stdin_data=None, environment=()):
        self.process = subprocess.Popen(
            COMMAND, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True, env=program_environment(socket, environment))
        # Typed answers are echoed; input from a file is not.
        self._echo = stdin_data is None
        if stdin_data is not None:
            self._feed(os.dup(self.process.stdin.fileno()), stdin_data)
            self.process.stdin.close()
        self.master = os.dup(self.process.stdout.fileno())
        self._err_fd = os.dup(self.process.stderr.fileno())
        self.process.stdout.close()
        self.process.stderr.close()
        self._tty_open = True
        self.out = b""
        self.err = b""
        self.cursor = 0
        self.status = None

    def send(self, data):
        data = data.encode() if isinstance(data, str) else data
        while self._pump(0):
            pass
        if self.text()[:self.cursor].endswith(PAUSE) or self.process.stdin.closed:
            return  # the pause did not wait for this key
        if data == b"\x04":  # the end of input: the pipe is closed
            self.process.stdin.close()
            return
        if self._echo:
            self.out += echoed(data)
        try:
            self.process.stdin.write(data)
            self.process.stdin.flush()
        except BrokenPipeError:
            pass

    def finish(self, timeout=30):
        try:
            self.status = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError("the program did not end; output:\n" + self.text())
        # Wine's own processes may keep the pipes open after the program has
        # ended; what it wrote is in them by then.
        while self._pump(0.05):
            pass
        os.close(self.master)
        if self._err_fd >= 0:
            os.close(self._err_fd)
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        return self.status, self.text(), normalised(self.err)


def normalised(data):
    return data.decode("utf-8", "surrogateescape").replace("\r\n", "\n")


# The program on a terminal even under Wine (Wine's console then).
TerminalSession = Session
if WINE:
    Session = PipeSession  # noqa: F811


def run_piped(data, socket=SOCKET, timeout=60, program=None):
    """Runs the program without a controlling terminal, input from a pipe (the
    pause then returns at once); returns (status, output, errors)."""
    if WINE and program is None:
        return PipeSession(socket, stdin_data=data).finish(timeout)
    result = subprocess.run(list(program or COMMAND), input=data, capture_output=True,
                            timeout=timeout, start_new_session=True,
                            env=program_environment(socket))
    return (result.returncode, result.stdout.decode("utf-8", "surrogateescape"),
            result.stderr.decode("utf-8", "surrogateescape"))


def menu_pass(choice, body):
    """What one menu pass shows for a choice followed by the pause."""
    return MENU + "? " + choice + "\n\n" + body + PAUSE + "\n\n"


class SessionTest(unittest.TestCase):
    """Base for tests that run whole sessions; the sample inventory is loaded first."""

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        load_sample()

    def run_session(self, steps, socket=SOCKET, stdin_data=None):
        """Runs the program, answering each prompt of `steps` ((prompt, answer)
        pairs) in turn; returns (status, output, errors)."""
        session = Session(socket=socket, stdin_data=stdin_data)
        for prompt, answer in steps:
            session.answer(prompt, answer)
        return session.finish()

    def assertSession(self, steps, output, errors="", status=0, **kwargs):
        result = self.run_session(steps, **kwargs)
        self.assertEqual((status, output, errors), result)


def main():
    """Runs the cases asked for, as unittest.main does; exits 1 when one
    failed, else SKIPPED when one was skipped here but belongs to this build,
    or when none ran, each listed on a line of its own with the reason."""
    result = unittest.main(exit=False).result
    gaps = [(case, reason) for case, reason in result.skipped if not reason.startswith(OTHER_BUILD)]
    for case, reason in gaps:
        print("skipped: %s %s: %s" % (os.path.basename(sys.argv[0]),
                                      case.id().removeprefix("__main__."), reason),
              file=sys.stderr)
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(SKIPPED if gaps or result.testsRun == len(result.skipped) else 0)
