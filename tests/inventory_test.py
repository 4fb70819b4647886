"""Start and end of the program: the connection and the database it selects."""

import contextlib
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from harness import (ACCOUNT_HOST, CHOOSE_EXIT, COMMAND, DATADIR, DBSERVER, MENU, PROGRAM, ROOT,
                     SOCKET, TCP_PORT, UNIX_SOCKET, Session, SessionTest, load_sample,
                     program_environment, run_piped, sql, unix_only)

VALGRIND = os.environ.get("VALGRIND")
VALGRIND_PROGRAM = os.environ.get("VALGRIND_PROGRAM", PROGRAM)


@contextlib.contextmanager
def fake_server():
    """A listening Unix socket for a fake server, in a folder of its own that
    no other user can plant a socket in first; yields (listener, path)."""
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "mysqld.sock")
    listener = socket.socket(socket.AF_UNIX)
    try:
        listener.bind(path)
        listener.listen()
        yield listener, path
    finally:
        listener.close()
        shutil.rmtree(folder)


class ConnectionTest(SessionTest):

    @unix_only(UNIX_SOCKET)
    def test_no_server_is_one_line_on_standard_error(self):
        self.assertSession(
            [], "", "Connection failed: Can't connect to local server through socket "
            "'/tmp/no-such-dir/mysqld.sock' (2)\n", status=1,
            socket="/tmp/no-such-dir/mysqld.sock")

    def test_refused_password(self):
        account = "root@'%s'" % ACCOUNT_HOST
        sql("alter user %s identified by 'other'" % account)
        try:
            self.assertSession([], "", "Connection failed: Access denied for user "
                               "'root'@'%s' (using password: YES)\n" % ACCOUNT_HOST, status=1)
        finally:
            sql("alter user %s identified by 'tamrix'" % account)

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

    @unix_only(UNIX_SOCKET)
    def test_a_server_asking_for_an_interactive_login_is_refused(self):
        # A fake server that switches the login to the client library's
        # "dialog", which would prompt on the terminal for a line to send it.
        received = []

        def serve(listener):
            peer, _ = listener.accept()
            with peer:
                def packet(seq, payload):
                    peer.sendall(struct.pack("<I", len(payload))[:3] + bytes([seq]) + payload)
                capabilities = 0x1 | 0x8 | 0x200 | 0x2000 | 0x8000 | 0x80000
                packet(0, b"\x0a5.5.5-10.11.0-MariaDB\0" + struct.pack("<I", 1) + b"12345678\0" +
                       struct.pack("<HBHH", capabilities & 0xFFFF, 45, 2, capabilities >> 16) +
                       bytes([21]) + bytes(10) + b"123456789012\0mysql_native_password\0")
                received.append(peer.recv(65536))  # the handshake response
                packet(2, b"\xfedialog\0\x02\x1b[2JSession expired. Enter your login password:")
                peer.settimeout(10)
                while True:
                    data = peer.recv(65536)
                    if not data:
                        break
                    received.append(data)

        with fake_server() as (listener, path):
            server = threading.Thread(target=serve, args=(listener,), daemon=True)
            server.start()
            status, output, errors = Session(socket=path).finish()
            server.join(15)
        self.assertEqual((1, ""), (status, output))
        self.assertRegex(errors, r"^Connection failed: [^\n]+\n$")
        # Refused at the switch: nothing was sent after the first answer.
        self.assertEqual(1, len(received))
        self.assertIn(b"mysql_native_password", received[0])

    def test_exit_at_once(self):
        self.assertSession([("? ", "4\n")], MENU + CHOOSE_EXIT)


