"""The pause after each action: one key from the terminal, no echo, and the
terminal's settings as they were on every way out; and under Wine, the
Windows program on Wine's console."""

import os
import resource
import select
import signal
import termios
import time
import unittest

from harness import (CHOOSE_EXIT, COMMAND, EXIT, MENU, PAUSE, UNIX_TERMINAL, WINE, Session,
                     SessionTest, TerminalSession, for_other_builds, load_sample, main, run_piped,
                     set_tables, settings, unix_only, wine_environment)

ARTISTS = "Artist ID      First Name          Last Name\n7              Ann                 Lee\n"
# Choice 0, its table and the pause, as far as the wait for the key.
UP_TO_PAUSE = MENU + "? 0\n\n" + ARTISTS + PAUSE


def no_echo(fd):
    return not settings(fd)[3] & termios.ECHO


class PauseTest(SessionTest):

    @classmethod
    def setUpClass(cls):
        set_tables(artists=[(7, "Ann", "Lee")])
        # A quit signal must not leave core files behind.
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

    def start_pause(self):
        session = Session()
        before = settings(session.master)
        session.answer("? ", "0\n")
        session.expect(PAUSE)
        self.assertTrue(no_echo(session.master))
        return session, before

    @unix_only(UNIX_TERMINAL)
    def test_one_key_press_is_read_whole_and_not_echoed(self):
        # Every byte of the press is read, however many it sends (F1 on the
        # Linux console, Alt with an arrow, a skin-toned emoji, a burst), and
        # the next answer is the user's alone.
        for key in ["x", "\n", " ", "é", "坂", "\x1b[A", "\x1bOP", "\x1b[[A", "\x1b\x1b[A",
                    "\U0001F44D\U0001F3FD", "xy", "\x1b"]:
            with self.subTest(key=key):
                session, before = self.start_pause()
                session.send(key)
                session.answer("\n\n" + MENU + "? ", "4\n")
                status, output, errors = session.finish()
                self.assertEqual((0, UP_TO_PAUSE + "\n\n" + MENU + CHOOSE_EXIT, ""),
                                 (status, output, errors))
                self.assertEqual(before, session.final_settings)

    @unix_only(UNIX_TERMINAL)
    def test_terminal_restored_when_a_signal_ends_the_wait(self):
        cases = [("Ctrl-C", "\x03", -signal.SIGINT), ("Ctrl-\\", "\x1c", -signal.SIGQUIT)] + [
            ("signal %d" % signo, signo, -signo)
            for signo in (signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2,
                          signal.SIGALRM, signal.SIGXCPU, signal.SIGVTALRM, signal.SIGPROF,
                          signal.SIGRTMIN + 3)]
        for name, how, status in cases:
            with self.subTest(name):
                session, before = self.start_pause()
                if isinstance(how, str):
                    session.send(how)
                else:
                    os.killpg(os.tcgetpgrp(session.master), how)
                result = session.finish()
                self.assertEqual((status, UP_TO_PAUSE, ""), result)
                self.assertEqual(before, session.final_settings)

    @unix_only(UNIX_TERMINAL)
    def test_signals_ignored_at_start_stay_ignored(self):
        # As under nohup, or trap '' INT in a script: the keys do nothing.
        session = Session(ignored_signals=(signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP))
        before = settings(session.master)
        session.answer("? ", "0\n")
        session.expect(PAUSE)
        session.send("\x03\x1c\x1a")
        time.sleep(0.3)
        self.assertTrue(no_echo(session.master))
        session.send("x")
        session.answer("? ", "4\n")
        self.assertEqual((0, UP_TO_PAUSE + "\n\n" + MENU + CHOOSE_EXIT, ""), session.finish())
        self.assertEqual(before, session.final_settings)

    @unix_only(UNIX_TERMINAL)
    def test_ctrl_z_then_fg_waits_for_the_key_again(self):
        session, before = self.start_pause()
        session.send("\x1a")
        session.stopped()
        self.assertEqual(before, settings(session.master))
        session.resume()
        # Back in the wait, still without echo, until a key comes.
        deadline = time.monotonic() + 10
        while not no_echo(session.master):
            self.assertLess(time.monotonic(), deadline, "echo stayed on after fg")
            time.sleep(0.01)
        session.send("x")
        session.answer("? ", "4\n")
        self.assertEqual((0, UP_TO_PAUSE + "\n\n" + MENU + CHOOSE_EXIT, ""), session.finish())
        self.assertEqual(before, session.final_settings)

    @unix_only(UNIX_TERMINAL)
    def test_output_away_from_the_terminal(self):
        # As `music-inventory < answers > report`: nobody sees the prompt, so
        # nothing waits; as `music-inventory | tee log`: typed at the terminal,
        # the pause waits for the key there.
        one_pass = MENU + "? \n" + ARTISTS + PAUSE + "\n\n"
        session = Session(stdout_pipe=True, stdin_data=b"0\n4\n")
        with os.fdopen(session.stdout_read, "rb") as pipe:
            self.assertEqual((0, "", ""), session.finish())
            self.assertEqual((one_pass + MENU + "? \n" + EXIT).encode(), pipe.read())
        session = Session(stdout_pipe=True)
        with os.fdopen(session.stdout_read, "rb") as pipe:
            self.assertEqual(MENU.encode(), pipe.read(len(MENU)))
            session.send("0\n")
            self.assertEqual(one_pass[len(MENU):-2].encode(), pipe.read(len(one_pass) - 2 - len(MENU)))
            self.assertEqual([], select.select([pipe], [], [], 0.5)[0])
            session.send("x")
            self.assertEqual(("\n\n" + MENU + "? ").encode(), pipe.read(len(MENU) + 4))
            session.send("4\n")
            self.assertEqual((0, "0\n4\n", ""), session.finish())
            self.assertEqual(("\n" + EXIT).encode(), pipe.read())

    def test_without_a_terminal_the_pause_returns_at_once(self):
        one_pass = MENU + "? \n" + ARTISTS + PAUSE + "\n\n"
        self.assertEqual((0, one_pass * 2 + MENU + "? \n" + EXIT, ""), run_piped(b"0\n0\n4\n"))


