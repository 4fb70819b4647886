"""Start and end of the program: the connection and the database it selects."""

import os
import socket
import threading
import time
import unittest

from harness import (CHOOSE_EXIT, MENU, PROGRAM, ROOT, SessionTest, load_sample, run_piped,
                     sql)

VALGRIND = os.environ.get("VALGRIND")
VALGRIND_PROGRAM = os.environ.get("VALGRIND_PROGRAM", PROGRAM)


class ConnectionTest(SessionTest):

    def test_no_server_is_one_line_on_standard_error(self):
        self.assertSession(
            [], "", "Connection failed: Can't connect to local server through socket "
            "'/tmp/no-such-dir/mysqld.sock' (2)\n", status=1,
            socket="/tmp/no-such-dir/mysqld.sock")

    def test_refused_password(self):
        sql("alter user root@localhost identified by 'other'")
        try:
            self.assertSession([], "", "Connection failed: Access denied for user "
                               "'root'@'localhost' (using password: YES)\n", status=1)
        finally:
            sql("alter user root@localhost identified by 'tamrix'", password="other")

    def test_missing_connect_database(self):
        sql("drop database mysql_cpp_data")
        try:
            self.assertSession([], "", "Connection failed: Unknown database 'mysql_cpp_data'\n",
                               status=1)
        finally:
            sql("create database mysql_cpp_data")

    def test_missing_inventory_database_shows_no_menu(self):
        sql("drop database Music_Inventory")
        try:
            self.assertSession([], "", "Failed to select database Music_Inventory: "
                               "Unknown database 'Music_Inventory'\n", status=1)
        finally:
            load_sample()

    def test_exit_at_once(self):
        self.assertSession([("? ", "4\n")], MENU + CHOOSE_EXIT)


class ConnectTimeoutTest(unittest.TestCase):

    def test_silent_server_ends_the_wait_after_60_seconds(self):
        # A listener that accepts the connection but never sends its greeting.
        path = "/tmp/mi-silent-%d.sock" % os.getpid()
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(path)
        listener.listen()
        accepted = []
        waiter = threading.Thread(target=lambda: accepted.append(listener.accept()), daemon=True)
        waiter.start()
        try:
            started = time.monotonic()
            result = run_piped(b"4\n", socket=path, timeout=120)
            elapsed = time.monotonic() - started
        finally:
            listener.close()
            os.unlink(path)
        self.assertEqual(1, len(accepted))
        self.assertEqual((1, ""), result[:2])
        self.assertRegex(result[2], r"^Connection failed: Lost connection to server at "
                         r"'handshake: reading initial communication packet', .*\n$")
        self.assertTrue(59 <= elapsed < 75, elapsed)


@unittest.skipUnless(VALGRIND, "valgrind runs in the build without sanitizers")
class ValgrindTest(unittest.TestCase):
    """Whole sessions under valgrind: no memory error, no leak of ours."""

    def valgrind(self, error_status):
        return (VALGRIND, "-q", "--leak-check=full", "--error-exitcode=%d" % error_status,
                "--suppressions=" + os.path.join(ROOT, "tests", "valgrind.supp"), VALGRIND_PROGRAM)

    def test_every_action_and_bad_input(self):
        load_sample()
        session = (b"0\n1\n2\n7\n2\nabc\n99999999999999999999\n-1\n3\nDon't\n3\n\n3\n%\\\n"
                   b"\n  \n9\nxyz\n" + b"y" * 100000 + b"\n\0\n\xff\n2\n")
        plain = run_piped(session)
        self.assertEqual(0, plain[0])
        self.assertEqual(plain, run_piped(session, program=self.valgrind(1), timeout=120))

    def test_failed_connect(self):
        plain = run_piped(b"", socket="/tmp/no-such-dir/mysqld.sock")
        self.assertEqual(1, plain[0])
        self.assertEqual(plain, run_piped(b"", socket="/tmp/no-such-dir/mysqld.sock",
                                          program=self.valgrind(99)))


if __name__ == "__main__":
    unittest.main()