class ConnectTimeoutTest(unittest.TestCase):

    def test_silent_server_ends_the_wait_after_60_seconds(self):
        # A listener that accepts the connection but never sends its greeting.
        accepted = []
        with fake_server() as (listener, path):
            waiter = threading.Thread(target=lambda: accepted.append(listener.accept()),
                                      daemon=True)
            waiter.start()
            started = time.monotonic()
            result = run_piped(b"4\n", socket=path, timeout=120)
            elapsed = time.monotonic() - started
        self.assertEqual(1, len(accepted))
        self.assertEqual((1, ""), result[:2])
        self.assertRegex(result[2], r"^Connection failed: Lost connection to server at "
                         r"'handshake: reading initial communication packet', .*\n$")
        self.assertTrue(59 <= elapsed < 75, elapsed)


# Another local account, for the attacks of a second user; only root can be it.
OTHER_UID = 65534 if os.geteuid() == 0 else None


def dbserver(*args, user=None):
    return subprocess.run([DBSERVER, *args], capture_output=True, text=True, user=user,
                          timeout=120)


def client(*args, user=None):
    return subprocess.run([shutil.which("mariadb") or "mysql", "--no-defaults",
                           "--socket=" + SOCKET, "--user=root",
                           "--password=tamrix", "--batch", "--skip-column-names", *args],
                          capture_output=True, text=True, user=user)


def server_running(datadir):
    return dbserver("status", datadir).returncode == 0


