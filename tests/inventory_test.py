"""Start and end of the program: the connection and the database it selects."""

import contextlib
import fcntl
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from harness import (ARTIST_HEADER, CHOOSE_EXIT, COMMAND, DATADIR, DBSERVER, MENU, PAUSE, PROGRAM,
                     ROOT, SOCKET, TCP_PORT, UNIX_SOCKET, WINE, Session, SessionTest, checksum,
                     for_other_builds, load_sample, main, program_environment, run_piped,
                     server_is_mysql, sql, unix_only)

VALGRIND = os.environ.get("VALGRIND")
VALGRIND_PROGRAM = os.environ.get("VALGRIND_PROGRAM", PROGRAM)


@contextlib.contextmanager
def fake_server(tcp=False):
    """A listening socket for a fake server: a Unix socket in a folder of its
    own that no other user can plant a socket in first, or with `tcp` a port
    on 127.0.0.1; yields (listener, path or port)."""
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "mysqld.sock")
    listener = socket.socket(socket.AF_INET if tcp else socket.AF_UNIX)
    try:
        listener.bind(("127.0.0.1", 0) if tcp else path)
        listener.listen()
        yield listener, listener.getsockname()[1] if tcp else path
    finally:
        listener.close()
        shutil.rmtree(folder)


def switch_login(listener, method, received):
    """Serves one fake login: a greeting, then a switch to `method` with a
    prompt for "dialog"; keeps what the client sends in `received`."""
    peer, _ = listener.accept()
    with peer:
        def packet(seq, payload):
            peer.sendall(struct.pack("<I", len(payload))[:3] + bytes([seq]) + payload)
        capabilities = 0x1 | 0x8 | 0x200 | 0x2000 | 0x8000 | 0x80000
        packet(0, b"\x0a5.5.5-10.11.0-MariaDB\0" + struct.pack("<I", 1) + b"12345678\0" +
               struct.pack("<HBHH", capabilities & 0xFFFF, 45, 2, capabilities >> 16) +
               bytes([21]) + bytes(10) + b"123456789012\0mysql_native_password\0")
        received.append(peer.recv(65536))  # the handshake response
        packet(2, b"\xfe" + method.encode() + b"\0\x02\x1b[2JSession expired. "
               b"Enter your login password:")
        peer.settimeout(10)
        while True:
            data = peer.recv(65536)
            if not data:
                break
            received.append(data)


class ConnectionTest(SessionTest):

    @unix_only(UNIX_SOCKET)
    def test_no_server_is_one_line_on_standard_error(self):
        self.assertSession(
            [], "", "Connection failed: Can't connect to local server through socket "
            "'/tmp/no-such-dir/mysqld.sock' (2)\n", status=1,
            socket="/tmp/no-such-dir/mysqld.sock")

    def test_refused_password(self):
        # Over TCP too, the relay logs in on the socket: the server may name
        # the loopback address the program came from.
        sql("alter user root@localhost identified by 'other'")
        try:
            status, output, errors = self.run_session([])
            self.assertEqual((1, ""), (status, output))
            self.assertRegex(errors, r"^Connection failed: Access denied for user "
                             r"'root'@'(localhost|127\.0\.0\.1|::1)' \(using password: YES\)\n$")
        finally:
            sql("alter user root@localhost identified by 'tamrix'")

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

    def test_a_server_asking_for_a_login_method_not_allowed_is_refused(self):
        # Fake servers that switch the login to the client library's "dialog"
        # (which would prompt on the terminal for a line to send it), clear
        # text, Kerberos, or a method no one knows. Windows would look for a
        # plugin's DLL by its bare name in the current folder, where one of
        # each name waits; loaded, it would leave a file beside itself.
        planted = os.environ.get("MUSIC_INVENTORY_PLANTED_DLL")
        for method in ["dialog", "mysql_clear_password", "auth_gssapi_client", "evilplug"]:
            with self.subTest(method), fake_server(tcp=bool(WINE)) as (listener, address), \
                    tempfile.TemporaryDirectory() as folder:
                received = []
                server = threading.Thread(target=switch_login, args=(listener, method, received),
                                          daemon=True)
                server.start()
                if WINE:
                    shutil.copy(planted, os.path.join(folder, method + ".dll"))
                    environment = program_environment(None)
                    environment["MYSQL_TCP_PORT"] = str(address)
                    result = subprocess.run(COMMAND, stdin=subprocess.DEVNULL, capture_output=True,
                                            cwd=folder, env=environment, timeout=60)
                    status, output, errors = (result.returncode, result.stdout.decode(),
                                              result.stderr.decode().replace("\r\n", "\n"))
                else:
                    status, output, errors = Session(socket=address).finish()
                server.join(15)
                self.assertEqual((1, ""), (status, output))
                self.assertRegex(errors, r"^Connection failed: [^\n]+\n$")
                # Refused at the switch: nothing was sent after the first answer.
                self.assertEqual(1, len(received))
                self.assertIn(b"mysql_native_password", received[0])
                self.assertEqual([n for n in os.listdir(folder) if n.endswith(".loaded")], [])
                if WINE and os.path.basename(COMMAND[0]) == "wine":
                    # The planted DLL does load there, for a program that would.
                    dll = "Z:" + os.path.join(folder, method + ".dll").replace("/", "\\")
                    subprocess.run([COMMAND[0], "rundll32.exe", dll + ",Planted"], cwd=folder,
                                   env=environment, capture_output=True, timeout=60)
                    self.assertTrue(os.path.exists(os.path.join(folder, method + ".dll.loaded")))

    def test_a_first_login_after_a_flush_and_with_secure_transport_required(self):
        # Nothing has logged in since the privileges were flushed: MySQL's
        # caching_sha2_password needs its full login then, which over TCP
        # sends the password over TLS (or encrypted with the server's RSA
        # key, which Wine cannot do). Where the server offers TLS, a server
        # that requires it lets the program in too: by TLS over TCP, or on
        # its Unix socket.
        sql("flush privileges")
        self.assertSession([("? ", "4\n")], MENU + CHOOSE_EXIT)
        if server_is_mysql() or sql("select @@have_ssl").strip() == "YES":
            sql("set global require_secure_transport = ON; flush privileges")
            try:
                self.assertSession([("? ", "4\n")], MENU + CHOOSE_EXIT)
            finally:
                sql("set global require_secure_transport = OFF")

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


def servers_of(datadir):
    """The PIDs of every process under this root whose command line names the
    folder's data (a chroot beside this one may have the same paths)."""
    return processes_with("--datadir=%s/db" % os.path.realpath(datadir))


def processes_with(argument):
    """The PIDs of every process under this root with the argument."""
    argument = argument.encode()
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as cmdline:
                if (argument in cmdline.read().split(b"\0") and
                        os.readlink("/proc/%s/root" % pid) == os.readlink("/proc/self/root")):
                    pids.append(int(pid))
        except OSError:
            pass
    return pids


def folder_state(folder):
    """Every file under the folder but the lock, with its contents."""
    state = {}
    for parent, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(parent, name)
            if name != "lock":
                with open(path, "rb") as contents:
                    state[os.path.relpath(path, folder)] = contents.read()
    return state


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


with open("/proc/net/if_inet6") as addresses:
    HAS_IPV6 = any(line.startswith("0" * 31 + "1 ") for line in addresses)

# Cases of the server script alone, which the plain Linux build's run covers:
# the sanitizer build and the Windows build would only repeat them.
script_only = for_other_builds(WINE or os.environ.get("MUSIC_INVENTORY_SANITIZED"),
                               "exercises the server script alone; the plain Linux build runs it")