# Wine hands the Unix parent the low byte of Windows' STATUS_CONTROL_C_EXIT.
CTRL_C_STATUS = 0xC000013A & 0xFF


class Console:
    """The Windows program under Wine on a terminal. Wine's console draws with
    cursor movements, so the output is read as a terminal shows it."""

    def __init__(self):
        import pyte  # Debian's python3-pyte; needed only here
        self.session = TerminalSession(program=COMMAND, socket=None,
                                       environment=wine_environment())
        self.screen = pyte.Screen(200, 50)
        self.stream = pyte.ByteStream(self.screen)
        self.fed = 0

    def line(self, y):
        """Line y as text, and the screen column of each of its characters (a
        wide one takes two)."""
        text, where = "", []
        for x in range(self.screen.columns):
            for char in self.screen.buffer[y][x].data:
                text += char
                where.append(x)
        return text.rstrip(), where

    def wait(self, count, what, timeout=20):
        """Waits until the program has written `what` `count` times in all and
        then waits for input at the cursor's line. Wine draws spaces at the
        end of a line as cursor movements: `what` ends with none."""
        deadline = time.monotonic() + timeout
        while True:
            self.session._pump(0.05)
            self.stream.feed(self.session.out[self.fed:])
            self.fed = len(self.session.out)
            at_cursor = self.line(self.screen.cursor.y)[0]
            if (self.session.out.count(what.encode()) >= count
                    and at_cursor.endswith(("?", "? ", PAUSE))):
                # Nothing more comes while the program waits.
                if not self.session._pump(0.3):
                    return
            elif time.monotonic() > deadline:
                raise AssertionError("waited for %r; the screen:\n%s" % (
                    what, "\n".join(self.line(y)[0] for y in range(self.screen.lines))))

    def last_line(self, start):
        """The last line on the screen beginning with `start`."""
        for y in reversed(range(self.screen.lines)):
            text, where = self.line(y)
            if text.startswith(start):
                return text, where
        raise AssertionError("no line begins with %r" % start)

    def column(self, start, cell):
        """The screen column where `cell` begins on the last line beginning with `start`."""
        text, where = self.last_line(start)
        return where[text.index(cell)]


@for_other_builds(not WINE, "runs the Windows build on Wine's console")
class WindowsConsoleTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        set_tables(artists=[(1, "Björk", "Guðmundsdóttir"), (2, "Ryuichi", "坂本龍一"),
                            (3, "宇多田", "Hikaru"), (4, "Ann", "Lee")],
                   songs=[("A-1", "Jóga", "1.00", 1), ("A-2", "晴れ", "1.00", 3),
                          ("A-3", "Rain", "0.99", 4)])

    @classmethod
    def tearDownClass(cls):
        load_sample()

    def test_names_keys_searches_and_ctrl_c_on_the_console(self):
        console = Console()
        console.wait(1, "4 - Exit")
        console.session.send("0\r")
        console.wait(1, PAUSE)
        with self.subTest("accented and East Asian names line up"):
            for row, first, last in [("1 ", "Björk", "Guðmundsdóttir"), ("2 ", "Ryuichi", "坂本龍一"),
                                     ("3 ", "宇多田", "Hikaru"), ("4 ", "Ann", "Lee")]:
                self.assertEqual((15, 35), (console.column(row, first), console.column(row, last)))
        # Each key is one pause; the next answer is the user's alone.
        for count, (key, text, row, artist) in enumerate(
                [("\x1b[A", "Jóga", "Jóga", "Björk"), ("é", "晴", "晴れ", "宇多田")], 2):
            with self.subTest(key=key, search=text):
                console.session.send(key)
                console.wait(count, "4 - Exit")
                console.session.send("3\r")
                console.wait(count - 1, "song name?")
                console.session.send(text + "\r")
                console.wait(count, PAUSE)
                self.assertEqual("? 3", console.last_line("? ")[0])
                self.assertEqual("All or beginning part of song name? " + text,
                                 console.last_line("All or")[0])
                self.assertEqual((0, 30), (console.column(row, row), console.column(row, artist)))
        console.session.send("x")
        console.wait(4, "4 - Exit")
        console.session.send("4\r")
        self.assertEqual((0, ""), console.session.finish()[::2])
        for name, answers in [("at the pause", ["0\r", "\x03"]), ("at a prompt", ["\x03"])]:
            with self.subTest("Ctrl-C " + name):
                console = Console()
                console.wait(1, "4 - Exit")
                for answer in answers[:-1]:
                    console.session.send(answer)
                    console.wait(1, PAUSE)
                console.session.send(answers[-1])
                self.assertEqual((CTRL_C_STATUS, ""), console.session.finish()[::2])


if __name__ == "__main__":
    main()