class PrivateServerTest(unittest.TestCase):
    """The private server's script against a second local user, stale files
    and a machine without the server's programs."""

    def setUp(self):
        self.scratch = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.scratch)
        dbserver("start", DATADIR)

    def assertRefused(self, result, text):
        self.assertEqual((1, 1), (result.returncode, result.stderr.count("\n")), result.stderr)
        self.assertIn(text, result.stderr)

    def test_folders_another_user_could_plant_are_refused(self):
        datadir = os.path.join(self.scratch, "db")
        run = os.path.join(datadir, "run")
        plants = {"a link": lambda: os.symlink(self.scratch, run),
                  "a folder anyone may enter": lambda: (os.mkdir(run), os.chmod(run, 0o777))}
        if OTHER_UID is not None:
            plants["a folder of another user"] = lambda: (os.mkdir(run),
                                                          os.chown(run, OTHER_UID, -1))
            plants["a data folder of another user"] = lambda: (os.mkdir(run, 0o700),
                                                               os.chown(datadir, OTHER_UID, -1))
        os.mkdir(datadir, 0o700)
        for name, plant in plants.items():
            with self.subTest(name):
                plant()
                self.assertRefused(dbserver("start", datadir), "refusing it")
                self.assertEqual(["run"], os.listdir(datadir))
                os.unlink(run) if os.path.islink(run) else os.rmdir(run)
                os.chown(datadir, os.geteuid(), -1)
        if OTHER_UID is None:
            self.skipTest("only root can be a second user")
        # The shared server: another user reaches neither its socket nor its files.
        self.assertIn("(13)", client("-e", "select 1", user=OTHER_UID).stderr)
        for folder in (DATADIR, os.path.dirname(SOCKET)):
            self.assertEqual(0o700, os.stat(folder).st_mode & 0o777)

    def test_sql_root_reaches_no_file_and_no_other_account_exists(self):
        outside = os.path.join(self.scratch, "written")
        for statement in ["select 1 into outfile '%s'" % outside,
                          "set global general_log_file = '%s'" % outside,
                          "create user other@localhost",
                          "select * from mysql.user"]:
            with self.subTest(statement):
                self.assertNotEqual(0, client("-e", statement).returncode)
        self.assertNotIn("root:", client("-e", "select load_file('/etc/passwd')").stdout)
        self.assertEqual(0, client("-e", "select 1 from Music_Inventory.Artists").returncode)
        with self.assertRaises(subprocess.CalledProcessError):
            sql("select 1 into outfile '%s'" % outside)
        self.assertFalse(os.path.exists(outside))
        self.assertEqual("0\t0\n", sql("select @@local_infile, load_file('/etc/passwd') is not null"))
        # Besides the server's own locked accounts, only these two, and root
        # for TCP where the server listens on it.
        self.assertEqual("music-inventory-admin localhost\n" +
                         ("root 127.0.0.1\n" if TCP_PORT else "") + "root localhost\n", sql(
            "select user, host from mysql.user where user not in "
            "('mariadb.sys', 'mysql.sys', 'mysql.session', 'mysql.infoschema') order by user, host"
        ).replace("\t", " "))
        if TCP_PORT:
            # Over TCP only the program's password gets in.
            def tcp(user, password):
                return subprocess.run([shutil.which("mariadb") or "mysql", "--no-defaults",
                                       "--protocol=tcp", "--host=127.0.0.1", "--port=" + TCP_PORT,
                                       "--user=" + user, "--password=" + password, "-e",
                                       "select 1"], capture_output=True).returncode
            self.assertEqual([0, 1, 1, 1, 1], [
                tcp("root", "tamrix"), tcp("root", ""), tcp("nobody", ""),
                tcp("music-inventory-admin", ""), tcp("mariadb.sys", "")])

    def test_a_stale_pid_file_is_ignored_and_removed(self):
        pidfile = os.path.join(DATADIR, "server.pid")
        unrelated = subprocess.Popen(["sleep", "60"])
        try:
            self.assertEqual(0, dbserver("stop", DATADIR).returncode)
            for command in ["stop", "start"]:
                with self.subTest(command):
                    with open(pidfile, "w") as planted:
                        planted.write("%d\n" % unrelated.pid)
                    self.assertEqual(0, dbserver(command, DATADIR).returncode)
                    self.assertIsNone(unrelated.poll())
                    self.assertEqual(command == "start", server_running(DATADIR))
        finally:
            unrelated.kill()
            unrelated.wait()

    def test_the_last_of_two_run_commands_stops_the_server(self):
        self.assertEqual(0, dbserver("stop", DATADIR).returncode)
        # The run command names the server's TCP port, if any, itself.
        environment = program_environment(None)
        environment.pop("MYSQL_TCP_PORT", None)
        first = subprocess.Popen([DBSERVER, "run", DATADIR, *COMMAND], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 start_new_session=True, env=environment)
        line = None
        while line not in (b"4 - Exit\n", b"4 - Exit\r\n", b""):
            line = first.stdout.readline()
        second = subprocess.run([DBSERVER, "run", DATADIR, *COMMAND], input=b"0\n4\n",
                                capture_output=True, start_new_session=True, timeout=60,
                                env=environment)
        self.assertEqual((0, b""), (second.returncode, second.stderr))
        out, err = first.communicate(b"0\n4\n", timeout=60)
        self.assertEqual(0, first.returncode)
        self.assertIn(b"Artist ID      First Name", out)
        self.assertRegex(err.decode(), "^[^\n]*starting a private server[^\n]*\n$")
        self.assertFalse(server_running(DATADIR))

    def test_schema_keeps_an_inventory_and_the_sample_says_it_replaces_it(self):
        load_sample()
        sql("delete from Songs where ID = 1")
        counts = "select (select count(*) from Artists), (select count(*) from Songs)"
        before = sql(counts)
        with open(os.path.join(ROOT, "db", "schema.sql")) as schema:
            sql(schema.read() * 2)
        self.assertEqual(before, sql(counts))
        result = dbserver("load", DATADIR)
        self.assertEqual(0, result.returncode)
        self.assertIn("replacing every artist and song", result.stderr)
        self.assertEqual("38\t257\n", sql(counts))

    def test_missing_server_programs_are_one_line(self):
        datadir = os.path.join(self.scratch, "db")
        # The server's programs hidden under an empty folder in a mount namespace.
        hide = "mount -t tmpfs none /usr/sbin && exec %s start %s" % (DBSERVER, datadir)
        result = subprocess.run(["unshare", "-m", "sh", "-c", hide], capture_output=True,
                                text=True)
        if "unshare" in result.stderr or "mount" in result.stderr:
            self.skipTest("no mount namespace here: " + result.stderr.strip())
        self.assertRefused(result, "none of mariadbd mysqld is installed")
        self.assertEqual(["lock", "run"], sorted(os.listdir(datadir)))


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