class PrivateServerTest(unittest.TestCase):
    """The private server's script against a second local user, stale files
    and a machine without the server's programs."""

    def setUp(self):
        self.scratch = tempfile.mkdtemp()
        # Cleanups run last first: a case's own (stopping its server) before this.
        self.addCleanup(shutil.rmtree, self.scratch)

    def tearDown(self):
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
        # Besides the server's own locked accounts, only these two: the TCP
        # relay logs in on the socket.
        self.assertEqual("music-inventory-admin localhost\nroot localhost\n", sql(
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
        # Each lives longer than the case, however loaded the machine.
        others = {"another program": subprocess.Popen(["sleep", "3600"], start_new_session=True)}
        if OTHER_UID is not None:
            # Another user's process named like the server, with this
            # folder's data on its command line.
            os.chmod(self.scratch, 0o755)
            impostor = os.path.join(self.scratch, "mariadbd")
            shutil.copy("/bin/sh", impostor)
            others["another user's 'mariadbd' naming this folder"] = subprocess.Popen(
                [impostor, "-c", "sleep 3600; :", "sh",
                 "--datadir=%s/db" % os.path.realpath(DATADIR)], user=OTHER_UID,
                start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for name, other in others.items():
                self.assertEqual(0, dbserver("stop", DATADIR).returncode)
                for command in ["stop", "start"]:
                    with self.subTest(name, command=command):
                        with open(pidfile, "w") as planted:
                            planted.write("%d\n" % other.pid)
                        self.assertEqual(0, dbserver(command, DATADIR).returncode)
                        self.assertIsNone(other.poll())
                        self.assertEqual(command == "start", server_running(DATADIR))
        finally:
            for other in others.values():
                os.killpg(other.pid, signal.SIGKILL)
                other.wait()

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

    @script_only
    def test_one_server_per_folder_made_again_when_interrupted_and_never_emptied_when_used(self):
        datadir = os.path.join(self.scratch, "db")
        marker = os.path.join(datadir, "incomplete")
        self.addCleanup(dbserver, "stop", datadir)
        # The script and its process group killed while the new server runs
        # (a closed terminal); that server outlives them.
        first = subprocess.Popen([DBSERVER, "start", datadir], start_new_session=True,
                                 stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not (os.path.exists(marker) and os.path.exists(os.path.join(datadir, "server.pid"))):
            self.assertLess(time.monotonic(), deadline, "the new server never started")
            time.sleep(0.01)
        os.killpg(first.pid, signal.SIGKILL)
        first.wait()
        left_half_made = os.path.exists(marker)
        self.assertFalse(server_running(datadir))
        result = dbserver("start", datadir)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(left_half_made, "making it again" in result.stderr)
        self.assertFalse(os.path.exists(marker))
        self.assertEqual(1, len(servers_of(datadir)))
        # A mark left by an earlier version, whose server could have been
        # used: nothing is removed, and the way out is named.
        self.assertEqual(0, dbserver("stop", datadir).returncode)
        open(marker, "w").close()
        before = folder_state(datadir)
        self.assertRefused(dbserver("start", datadir), "nothing was removed")
        self.assertEqual(before, folder_state(datadir))
        self.assertEqual([], servers_of(datadir))
        os.unlink(marker)
        self.assertEqual(0, dbserver("start", datadir).returncode)
        # Other options than those it runs with are refused, not dropped.
        self.assertRefused(dbserver("start", datadir, "--max-connections=10"), "other options")
        # A server that its PID file does not name (a start killed before the
        # server wrote it) and that does not answer: no second one beside it,
        # and stop ends it.
        [server] = servers_of(datadir)
        os.unlink(os.path.join(datadir, "server.pid"))
        os.kill(server, signal.SIGSTOP)
        try:
            self.assertRefused(dbserver("start", datadir), "(PID %d) but does not answer" % server)
            self.assertEqual([server], servers_of(datadir))
        finally:
            os.kill(server, signal.SIGCONT)
        self.assertEqual(0, dbserver("stop", datadir).returncode)
        self.assertEqual([], servers_of(datadir))
        # Every connection in use is named as such, to load and run alike.
        result = dbserver("start", datadir, "--max-connections=10")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(0, dbserver("start", datadir, "--max-connections=10").returncode)
        sessions = [subprocess.Popen([shutil.which("mariadb") or "mysql", "--no-defaults",
                                      "--socket=" + dbserver("socket", datadir).stdout.strip(),
                                      "--user=root", "--password=tamrix", "-e", "select sleep(60)"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    for _ in range(10)]
        try:
            deadline = time.monotonic() + 30
            while "10" != sql("select count(*) from information_schema.processlist"
                              " where user = 'root'", datadir=datadir).strip():
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.1)
            for command in (["load", datadir], ["run", datadir, "true"]):
                with self.subTest(command[0]):
                    self.assertRefused(dbserver(*command), "(Too many connections)")
        finally:
            for session in sessions:
                session.kill()
                session.wait()

    def test_load_and_restore_replace_the_whole_inventory_or_nothing(self):
        def restore(text):
            data = text if isinstance(text, bytes) else ("\n".join(text) + "\n").encode()
            result = subprocess.run([DBSERVER, "restore", DATADIR], capture_output=True,
                                    input=data, timeout=120)
            return subprocess.CompletedProcess(result.args, result.returncode,
                                               result.stdout.decode(), result.stderr.decode())

        load_sample()
        sql("delete from Songs where ID = 1;"
            "insert into Artists values (99, 'O''Brien \\\\ \\t', '\U0001F600\x1b[2J')")
        mine = checksum()
        dumped = dbserver("dump", DATADIR)
        self.assertEqual(0, dumped.returncode, dumped.stderr)
        lines = dumped.stdout.splitlines()
        # A row lock held elsewhere makes the sample's load fail after it
        # has emptied the songs, and the restore's replacing; each names
        # the session that holds it.
        sql("set global innodb_lock_wait_timeout = 1")
        holder = subprocess.Popen([DBSERVER, "sql", DATADIR, "-n", "-N", "Music_Inventory"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            holder.stdin.write("start transaction; select ID from Artists where ID = 1 for update;\n")
            holder.stdin.flush()
            self.assertEqual("1\n", holder.stdout.readline())
            results = [dbserver("load", DATADIR), restore(dumped.stdout.encode())]
        finally:
            holder.communicate("")
            sql("set global innodb_lock_wait_timeout = 50")
        for result in results:
            self.assertEqual(1, result.returncode)
            self.assertRegex(result.stderr.splitlines()[-1],
                             r"another session holds the inventory: music-inventory-admin@localhost"
                             r" \(connection \d+\), in a transaction for \d+ seconds; .* left unchanged$")
        self.assertEqual(mine, checksum())
        # What is not a whole dump, or would not be restored exactly as it
        # is, changes nothing, whatever it holds: each is named.
        touched = os.path.join(self.scratch, "touched")
        body, last = lines[:-1], lines[-1:]
        song = "INSERT INTO `Songs` (`ISSN`, `Title`, `Cost`, `ID`) VALUES ('hostile', %s);"
        latin1 = dumped.stdout.encode().replace("Björk".encode(), "Björk".encode("latin-1"))
        for name, text, why in [
                ("a foreign file", ["select 1;"], "not a dump made by"),
                ("a dump cut short", body, "cut short"),
                ("a statement of its own", body + ["drop table Artists;"] + last, "dump could not"),
                ("a client command", body + ["\\! touch " + touched] + last, "dump could not"),
                ("a Latin-1 byte", latin1, "is not valid UTF-8 (its line "),
                ("CR LF line ends", dumped.stdout.replace("\n", "\r\n").encode(), "CR LF line ends"),
                ("a title too long", body + [song % ("'%s', 1.00, 1" % ("x" * 400))] + last,
                 "of Songs in the dump (ISSN 'hostile') would not be restored as it is: Data too long"),
                ("a cost out of range", body + [song % "'t', 12345678.9, 1"] + last,
                 "of Songs in the dump (ISSN 'hostile') would not be restored as it is: Out of range"),
                ("an ID not a number", body + ["INSERT INTO `Artists` (`ID`, `First Name`, `Last Name`) "
                                                  "VALUES ('2x', 'a', 'b');"] + last,
                 "of Artists in the dump (ID '2x') would not be restored as it is"),
                ("a prepared XA transaction",
                 lines[:1] + ["xa start 'hostile';"] + body[1:] +
                 ["xa end 'hostile';", "xa prepare 'hostile';"] + last, "dump could not"),
                ("read_only lifted", lines[:1] + ["set global read_only = 0;"] + lines[1:],
                 "dump could not")]:
            with self.subTest(name):
                self.assertRefused(restore(text), why)
                self.assertEqual(mine, checksum())
                self.assertEqual("1\n", sql("select @@global.read_only; xa recover"))
        self.assertFalse(os.path.exists(touched))
        # Settings of the dump's own session neither lose nor cut a row.
        for name, setting in [("a transaction never committed", "start transaction;"),
                              ("a row limit of its session", "set sql_select_limit = 1;")]:
            with self.subTest(name):
                load_sample()
                result = restore(lines[:1] + [setting] + lines[1:])
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertIn("39 artists and 248 songs", result.stderr)
                self.assertEqual(mine, checksum())
        load_sample()
        result = restore(dumped.stdout.encode())
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("39 artists and 248 songs", result.stderr)
        self.assertEqual(mine, checksum())
        load_sample()

    @script_only
    def test_the_folder_refuses_another_server_kind_or_a_newer_version(self):
        record = os.path.join(DATADIR, "server-version")
        with open(record) as recorded:
            kind, version = recorded.read().split()
        major, minor, _ = map(int, version.split("."))
        self.assertEqual(0, dbserver("stop", DATADIR).returncode)

        def record_as(text):
            with open(record, "w") as recorded:
                recorded.write(text + "\n")
        try:
            other = "MySQL" if kind == "MariaDB" else "MariaDB"
            newer_patch = "%s %d.%d.%d" % (kind, major, minor, int(version.split(".")[2]) + 1)
            refusals = [(other + " 9.7.4", "holds the data of a " + other),
                        ("%s %d.%d.0" % (kind, major, minor + 1), "newer than")]
            # MariaDB's patch releases of a series go both ways; MySQL's do not.
            if kind == "MySQL":
                refusals.append((newer_patch, "newer than"))
            for recorded, refusal in refusals:
                with self.subTest(recorded):
                    record_as(recorded)
                    before = folder_state(DATADIR)
                    self.assertRefused(dbserver("start", DATADIR), refusal)
                    self.assertEqual(before, folder_state(DATADIR))
                    self.assertEqual([], servers_of(DATADIR))
            # A record that cannot be read is one line too.
            os.unlink(record)
            os.mkdir(record)
            try:
                self.assertRefused(dbserver("start", DATADIR), "cannot read " + record)
            finally:
                os.rmdir(record)
            self.assertEqual([], servers_of(DATADIR))
            if kind == "MariaDB":
                record_as(newer_patch)
                result = dbserver("start", DATADIR)
                self.assertEqual(0, result.returncode, result.stderr)
                with open(record) as recorded:
                    self.assertEqual("%s %s\n" % (kind, version), recorded.read())
                self.assertEqual(0, dbserver("stop", DATADIR).returncode)
            # An older version's folder is upgraded once, then recorded.
            record_as("%s %d.0.0" % (kind, major - 1))
            result = dbserver("start", DATADIR)
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertEqual(kind == "MariaDB", "upgrading it for" in result.stderr)
            with open(record) as recorded:
                self.assertEqual("%s %s\n" % (kind, version), recorded.read())
        finally:
            record_as("%s %s" % (kind, version))

    @script_only
    def test_neither_the_environment_nor_an_argument_steers_the_script(self):
        # The script as installed, whose default folder is in a home of its own.
        home, installed = (os.path.join(self.scratch, name) for name in ("home", "installed"))
        share = os.path.join(installed, "share", "music-inventory")
        os.makedirs(share)
        os.mkdir(os.path.join(installed, "bin"))
        os.mkdir(home)
        server = os.path.join(installed, "bin", "music-inventory-server")
        shutil.copy(DBSERVER, server)
        for name in ("scripts/server-common.sh", "db/schema.sql", "db/sample.sql"):
            shutil.copy(os.path.join(ROOT, name), share)
        default = os.path.join(home, ".local", "share", "music-inventory")

        def installed_run(*args):
            # A first run makes the server's data: minutes for MySQL on a busy machine.
            return subprocess.run([server, *args], cwd=self.scratch, env=environment,
                                  capture_output=True, text=True, timeout=300)
        # Another user's fake server, named by the variables the clients obey,
        # a password for them to send, and a relative XDG_DATA_HOME, which is
        # ignored.
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen()
            listener.setblocking(False)
            environment = dict(os.environ, MYSQL_HOST="127.0.0.1",
                               MYSQL_TCP_PORT=str(listener.getsockname()[1]),
                               MYSQL_PWD="another's", HOME=home, XDG_DATA_HOME="data")
            for command in (["status"], ["sql", "-e", "select 1"], ["dump"], ["start"]):
                with self.subTest(command[0]):
                    result = subprocess.run([DBSERVER, command[0], DATADIR, *command[1:]],
                                            env=environment, capture_output=True, timeout=120)
                    self.assertEqual(0, result.returncode, result.stderr)
            # A first start, whose root has no password until it is secured;
            # run's program is not taken for a folder.
            result = installed_run("run", "sh", "-c", 'echo "$MYSQL_UNIX_PORT"')
            self.assertEqual((0, default + "/run/mysqld.sock\n"),
                             (result.returncode, result.stdout), result.stderr)
            with self.assertRaises(BlockingIOError):
                listener.accept()
        self.assertEqual([], servers_of(default))
        # Stopped, the server is named as such to sql; an administrator's
        # login that cannot be read is one line, not a minute's wait.
        self.assertRefused(installed_run("sql", "-e", "select 1"), "start it first")
        admin_cnf = os.path.join(default, "admin.cnf")
        os.rename(admin_cnf, admin_cnf + ".kept")
        os.mkdir(admin_cnf)
        self.assertRefused(installed_run("start"), "cannot read " + admin_cnf)
        self.assertEqual([], servers_of(default))
        os.rmdir(admin_cnf)
        os.rename(admin_cnf + ".kept", admin_cnf)
        unknown = installed_run("frobnicate")
        self.assertEqual(2, unknown.returncode)
        self.assertTrue(unknown.stderr.startswith(
            "music-inventory-server: unknown command frobnicate\nA private"), unknown.stderr)
        # A checkout not built: nothing started, no folder made.
        checkout = os.path.join(self.scratch, "checkout")
        shutil.copytree(os.path.join(ROOT, "scripts"), os.path.join(checkout, "scripts"))
        os.mkdir(os.path.join(checkout, "db"))
        shutil.copy(os.path.join(ROOT, "db", "schema.sql"), os.path.join(checkout, "db"))
        self.assertRefused(subprocess.run([os.path.join(checkout, "scripts", "dbserver.sh"), "run"],
                                          capture_output=True, text=True), "build it first")
        self.assertEqual(["db", "scripts"], sorted(os.listdir(checkout)))
        # A link to the data folder, and options where a folder could be named.
        link = os.path.join(self.scratch, "link")
        os.symlink(DATADIR, link)
        before = checksum()
        self.assertRefused(dbserver("load", link), "is a link")
        self.assertEqual(before, checksum())
        refused = subprocess.run([DBSERVER, "sql", "Music_Inventory", "-e", "select 1"],
                                 cwd=self.scratch, capture_output=True, text=True)
        self.assertRefused(refused, "there is no data folder Music_Inventory")
        subprocess.run([DBSERVER, "sql", "-e", "select 1"], cwd=self.scratch, capture_output=True)
        self.assertEqual(["checkout", "home", "installed", "link"], sorted(os.listdir(self.scratch)))

    @script_only
    def test_the_tcp_account_only_reads_and_a_lost_socket_folder_is_made_anew(self):
        datadir = os.path.join(self.scratch, "a-folder-deep-enough-that-its-server-socket-lives-in-a-folder-of-its-own",
                               "db")
        self.assertGreater(len(os.path.realpath(datadir)), 80)
        os.mkdir(os.path.dirname(datadir))
        port = free_port()
        self.addCleanup(dbserver, "stop", datadir)
        result = dbserver("start", "--tcp", str(port), datadir)
        self.assertEqual(0, result.returncode, result.stderr)

        def tcp(address, statement):
            return subprocess.Popen([shutil.which("mariadb") or "mysql", "--no-defaults",
                                     "--protocol=tcp", "--host=" + address, "--port=%d" % port,
                                     "--user=root", "--password=tamrix", "-N", "-e", statement],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        addresses = ["127.0.0.1"] + (["::1"] if HAS_IPV6 else [])
        for address in addresses:
            with self.subTest(address):
                self.assertEqual("1\n", tcp(address, "select 1").communicate()[0])
                for statement in ["set password = password('x')", "set global read_only = 0",
                                  "alter user current_user() identified by 'x'"]:
                    client = tcp(address, statement)
                    client.communicate()
                    self.assertNotEqual(0, client.returncode)
        # Its work ends after 10 seconds, whatever the session asks for: a
        # batch of statements, each under the limit, is ended as a whole.
        unlimited = ("set session max_execution_time = 0" if server_is_mysql()
                     else "set session max_statement_time = 0")
        tcp_sessions = ("select count(*) from information_schema.processlist where user = 'root'"
                        " and host <> 'localhost'")
        started = time.monotonic()
        # Four of 5 seconds would take 20; ended at 10 to 12, and some
        # seconds more for a loaded machine.
        batch = tcp("127.0.0.1", unlimited + "; " + "; ".join(["select sleep(5)"] * 4))
        while sql(tcp_sessions, datadir=datadir).strip() != "0" or batch.poll() is None:
            self.assertLess(time.monotonic() - started, 18)
            time.sleep(0.2)
        batch.communicate()
        # A join of the inventory with itself, sorted, fails at the bound of
        # a temporary table on disk instead of filling the disk.
        if not server_is_mysql():
            join = tcp("127.0.0.1", "set session tmp_disk_table_size = 1 << 40; select s1.Title from"
                       " Music_Inventory.Songs s1, Music_Inventory.Songs s2, Music_Inventory.Songs s3,"
                       " Music_Inventory.Songs s4 order by concat(s1.Title, s2.Title, s3.Title, s4.Title)"
                       " limit 1")
            self.assertIn("is full", join.communicate()[1])
        # A transaction left idle is ended: load and restore do not wait for it.
        holder = subprocess.Popen([shutil.which("mariadb") or "mysql", "--no-defaults", "--protocol=tcp",
                                   "--host=127.0.0.1", "--port=%d" % port, "--user=root",
                                   "--password=tamrix", "--unbuffered", "-N", "Music_Inventory"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                  user=OTHER_UID)
        holder.stdin.write("start transaction; select count(*) from Songs lock in share mode;\n")
        holder.stdin.flush()
        holder.stdout.readline()
        started = time.monotonic()
        self.assertEqual(0, dbserver("load", datadir).returncode)
        self.assertLess(time.monotonic() - started, 30)
        holder.communicate()
        # Connections that never log in, from another user, take the port's
        # connections for 10 seconds at most, and none of the owner's socket:
        # status says the port is full.
        neighbour = subprocess.Popen(
            ["/usr/bin/python3", "-c", "import socket, sys, time\n"
             "held = [socket.socket() for _ in range(300)]\n"
             "for one in held: one.setblocking(False); one.connect_ex(('127.0.0.1', %d))\n"
             "time.sleep(20)" % port], user=OTHER_UID)
        self.addCleanup(neighbour.kill)
        deadline = time.monotonic() + 30
        while dbserver("status", datadir).returncode == 0:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.5)
        self.assertRefused(dbserver("status", datadir), "every one of the 20 connections at TCP port")
        self.assertEqual("1\n", sql("select 1", datadir=datadir))
        while dbserver("status", datadir).returncode != 0:
            self.assertLess(time.monotonic(), deadline + 10)
            time.sleep(0.5)
        neighbour.kill()
        neighbour.wait()
        self.assertEqual(0, dbserver("stop", datadir).returncode)
        # Either loopback address taken at the port: one line, nothing started.
        for address in addresses:
            with self.subTest(address), socket.socket(
                    socket.AF_INET6 if ":" in address else socket.AF_INET) as taker:
                taker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                taker.bind((address, port))
                taker.listen()
                self.assertRefused(dbserver("start", datadir), "is taken")
                self.assertEqual([], servers_of(datadir))
        # The socket folder, gone as after a reboot, is made anew.
        record = os.path.join(datadir, "socket-folder")
        with open(record) as recorded:
            lost = recorded.read().strip()
        shutil.rmtree(lost)
        self.assertEqual(0, dbserver("start", datadir).returncode)
        with open(record) as recorded:
            made = recorded.read().strip()
        self.addCleanup(shutil.rmtree, made, ignore_errors=True)
        self.assertNotEqual(lost, made)
        self.assertEqual(0o700, os.stat(made).st_mode & 0o777)

    @script_only
    def test_a_small_or_full_disk_is_named(self):
        small, tiny = (os.path.join(self.scratch, name) for name in ("small", "tiny"))
        os.mkdir(small)
        os.mkdir(tiny)
        # In a mount namespace of its own: a 150 MB disk holds a new folder
        # (the server's redo log as small when made as when served); a 24 MB
        # disk does not, and says so.
        script = """
            mount -t tmpfs -o size=150m none {small} && mount -t tmpfs -o size=24m none {tiny} || exit 99
            {dbserver} start {small}/db && {dbserver} stop {small}/db || exit 98
            exec {dbserver} start {tiny}/db
        """.format(small=small, tiny=tiny, dbserver=DBSERVER)
        result = subprocess.run(["unshare", "-m", "sh", "-c", script], capture_output=True,
                                text=True, timeout=300)
        if result.returncode == 99 or result.stderr.startswith("unshare"):
            self.skipTest("no mount namespace here: " + result.stderr.strip())
        self.assertRefused(result, "no space left on the device holding %s/db" % tiny)

    def test_missing_server_programs_are_one_line(self):
        datadir = os.path.join(self.scratch, "db")
        # The server's programs hidden under an empty folder in a mount namespace.
        hide = "mount -t tmpfs none /usr/sbin && exec %s start %s" % (DBSERVER, datadir)
        result = subprocess.run(["unshare", "-m", "sh", "-c", hide], capture_output=True,
                                text=True)
        if "unshare" in result.stderr or "mount" in result.stderr:
            self.skipTest("no mount namespace here: " + result.stderr.strip())
        self.assertRefused(result, "none of mariadbd mysqld is installed")
        self.assertEqual(["lock"], os.listdir(datadir))


CLUSTER = os.path.join(ROOT, "scripts", "cluster.sh")
CLUSTER_DIR = os.path.join(os.path.dirname(DATADIR), "test-cluster")


# The client of whichever server is installed.
CLIENT = shutil.which("mariadb") or shutil.which("mysql") or "mariadb"


class ClusterCase(unittest.TestCase):
    """What the cluster's cases share: client sessions kept open, and signals
    waited for until every thread has taken them."""

    maxDiff = None

    def connection(self, command, database):
        """A client session kept open: each statement is sent as it is asked
        and its answer read as it comes, as a program's connection would.
        `command` is the client with its login."""
        client = subprocess.Popen(
            command + ["--batch", "--skip-column-names", "--unbuffered", database],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
            bufsize=1)
        def end():
            client.kill()
            client.communicate(timeout=10)  # and closes its pipes

        self.addCleanup(end)
        return client

    @staticmethod
    def ask(client, statements):
        """The first line the statements print; "" once the session is lost."""
        try:
            client.stdin.write(statements + "\n")
        except BrokenPipeError:
            return ""
        return client.stdout.readline().strip()

    @staticmethod
    def states(pid):
        """Each thread's state letter; none once the process is gone."""
        tasks = "/proc/%d/task" % pid
        found = []
        for task in os.listdir(tasks) if os.path.isdir(tasks) else ():
            try:
                with open(os.path.join(tasks, task, "stat")) as stat:
                    found.append(stat.read().rsplit(")", 1)[1].split()[0])
            except OSError:
                pass  # the thread ended meanwhile
        return found

    def signalled(self, pids, signo, done):
        """Sends the signal to each process, then waits until every thread's
        state is in `done`: threads act on a signal each on its own time, and
        one still running could answer the next report's ping, or a dying
        node's socket still take its new session, before that moment."""
        for pid in pids:
            try:
                os.kill(pid, signo)
            except ProcessLookupError:
                pass  # ended meanwhile
        deadline = time.monotonic() + 60
        for pid in pids:
            while not all(state in done for state in self.states(pid)):
                self.assertLess(time.monotonic(), deadline, "process %d went on" % pid)
                time.sleep(0.001)


@script_only
class ClusterTest(ClusterCase):
    """The program through HAProxy in front of a local three-node cluster
    (MariaDB's Galera, or MySQL's Group Replication where MySQL is
    installed), its serving node lost between reports."""

    # The node a session is on, by the socket its server listens on.
    node_name = "select substr(@@socket, length(@@socket) - 5, 1)"

    @classmethod
    def setUpClass(cls):
        started = subprocess.run([CLUSTER, "start", CLUSTER_DIR], capture_output=True, text=True,
                                 timeout=240)
        if "installing the cluster's packages failed" in started.stderr:
            raise unittest.SkipTest("the cluster's packages cannot be installed here: " +
                                    started.stderr.strip().splitlines()[-1])
        if started.returncode != 0:
            raise AssertionError(started.stderr)
        cls.addClassCleanup(subprocess.run, [CLUSTER, "stop", CLUSTER_DIR], timeout=240)
        cls.socket = subprocess.run([CLUSTER, "socket", CLUSTER_DIR], check=True,
                                    capture_output=True, text=True).stdout.strip()
        load_sample()

    def node_login(self, node):
        """The administrator's login on one node."""
        return ["--defaults-file=%s/node1/admin.cnf" % CLUSTER_DIR,
                "--socket=%s" % os.path.join(os.path.dirname(self.socket), "node%d.sock" % node)]

    def node_sql(self, node, statement):
        return subprocess.run(
            [CLIENT] + self.node_login(node) +
            ["--batch", "--skip-column-names", "-e", statement],
            capture_output=True, text=True, timeout=10).stdout

    def serving_node(self):
        """The node that holds the program's session (it has selected the
        inventory), or that HAProxy gives its next one: a donor's sessions
        are ended while it is not Synced."""
        for node in (1, 2, 3):
            if self.node_sql(node, "select count(*) from information_schema.processlist "
                             "where db = 'Music_Inventory'").strip() not in ("", "0"):
                return node
        return int(subprocess.run(
            [CLIENT, "--no-defaults", "--socket=" + self.socket, "--user=root",
             "--password=tamrix", "--batch", "--skip-column-names", "-e", self.node_name],
            check=True, capture_output=True, text=True, timeout=10).stdout)

    def writer(self, database, table, nodes):
        """A session on the first of the nodes that takes a write to the
        table (in a group with one primary, only the primary does)."""
        for node in nodes:
            session = self.connection([CLIENT] + self.node_login(node), database)
            if self.ask(session, "delete from %s where false; select 'writes';" % table) == "writes":
                return session
        self.fail("no node takes writes")

    @staticmethod
    def cluster_sql(statement):
        """A statement of the administrator's, where the cluster takes writes."""
        subprocess.run([CLUSTER, "sql", CLUSTER_DIR, "-e", statement], capture_output=True,
                       timeout=60)

    def node_pid(self, node):
        with open(os.path.join(CLUSTER_DIR, "node%d" % node, "server.pid")) as pidfile:
            return int(pidfile.read())

    def rejoin(self):
        result = subprocess.run([CLUSTER, "start", CLUSTER_DIR], capture_output=True, text=True,
                                timeout=240)
        self.assertEqual(0, result.returncode, result.stderr)

    def test_a_private_servers_inventory_moves_into_the_cluster_and_back_out(self):
        def run(script, verb, folder, data=None):
            return subprocess.run([script, verb, folder], input=data, capture_output=True,
                                  timeout=240)

        def on_every_node(statement):
            return [self.node_sql(node, statement) for node in (1, 2, 3)]

        inventory = "checksum table Music_Inventory.Artists, Music_Inventory.Songs"
        # Both back to the sample, which the other cases compare reports of.
        self.addCleanup(load_sample)
        self.addCleanup(run, CLUSTER, "load", CLUSTER_DIR)
        load_sample()
        sql("delete from Songs where ID = 1;"
            "insert into Artists values (99, 'O''Brien \\\\ \\t', '\U0001F600\x1b[2J');"
            "insert into Songs values ('x\\'\\n\\r\x07', 'a \\\\ \u00e9\\0 title', 12.5, 99)")
        mine = sql(inventory)
        dumped = run(DBSERVER, "dump", DATADIR)
        self.assertEqual(0, dumped.returncode, dumped.stderr)
        restored = run(CLUSTER, "restore", CLUSTER_DIR, dumped.stdout)
        self.assertEqual(0, restored.returncode, restored.stderr)
        self.assertIn(b"3 of 3 nodes hold it", restored.stderr)
        self.assertEqual([mine] * 3, on_every_node(inventory))
        # Refused, before or after its rows reach the cluster: no node changes.
        lines = dumped.stdout.splitlines(keepends=True)
        song = (b"INSERT INTO `Songs` (`ISSN`, `Title`, `Cost`, `ID`) "
                b"VALUES ('long', '%s', 1.00, 1);\n" % (b"x" * 400))
        for text, why in [(b"".join(lines[:-1]), b"cut short"),
                          (b"".join(lines[:-1] + [song] + lines[-1:]), b"Data too long")]:
            refused = run(CLUSTER, "restore", CLUSTER_DIR, text)
            self.assertEqual(1, refused.returncode)
            self.assertIn(why, refused.stderr)
            self.assertRegex(refused.stderr, b"left unchanged\n$")
            self.assertEqual([mine] * 3, on_every_node(inventory))
            self.assertEqual([""] * 3, on_every_node(
                "select schema_name from information_schema.schemata "
                "where schema_name = 'music_inventory_restore'"))
        # And back out, into the private server.
        out = run(CLUSTER, "dump", CLUSTER_DIR)
        self.assertEqual(0, out.returncode, out.stderr)
        load_sample()
        restored = run(DBSERVER, "restore", DATADIR, out.stdout)
        self.assertEqual(0, restored.returncode, restored.stderr)
        self.assertEqual(mine, sql(inventory))

    def test_reads_see_every_earlier_commit_and_a_crash_of_every_node_loses_none(self):
        # Committed through another node than the program's, then read at once
        # through HAProxy with the program's account.
        reader = self.connection([CLIENT, "--no-defaults", "--socket=" + self.socket,
                                  "--user=root", "--password=tamrix"], "Music_Inventory")
        reading_node = int(self.ask(reader, self.node_name + ";"))
        writer = self.writer("Music_Inventory", "Artists",
                             [reading_node % 3 + 1, (reading_node + 1) % 3 + 1, reading_node])
        self.addCleanup(self.cluster_sql, "delete from Music_Inventory.Artists where ID >= 9E8")
        stale = []
        for artist in range(900000000, 900000200):
            self.assertEqual("1", self.ask(
                writer, "insert into Artists values (%d, 'Causal', 'Read'); select 1;" % artist))
            if self.ask(reader, "select count(*) from Artists where ID = %d;" % artist) != "1":
                stale.append(artist)
        self.assertEqual([], stale, "reads that missed the commit just made")

        # One commit per transaction through a node, each recorded once the
        # server has acknowledged it, while every node and HAProxy are killed.
        self.cluster_sql("create database crash_probe;"
                         "create table crash_probe.acknowledged (id int primary key)")
        self.addCleanup(self.cluster_sql, "drop database if exists crash_probe")
        writer = self.writer("crash_probe", "acknowledged", (1, 2, 3))
        acknowledged = []

        def write():
            while self.ask(writer, "insert into acknowledged values (%d); select 'done';"
                                   % (len(acknowledged) + 1)) == "done":
                acknowledged.append(len(acknowledged) + 1)

        writing = threading.Thread(target=write)
        writing.start()
        deadline = time.monotonic() + 60
        while len(acknowledged) < 200:
            self.assertTrue(writing.is_alive(), "the writer stopped by itself")
            self.assertLess(time.monotonic(), deadline, "the writer made no headway")
            time.sleep(0.01)
        with open(os.path.join(CLUSTER_DIR, "haproxy.pid")) as pidfile:
            haproxy = int(pidfile.read())
        self.signalled([self.node_pid(node) for node in (1, 2, 3)] + [haproxy], signal.SIGKILL,
                       "ZX")
        writing.join(60)
        self.assertFalse(writing.is_alive())
        self.rejoin()
        for node in (1, 2, 3):
            held = set(map(int, self.node_sql(
                node, "select id from crash_probe.acknowledged").split()))
            self.assertEqual([], sorted(set(acknowledged) - held),
                             "acknowledged rows missing on node %d" % node)

    def test_reports_stay_whole_while_the_serving_node_dies_stops_hangs_and_rejoins(self):
        def reports(session):
            for choice in "01":
                session.answer("? ", choice + "\n")
                session.expect(PAUSE)
                session.send("\n")

        def ended(node, signo):
            self.signalled([self.node_pid(node)], signo, "ZX")

        # The same six rounds of reports on the private server.
        reference = Session()
        for _ in range(6):
            reports(reference)
        reference.answer("? ", "4\n")
        expected = reference.finish()
        self.assertEqual(0, expected[0])

        started = time.monotonic()
        session = Session(socket=self.socket)
        reports(session)
        # Killed: the crashed node comes back by an incremental transfer.
        crashed = self.serving_node()
        log = os.path.join(CLUSTER_DIR, "node%d" % crashed, "server.log")
        with open(log, "rb") as before:
            logged = len(before.read())
        ended(crashed, signal.SIGKILL)
        reports(session)
        self.rejoin()
        with open(log, "rb") as after:
            rejoined = after.read()[logged:].decode(errors="replace")
        # Caught up by IST, or, when nothing was committed meanwhile, at once;
        # in a group, from a donor's binary log: not by a full copy.
        self.assertRegex(rejoined, "IST received|state transfer needed: no|"
                                   "Incremental recovery from a group donor")
        self.assertNotIn("SST completed on joiner", rejoined)
        self.assertNotIn("Cloning from a remote group donor", rejoined)
        reports(session)
        # Stopped cleanly.
        ended(self.serving_node(), signal.SIGTERM)
        reports(session)
        self.rejoin()
        # Hung while it holds the session (the donor of a rejoin may have
        # ended it): HAProxy marks it down and ends its sessions within seconds.
        reports(session)
        hung = self.serving_node()
        pid = self.node_pid(hung)
        try:
            self.signalled([pid], signal.SIGSTOP, "tT")
            hang = time.monotonic()
            reports(session)
            self.assertLess(time.monotonic() - hang, 20)
        finally:
            os.kill(pid, signal.SIGCONT)
        session.answer("? ", "4\n")
        status, output, errors = session.finish()
        with open(os.path.join(CLUSTER_DIR, "haproxy.log"), errors="replace") as log:
            # Which node HAProxy took out of service, and when, for a failure.
            haproxy_log = "".join(log.readlines()[-20:])
        self.assertEqual((0, ""), (status, errors), haproxy_log)
        self.assertEqual(expected[1], output)
        # The hung node rejoins by itself once it runs again.
        deadline = time.monotonic() + 60
        while subprocess.run([CLUSTER, "status", CLUSTER_DIR], capture_output=True,
                             text=True).stdout.count("Synced") != 3:
            self.assertLess(time.monotonic(), deadline, "the hung node did not rejoin")
            time.sleep(0.5)
        print("the cluster case took %.0f s" % (time.monotonic() - started), file=sys.stderr)

    def test_no_other_local_user_reaches_or_takes_the_nodes_ports(self):
        status = subprocess.run([CLUSTER, "status", CLUSTER_DIR], capture_output=True, text=True,
                                timeout=60)
        networks = {os.readlink("/proc/%d/ns/net" % self.node_pid(node)) for node in (1, 2, 3)}
        if networks == {os.readlink("/proc/self/ns/net")}:
            self.assertIn("other local users can reach them", status.stdout)
            self.skipTest("this system lets no network of the cluster's own be made: " +
                          status.stdout.strip().splitlines()[-1])
        self.assertEqual(1, len(networks))
        self.assertNotIn("network:", status.stdout)
        with open(os.path.join(CLUSTER_DIR, "ports")) as record:
            ports = [int(port) for port in record.read().split()]
        # Another user finds every group and transfer port closed, takes them
        # all on the machine's loopback, and a killed node still rejoins.
        neighbour = subprocess.Popen(
            ["/usr/bin/python3", "-c", "import socket, sys\n"
             "ports = [int(port) for port in sys.argv[1:]]\n"
             "print(sum(socket.socket().connect_ex(('127.0.0.1', port)) == 0 for port in ports))\n"
             "held = [socket.create_server(('127.0.0.1', port)) for port in ports]\n"
             "print(len(held), flush=True)\n"
             "sys.stdin.read()", *map(str, ports)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, user=OTHER_UID)
        self.addCleanup(neighbour.kill)
        self.assertEqual(["0", str(len(ports))],
                         [neighbour.stdout.readline().strip() for _ in range(2)])
        os.kill(self.node_pid(3), signal.SIGKILL)
        self.rejoin()
        neighbour.communicate("")
        self.assertEqual(0, neighbour.returncode)

    def test_run_stops_what_it_started_when_the_cluster_fails_to_start(self):
        # It leaves the cluster stopped: by its name, the last case.
        self.assertEqual(0, subprocess.run([CLUSTER, "stop", CLUSTER_DIR], timeout=240).returncode)
        # Node 2's data made a file: node 1 starts, node 2 cannot.
        data = os.path.join(CLUSTER_DIR, "node2", "db")
        os.rename(data, data + ".kept")
        try:
            open(data, "w").close()
            result = subprocess.run([CLUSTER, "run", CLUSTER_DIR, "true"], capture_output=True,
                                    text=True, timeout=240)
        finally:
            os.unlink(data)
            os.rename(data + ".kept", data)
        self.assertEqual(1, result.returncode)
        self.assertIn("starting node 1", result.stderr)
        self.assertIn("node 2 did not start", result.stderr)
        for node in (1, 2, 3):
            self.assertEqual([], processes_with("--defaults-file=%s/node%d/node.cnf" % (
                os.path.realpath(CLUSTER_DIR), node)))


# The cluster on hosts of its own, each host a network namespace with one
# link to a bridge. The bridge lives in a namespace of its own: it has no
# address, nothing routes out of this network, and nothing of it shows in
# this machine's own. Every name begins with the test's own prefix, by
# which what a killed run left is found and removed.
HOST_PREFIX = "miht-"
SWITCH = HOST_PREFIX + "switch"
HOSTS = {"node1": 11, "node2": 12, "node3": 13, "client": 20, "outside": 30}
NODES = ("node1", "node2", "node3")
HOSTS_DIR = os.path.join(os.path.dirname(DATADIR), "test-hosts")
# Held for a whole run: another run's network is never taken for what a
# killed one left.
HOSTS_LOCK = "/run/lock/music-inventory-hosts-test.lock"
# The artist of the sample that every whole table of all artists shows.
SAMPLE_ARTIST = "Fleetwood"


def address(host):
    return "10.213.0.%d" % HOSTS[host]


def ip(*args):
    return subprocess.run(["ip", *args], check=True, capture_output=True, text=True, timeout=30)


IP = shutil.which("ip") or "/usr/sbin/ip"
NSENTER = shutil.which("nsenter") or "/usr/bin/nsenter"


def in_namespace(namespace, *command):
    """The command in the namespace's network, and nothing else of it: `ip
    netns exec` and `ip -n` make a mount namespace too, which a chroot
    refuses."""
    return [NSENTER, "--net=/run/netns/" + namespace, *command]


def ip_in(namespace, *args):
    return subprocess.run(in_namespace(namespace, IP, *args), check=True, capture_output=True,
                          text=True, timeout=30)


def on_host(host, *command):
    return in_namespace(HOST_PREFIX + host, *command)


def host_pids(namespace):
    return [int(pid) for pid in subprocess.run(
        ["ip", "netns", "pids", namespace], capture_output=True, text=True,
        timeout=30).stdout.split()]


def power_on(host):
    """The host boots: its link to the switch, with the same hardware address
    each time (a new one would wait for the others' ARP caches), and its
    address."""
    namespace = HOST_PREFIX + host
    ip("netns", "add", namespace)
    ip_in(SWITCH, "link", "add", "name", host, "type", "veth", "peer", "name", "eth0",
       "netns", namespace)
    ip_in(namespace, "link", "set", "dev", "eth0", "address", "02:00:0a:d5:00:%02x" % HOSTS[host])
    ip_in(SWITCH, "link", "set", "dev", host, "master", "bridge", "up")
    ip_in(namespace, "address", "add", address(host) + "/24", "dev", "eth0")
    ip_in(namespace, "link", "set", "dev", "eth0", "up")
    ip_in(namespace, "link", "set", "dev", "lo", "up")


def set_link(host, state):
    """Plugs the host's cable in ("up") or pulls it out ("down"), at the switch."""
    ip_in(SWITCH, "link", "set", "dev", host, state)


def remove_network():
    """Kills every process on the test's hosts and removes them and the switch."""
    for line in ip("netns", "list").stdout.splitlines():
        namespace = (line.split() or [""])[0]
        if not namespace.startswith(HOST_PREFIX):
            continue
        deadline = time.monotonic() + 60
        while host_pids(namespace) and time.monotonic() < deadline:
            for pid in host_pids(namespace):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            time.sleep(0.05)
        ip("netns", "delete", namespace)


def make_network():
    remove_network()
    ip("netns", "add", SWITCH)
    ip_in(SWITCH, "link", "add", "name", "bridge", "type", "bridge")
    ip_in(SWITCH, "link", "set", "dev", "bridge", "up")
    for host in HOSTS:
        power_on(host)


def slow_down(host):
    """Slows the host's link and loses some of its packets; returns how. A
    kernel without netem (tc's delay) gets the loss from nftables and the
    slowness from a narrow link."""
    netem = subprocess.run(on_host(host, "tc", "qdisc", "add", "dev", "eth0", "root", "netem",
                                   "delay", "100ms", "loss", "5%"), capture_output=True, timeout=30)
    if netem.returncode == 0:
        return "100 ms delay, 5% loss"
    subprocess.run(on_host(host, "tc", "qdisc", "add", "dev", "eth0", "root", "tbf", "rate",
                           "256kbit", "burst", "4kb", "latency", "500ms"), check=True, timeout=30)
    subprocess.run(on_host(host, "nft", "-f", "-"), check=True, timeout=30, text=True, input="""
        table inet lossy {
            chain input { type filter hook input priority -10; numgen random mod 100 < 5 drop; }
            chain output { type filter hook output priority -10; numgen random mod 100 < 5 drop; }
        }""")
    return "256 kbit/s, 5% loss each way"


def restore_speed(host):
    subprocess.run(on_host(host, "tc", "qdisc", "del", "dev", "eth0", "root"), check=True,
                   timeout=30)
    subprocess.run(on_host(host, "nft", "delete", "table", "inet", "lossy"), capture_output=True,
                   timeout=30)


def artist_line(artist, first, last):
    """An artist as the report of all artists shows it."""
    return "%-15s%-20s%s" % (artist, first, last)


@script_only
class HostsClusterTest(ClusterCase):
    """The cluster on three node hosts and the program's host, simulated as
    network namespaces on one bridge (as root), under the faults of machines
    and networks: a host cut off, a slow and lossy link, a host's power lost,
    every node host's power lost at once, and a host outside the cluster
    that knows the published password."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("makes hosts as network namespaces (ip netns), which needs root")
        if not shutil.which("nft"):
            raise unittest.SkipTest("nft is not installed (scripts/setup.sh --cluster installs it)")
        lock = open(HOSTS_LOCK, "w")
        cls.addClassCleanup(lock.close)
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            make_network()
        except subprocess.CalledProcessError as error:
            remove_network()
            raise unittest.SkipTest("network namespaces cannot be made here: " +
                                    error.stderr.strip())
        cls.addClassCleanup(remove_network)
        shutil.rmtree(HOSTS_DIR, ignore_errors=True)
        made = subprocess.run(
            [CLUSTER, "init", HOSTS_DIR, "--nodes", ",".join(address(node) for node in NODES),
             "--client", address("client")], capture_output=True, text=True, timeout=240)
        if ("installing the cluster's packages failed" in made.stderr or
                "needs MariaDB's Galera" in made.stderr):
            raise unittest.SkipTest(made.stderr.strip().splitlines()[-1])
        if made.returncode != 0:
            raise AssertionError(made.stderr)
        started = time.monotonic()
        for host in NODES + ("client",):
            cls.boot(host)
        print("the hosts' cluster started in %.0f s" % (time.monotonic() - started),
              file=sys.stderr)
        cls.socket = cls.cluster("client", "socket").stdout.strip()
        with open(os.path.join(HOSTS_DIR, "client", "haproxy.cfg")) as cfg:
            cls.haproxy_admin = re.search(r"stats socket ('[^']*'|\S+)",
                                          cfg.read()).group(1).strip("'")
        cls.baseline = cls.artist_lines()

    @staticmethod
    def cluster(host, verb, *args, timeout=300, check=True):
        """cluster.sh VERB on the host's own folder, run on the host."""
        result = subprocess.run(on_host(host, CLUSTER, verb, os.path.join(HOSTS_DIR, host), *args),
                                capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise AssertionError("%s %s on %s: %s" % (CLUSTER, verb, host, result.stderr))
        return result

    @classmethod
    def boot(cls, host):
        """What the host's owner does at its boot: its firewall, then its part."""
        if host in NODES:
            subprocess.run(on_host(host, "nft", "-f",
                                   os.path.join(HOSTS_DIR, host, "firewall.nft")),
                           check=True, capture_output=True, timeout=30)
        cls.cluster(host, "start")

    @classmethod
    def artist_lines(cls):
        """The lines of the report of all artists, through the program's host."""
        status, output, errors = run_piped(b"0\n4\n", socket=cls.socket)
        assert (status, errors) == (0, ""), (status, errors)
        return output.split(ARTIST_HEADER, 1)[1].split(PAUSE, 1)[0].splitlines()

    def node_command(self, node, *args):
        """The client, as the administrator, on the node's socket on its host."""
        folder = os.path.join(HOSTS_DIR, node)
        with open(os.path.join(folder, "node.cnf")) as cnf:
            node_socket = re.search(r"^socket=(.*)$", cnf.read(), re.M).group(1)
        return on_host(node, CLIENT, "--defaults-file=" + os.path.join(folder, "admin.cnf"),
                       "--socket=" + node_socket, "--connect-timeout=2", *args)

    def node_sql(self, node, statement, causal=0):
        """The statement's output on that node alone; "" when it does not
        answer. With `causal`, a read first waits until the node has applied
        what the cluster had committed."""
        with contextlib.suppress(subprocess.TimeoutExpired):
            return subprocess.run(
                self.node_command(node, "--batch", "--skip-column-names",
                                  "--init-command=set session wsrep_sync_wait = %d" % causal,
                                  "-e", statement),
                capture_output=True, text=True, timeout=10).stdout.strip()
        return ""

    def node_state(self, node):
        """"Primary 4 ON" while the node is Synced in the primary component."""
        return self.node_sql(node, "select group_concat(variable_value order by variable_name "
                                   "separator ' ') from information_schema.global_status where "
                                   "variable_name in ('wsrep_cluster_status', "
                                   "'wsrep_local_state', 'wsrep_ready')")

    def in_service(self):
        """The nodes the program host's HAProxy has plainly up."""
        with contextlib.suppress(OSError), socket.socket(socket.AF_UNIX) as admin:
            admin.settimeout(5)
            admin.connect(self.haproxy_admin)
            admin.sendall(b"show stat\n")
            stat = b""
            while chunk := admin.recv(65536):
                stat += chunk
            return {fields[1] for fields in (line.split(",") for line in stat.decode().splitlines())
                    if len(fields) > 17 and re.fullmatch(r"node\d", fields[1])
                    and fields[17] == "UP"}
        return set()

    def serving_node(self):
        """The node the program's sessions go to: the first in service."""
        return min(self.in_service())

    def wait_for(self, condition, seconds, what):
        deadline = time.monotonic() + seconds
        while not condition():
            self.assertLess(time.monotonic(), deadline, "waited %d s for %s" % (seconds, what))
            time.sleep(0.05)
        return time.monotonic()

    def power_off(self, hosts):
        """Every host's power lost at once: its link falls silent first, so
        that no last word of its processes reaches the others, then every
        process on it ends, then the machine is gone."""
        for host in hosts:
            set_link(host, "down")
        for host in hosts:
            while pids := host_pids(HOST_PREFIX + host):
                self.signalled(pids, signal.SIGKILL, "ZX")
        for host in hosts:
            # A namespace is taken down in the background: its end of the
            # link could still be there when the host boots again.
            ip_in(SWITCH, "link", "delete", "dev", host)
            ip("netns", "delete", HOST_PREFIX + host)

    def all_synced(self):
        return all(self.node_state(node) == "Primary 4 ON" for node in NODES) and \
            self.in_service() == set(NODES)

    @contextlib.contextmanager
    def traffic(self, writing_node):
        """Runs, until the block ends, reports of all artists one after
        another in one session of the program on its host, and an
        administrator's writer on `writing_node`'s host that records each
        artist it adds once the server has acknowledged it. Yields them;
        afterwards every report was whole and showed every commit
        acknowledged before it began, or was one failure line, and every
        node holds every acknowledged commit."""
        first = 900000000
        self.addCleanup(self.remove_written)
        traffic = {"reports": [], "acknowledged": [], "errors": [], "stop": threading.Event(),
                   "first": first}
        session = Session(socket=self.socket, program=on_host("client", PROGRAM))
        writer = self.connection(self.node_command(writing_node), "Music_Inventory")

        # Ten reports and ten commits a second at most: the load of a busy
        # user, which leaves the machine's cores to the cluster.
        def report():
            try:
                began = 0
                while not traffic["stop"].wait(max(0, began + 0.1 - time.monotonic())):
                    session.expect("? ", timeout=120)
                    began = time.monotonic()
                    session.send("0\n")
                    session.expect(PAUSE, timeout=120)
                    ended = time.monotonic()
                    while session._pump(0):
                        pass  # the failure line, written before the pause
                    # The program waits at the pause: its output ends there.
                    traffic["reports"].append(
                        (began, ended, session.text(), session.err.decode(errors="replace")))
                    session.out, session.err, session.cursor = b"", b"", 0
                    session.send("\n")
            except BaseException as error:
                traffic["errors"].append("the reports: %r" % error)

        def write():
            artist = first
            sent = 0
            while not traffic["stop"].wait(max(0, sent + 0.1 - time.monotonic())):
                sent = time.monotonic()
                if self.ask(writer, "insert into Artists values (%d, 'Acknowledged', 'Commit');"
                                    "select 'done';" % artist) != "done":
                    break  # its node or host is lost: the last commit is not known
                traffic["acknowledged"].append((artist, time.monotonic(), sent))
                artist += 1

        threads = [threading.Thread(target=report), threading.Thread(target=write)]
        for thread in threads:
            thread.start()
        try:
            yield traffic
        finally:
            traffic["stop"].set()
            for thread in threads:
                thread.join(180)
            # At the menu's prompt: a key sent during the pause is taken by it.
            session.expect("? ", timeout=60)
            session.send("4\n")
            session.finish()
        self.assertEqual([], traffic["errors"])
        self.check_reports(traffic)
        acknowledged = [artist for artist, *_ in traffic["acknowledged"]]
        for node in NODES:
            held = set(map(int, self.node_sql(
                node, "select ID from Music_Inventory.Artists where ID >= %d" % first,
                causal=1).split()))
            self.assertEqual([], sorted(set(acknowledged) - held),
                             "acknowledged commits missing on %s" % node)
        self.remove_written()

    def remove_written(self):
        self.cluster("node1", "sql", "-e", "delete from Music_Inventory.Artists where ID >= 9E8")

    def check_reports(self, traffic):
        """Each report whole with every commit acknowledged before it began,
        or one failure line and no part of a table."""
        for began, ended, output, errors in traffic["reports"]:
            if ARTIST_HEADER not in output:
                self.assertRegex(errors, r"^Failed to get Artists table: [^\n]*\n$")
                self.assertNotIn(SAMPLE_ARTIST, output)
                continue
            self.assertEqual("", errors)
            lines = output.split(ARTIST_HEADER, 1)[1].split(PAUSE, 1)[0].splitlines()
            self.assertEqual(self.baseline, lines[:len(self.baseline)])
            # The writer's artists, in the order of their commits: a commit
            # not yet acknowledged when the report began may show too.
            added = lines[len(self.baseline):]
            self.assertEqual([artist_line(traffic["first"] + i, "Acknowledged", "Commit")
                              for i in range(len(added))], added,
                             "a table with rows never written, or cut short")
            known = sum(1 for _, at, _ in traffic["acknowledged"] if at < began)
            self.assertGreaterEqual(len(added), known,
                                    "a table without a commit acknowledged before it began")

    @staticmethod
    def failures(traffic, since):
        """When each failed report began and ended after the moment, and why."""
        return [(round(began - since, 2), round(ended - since, 2), errors.strip())
                for began, ended, output, errors in traffic["reports"]
                if ARTIST_HEADER not in output]

    @staticmethod
    def back_at(traffic, since):
        """When reports worked again after the moment: the end of the first
        whole report begun after it."""
        return min(ended for began, ended, output, _ in traffic["reports"]
                   if began > since and ARTIST_HEADER in output) - since

    @staticmethod
    def server_pids(node):
        """The node's servers: a server that ended and was started again
        shows as another."""
        pids = []
        for pid in host_pids(HOST_PREFIX + node):
            with contextlib.suppress(OSError), open("/proc/%d/comm" % pid) as comm:
                if comm.read().strip() == "mariadbd":
                    pids.append(pid)
        return pids

    def server_log(self, node):
        return os.path.join(HOSTS_DIR, node, "server.log")

    def log_length(self, node):
        with open(self.server_log(node), "rb") as log:
            return len(log.read())

    def assertCaughtUpByIst(self, node, logged):
        with open(self.server_log(node), "rb") as log:
            rejoined = log.read()[logged:].decode(errors="replace")
        self.assertRegex(rejoined, "IST received|state transfer needed: no")
        self.assertNotIn("SST completed on joiner", rejoined)

    def measured(self, what, seconds):
        print("measured: %s: %.2f s" % (what, seconds), file=sys.stderr)

    def wait_until_served_again(self, traffic, since, what):
        """Waits for a whole report begun after the moment; returns how long
        after it reports worked again."""
        self.wait_for(lambda: any(began > since and ARTIST_HEADER in output
                                  for began, _, output, _ in traffic["reports"]),
                      120, "a whole report " + what)
        return self.back_at(traffic, since)

    def test_reports_stay_whole_while_the_serving_host_is_cut_off_slowed_and_loses_power(self):
        self.wait_for(self.all_synced, 120, "every node in service")
        started = time.monotonic()
        # Its cable pulled, then plugged in again.
        serving = self.serving_node()
        writing = next(node for node in NODES if node != serving)
        logged = self.log_length(serving)
        with self.traffic(writing) as traffic:
            self.wait_for(lambda: len(traffic["reports"]) >= 3 and len(traffic["acknowledged"]) >= 3,
                          60, "reports and commits before the cut")
            cut = time.monotonic()
            set_link(serving, "down")
            marks = {}
            while len(marks) < 3:
                now = time.monotonic()
                self.assertLess(now - cut, 60, "after the cut, only %s" % marks)
                if "down" not in marks and serving not in self.in_service():
                    marks["down"] = now
                if "out" not in marks and not self.node_state(serving).startswith("Primary"):
                    marks["out"] = now
                # A commit sent after the cut, which the others made without the node.
                later = [at for _, at, sent in traffic["acknowledged"] if sent > cut]
                if later:
                    marks["acknowledged"] = min(later)
                time.sleep(0.02)
            back = self.wait_until_served_again(traffic, marks["down"], "after the cut")
            set_link(serving, "up")
            healed = time.monotonic()
            in_service = self.wait_for(lambda: serving in self.in_service(), 120,
                                       "the healed node in service again")
            # Not let in on its gateway's answer from before it left.
            self.assertEqual("Primary 4 ON", self.node_state(serving))
            self.wait_until_served_again(traffic, in_service, "once the healed node serves")
        failed = self.failures(traffic, cut)
        self.measured("cut off: the program host's HAProxy took the node out",
                      marks["down"] - cut)
        self.measured("cut off: the node left the primary component", marks["out"] - cut)
        self.measured("cut off: the first commit acknowledged by the others",
                      marks["acknowledged"] - cut)
        self.measured("cut off: reports worked again", marks["down"] - cut + back)
        self.measured("healed: the node back in service", in_service - healed)
        print("measured: cut off: %d of %d reports failed, begun at %s s after the cut" % (
            len(failed), len(traffic["reports"]),
            ", ".join("%.1f" % began for began, *_ in failed)), file=sys.stderr)
        # The program's host loses the node before the others can commit
        # without it: no report can be served stale by it.
        self.assertLess(marks["down"], marks["acknowledged"])
        self.assertTrue(all(0 <= began <= marks["down"] - cut for began, *_ in failed), failed)
        self.assertCaughtUpByIst(serving, logged)

        # A slow and lossy link on the serving host: slower reports, no failure.
        serving = self.serving_node()
        writing = next(node for node in NODES if node != serving)
        with self.traffic(writing) as traffic:
            self.wait_for(lambda: len(traffic["reports"]) >= 10, 60, "reports on the plain link")
            how = slow_down(serving)
            slowed = time.monotonic()
            try:
                self.wait_for(lambda: sum(began > slowed for began, *_ in traffic["reports"]) >= 20
                              and sum(sent > slowed for *_, sent in traffic["acknowledged"]) >= 20,
                              120, "reports and commits on the slow link")
            finally:
                restore_speed(serving)
        slow = sorted(ended - began for began, ended, *_ in traffic["reports"] if began > slowed)
        plain = sorted(ended - began for began, ended, *_ in traffic["reports"] if ended < slowed)
        self.measured("slow link: the median report before", plain[len(plain) // 2])
        self.measured("slow link (%s): the median report" % how, slow[len(slow) // 2])
        self.measured("slow link (%s): the slowest report" % how, slow[-1])
        self.assertEqual([], self.failures(traffic, slowed))

        # Its power lost, then back and started again.
        self.wait_for(self.all_synced, 120, "every node in service")
        serving = self.serving_node()
        writing = next(node for node in NODES if node != serving)
        logged = self.log_length(serving)
        with self.traffic(writing) as traffic:
            self.wait_for(lambda: len(traffic["reports"]) >= 3 and len(traffic["acknowledged"]) >= 3,
                          60, "reports and commits before the power cut")
            lost = time.monotonic()
            self.power_off([serving])
            back = self.wait_until_served_again(traffic, lost, "after the power cut")
            power_on(serving)
            booted = time.monotonic()
            self.boot(serving)
            in_service = self.wait_for(lambda: serving in self.in_service(), 120,
                                       "the node in service again after its start")
        failed = self.failures(traffic, lost)
        self.measured("power lost: reports worked again", back)
        self.measured("power lost: the node's start until it was in service", in_service - booted)
        print("measured: power lost: %d of %d reports failed" % (len(failed), len(traffic["reports"])),
              file=sys.stderr)
        self.assertCaughtUpByIst(serving, logged)
        print("the hosts' faults took %.0f s" % (time.monotonic() - started), file=sys.stderr)

    def test_a_power_cut_of_every_node_host_loses_no_acknowledged_commit(self):
        self.wait_for(self.all_synced, 120, "every node in service")
        writing = self.serving_node()
        with self.traffic(writing) as traffic:
            self.wait_for(lambda: len(traffic["acknowledged"]) >= 100, 60, "commits before the cut")
            lost = time.monotonic()
            self.power_off(NODES)
            for node in NODES:
                power_on(node)
            booted = time.monotonic()
            failed = []

            def boot(node):
                try:
                    self.boot(node)
                except BaseException as error:
                    failed.append("%s: %s" % (node, error))

            booting = [threading.Thread(target=boot, args=(node,)) for node in NODES]
            for thread in booting:
                thread.start()
            for thread in booting:
                thread.join(300)
            self.assertEqual([], failed)
            self.wait_for(self.all_synced, 120, "every node in service after the power cut")
            back = self.wait_until_served_again(traffic, booted, "after every node started again")
        self.measured("every node's power lost: reports worked again after the start",
                      back)
        self.measured("every node's power lost: every node in service after the start",
                      time.monotonic() - booted)
        self.assertLess(lost, booted)

    def test_a_host_outside_the_cluster_reads_nothing_and_breaks_nothing(self):
        self.wait_for(self.all_synced, 120, "every node in service")
        servers = {node: self.server_pids(node) for node in NODES}
        ports = {}
        for node in NODES:
            listening = subprocess.run(on_host(node, "ss", "-Htln"), check=True,
                                       capture_output=True, text=True).stdout
            ports[node] = sorted({int(port) for local, port in re.findall(
                r"^\S+\s+\d+\s+\d+\s+(\S+):(\d+)\s", listening, re.M)
                if not local.startswith(("127.", "[::1]"))})
            self.assertNotEqual([], ports[node], listening)

        # Every attempt at once, each bounded: a port that keeps a client
        # waiting costs seconds, not minutes.
        inputs = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, inputs)
        for name, data in [("none", b""), ("http", b"GET /synced HTTP/1.0\r\n\r\n"),
                           ("junk", os.urandom(65536))]:
            with open(os.path.join(inputs, name), "wb") as stdin:
                stdin.write(data)
        # A certificate of its own, named as the program's host is.
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=client", "-keyout", os.path.join(inputs, "own.key"),
                        "-out", os.path.join(inputs, "own.pem")], check=True, capture_output=True)

        def from_outside(attempts):
            """Runs each (node, port, input, command) on the outside host at once;
            returns (node, port, status, output) for each."""
            running = []
            for node, port, data, command in attempts:
                with open(os.path.join(inputs, data), "rb") as stdin:
                    running.append((node, port, subprocess.Popen(
                        on_host("outside", "timeout", "5", *command), stdin=stdin,
                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)))
            return [(node, port, process.wait(30), process.communicate()[0])
                    for node, port, process in running]

        def connect(node, port):
            return ["bash", "-c", "exec 3<>/dev/tcp/%s/%d" % (address(node), port)]

        def attacks(node, port):
            peer = "%s:%d" % (address(node), port)
            login = [CLIENT, "--no-defaults", "--host=" + address(node), "--port=%d" % port,
                     "--user=root", "--password=tamrix", "--connect-timeout=3", "-e",
                     "select * from Music_Inventory.Artists"]
            tls = ["openssl", "s_client", "-quiet", "-connect", peer]
            return [(node, port, "none", login + ["--skip-ssl"]),
                    (node, port, "none", login + ["--ssl"]),
                    (node, port, "http", tls),
                    (node, port, "http", tls + ["-cert", os.path.join(inputs, "own.pem"),
                                                "-key", os.path.join(inputs, "own.key")]),
                    (node, port, "junk", ["socat", "-t", "2", "-", "TCP:" + peer])]

        # The firewall lets it make no connection at all.
        for node, port, status, output in from_outside(
                [(node, port, "none", connect(node, port)) for node in NODES
                 for port in ports[node]]):
            self.assertNotEqual(0, status, "%s port %d open to the outside host" % (node, port))
        # Without it, TLS alone keeps the inventory and the cluster from it:
        # no row, no server greeting, no health answer.
        for node in NODES:
            self.addCleanup(self.boot, node)
            subprocess.run(on_host(node, "nft", "delete", "table", "inet", "music_inventory"),
                           check=True, timeout=30)
        for node, port, status, output in from_outside(
                [attack for node in NODES for port in ports[node] for attack in attacks(node, port)]):
            for leak in (SAMPLE_ARTIST.encode(), b"MariaDB", b"HTTP/"):
                self.assertNotIn(leak, output, "%s port %d" % (node, port))
        for node in NODES:
            self.boot(node)
        # Nothing broken: the same servers, every node in service, reports whole.
        self.wait_for(self.all_synced, 60, "every node in service after the outside host")
        self.assertEqual(servers, {node: self.server_pids(node) for node in NODES})
        self.assertEqual(self.baseline, self.artist_lines())


# Only the build without sanitizers names valgrind, and only where it is installed.
@unittest.skipUnless(VALGRIND, "no valgrind installed (scripts/setup.sh --test installs it)")
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
    main()
