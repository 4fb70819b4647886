"""The four reports against the private server, checked line for line."""

import os
import signal
import subprocess
import tempfile
import time
import unittest

from harness import (ARTIST_HEADER, CHOOSE_EXIT, DATADIR, DBSERVER, MENU, PAUSE, UNIX_PROCESS,
                     UNIX_TERMINAL, Session, SessionTest, checksum, for_other_builds, load_sample,
                     main, menu_pass, run_piped, server_is_mysql, set_tables, sql, unix_only)

SONG_HEADER = "ISSN                Title                         Cost      ID\n"
BY_ARTIST_HEADER = "Artist ID      Song Title                    ISSN\n"
SEARCH_HEADER = "Song Title                    Artist First Name   Artist Last Name\n"
SEARCH_PROMPT = "All or beginning part of song name? "
# The artists of ARTISTS as choice 0 lists them.
ARTIST_TABLE = (ARTIST_HEADER + "-3             Bob                 NULL\n"
                "7              Ann                 Lee\n"
                "12             Jo                  Marks\n")

ARTISTS = [(7, "Ann", "Lee"), (-3, "Bob", None), (12, "Jo", "Marks")]
SONGS = [("A-1", "Rain", "0.99", 7), ("A-2", "Don't Stop", "1.29", 7),
         ("B-1", "Rainbow's End", "0.69", 12), ("B-2", "R_n 100%", "1.00", 12),
         ("C-1", "Back\\slash", "0.50", -3), ("D-1", "Orphan", "2.00", 99)]


class ReportTest(SessionTest):
    """Each test sets the tables it shows."""

    @classmethod
    def setUpClass(cls):
        pass

    @classmethod
    def tearDownClass(cls):
        load_sample()

    def setUp(self):
        set_tables(ARTISTS, SONGS)

    def report(self, choice, answer=None, prompt=None):
        """Runs one report and Exit; returns (status, output, errors)."""
        steps = [("? ", choice + "\n")]
        if answer is not None:
            steps.append((prompt, answer + "\n"))
        steps += [(PAUSE, "x"), ("? ", "4\n")]
        return self.run_session(steps)

    def assertReport(self, choice, body, errors="", answer=None, prompt=None):
        shown = body if answer is None else prompt + answer + "\n" + body
        self.assertEqual((0, menu_pass(choice, shown) + MENU + CHOOSE_EXIT, errors),
                         self.report(choice, answer, prompt))

    def search(self, text, body, errors=""):
        self.assertReport("3", body, errors, answer=text, prompt=SEARCH_PROMPT)

    def by_artist(self, text, body):
        self.assertReport("2", body, answer=text, prompt="Artist ID? ")


class ArtistListTest(ReportTest):

    def test_artist_table(self):
        self.assertReport("0", ARTIST_TABLE)

    def test_empty_table_prints_the_header(self):
        set_tables()
        self.assertReport("0", ARTIST_HEADER)

    def test_cells_as_long_as_their_width_are_written_whole(self):
        set_tables([(123456789012345, "Abcdefghijklmnopqrstuvwxy", "Lee"),
                    (1234567890123456789, "Abcdefghijklmnopqrst", "Ng")])
        self.assertReport("0", ARTIST_HEADER +
                          "123456789012345AbcdefghijklmnopqrstuvwxyLee\n"
                          "1234567890123456789AbcdefghijklmnopqrstNg\n")

    def test_names_line_up_by_display_width(self):
        set_tables([(1, "Björk", "Guðmundsdóttir"), (2, "Sigur", "Rós"), (3, "Ryuichi", "坂本龍一"),
                    (4, "ヒカル", "宇多田"), (5, "Zoe\u0308", "Keating"), (6, "\U0001F3B8 Joe", "X")])
        self.assertReport("0", ARTIST_HEADER +
                          "1              Björk               Guðmundsdóttir\n"
                          "2              Sigur               Rós\n"
                          "3              Ryuichi             坂本龍一\n"
                          "4              ヒカル              宇多田\n"
                          "5              Zoe\u0308                 Keating\n"
                          "6              \U0001F3B8 Joe              X\n")

    def test_missing_table_fails_and_the_next_report_runs_alone(self):
        sql("rename table Artists to Hidden")
        session = Session()
        session.answer("? ", "0\n")
        session.answer(PAUSE, "x")
        # The failed statement must not be run again, glued to the next one.
        sql("rename table Hidden to Artists")
        session.answer("? ", "0\n")
        session.answer(PAUSE, "x")
        session.answer("? ", "4\n")
        status, output, errors = session.finish()
        self.assertEqual((0, menu_pass("0", "") + menu_pass("0", ARTIST_TABLE) + MENU + CHOOSE_EXIT),
                         (status, output))
        self.assertRegex(errors, r"^Failed to get Artists table: Table '[^']+' doesn't exist\n$")

    @unix_only(UNIX_TERMINAL)
    def test_control_characters_cannot_drive_the_terminal(self):
        names = [(1, "Evil\x1b]0;PWNED\x07", "\x1b[8mHidden"), (2, "\x1b]52;c;Y3VybA==\x07", "A\rB\n")]
        set_tables(names)
        self.assertReport("0", ARTIST_HEADER +
                          "1              Evil\u241b]0;PWNED\u2407      \u241b[8mHidden\n"
                          "2              \u241b]52;c;Y3VybA==\u2407    A\u240dB\u240a\n")
        # Not on a terminal, the cells stay as delivered, for scripts.
        status, output, errors = run_piped(b"0\n4\n")
        self.assertEqual((0, ""), (status, errors))
        self.assertIn("1              Evil\x1b]0;PWNED\x07      \x1b[8mHidden\n"
                      "2              \x1b]52;c;Y3VybA==\x07    A\rB\n\n", output)

    @unix_only(UNIX_TERMINAL)
    def test_an_8_bit_terminal_gets_only_its_own_characters(self):
        # Like GNU screen started with LANG=C: UTF-8 bytes 0x80-0x9F would be
        # C1 controls there (the 0x9B of ě a CSI, the 0x90 of ␉ a DCS).
        set_tables([(1, "Björk", "Dvořák\u011b2J"), (2, "\t", "坂本"),
                    (3, "Zoe\u0308", "\x1b]0;X\x07")])
        with tempfile.TemporaryDirectory() as locales:
            subprocess.run(["localedef", "-i", "en_US", "-f", "ISO-8859-1",
                            os.path.join(locales, "en_US.ISO-8859-1")], check=True)
            session = Session(environment={"LOCPATH": locales, "LC_ALL": "en_US.ISO-8859-1"})
            session.answer("? ", "0\n")
            session.answer(PAUSE, "x")
            session.answer("? ", "4\n")
            status, output, errors = session.finish()
        self.assertEqual((0, ""), (status, errors))
        table = (ARTIST_HEADER + "1              Björk               Dvo?ák?2J\n"
                 "2              ?                   ??\n"
                 "3              Zoe?                ?]0;X?\n")
        self.assertEqual(menu_pass("0", table) + MENU + CHOOSE_EXIT,
                         output.encode("utf-8", "surrogateescape").decode("latin-1"))

    def test_missing_column_fails_without_part_of_a_row(self):
        sql("alter table Artists drop column `Last Name`")
        self.assertReport("0", ARTIST_HEADER,
                          "Failed to get Artists table: Unknown field name: Last Name\n")


class SongListTest(ReportTest):

    ALL_SONGS = (SONG_HEADER +
                 "A-1                 Rain                          0.99      7\n"
                 "A-2                 Don't Stop                    1.29      7\n"
                 "B-1                 Rainbow's End                 0.69      12\n"
                 "B-2                 R_n 100%                      1.00      12\n"
                 "C-1                 Back\\slash                    0.50      -3\n"
                 "D-1                 Orphan                        2.00      99\n")

    def test_all_songs(self):
        self.assertReport("1", self.ALL_SONGS)

    def test_empty_table_prints_the_header(self):
        set_tables(ARTISTS, [])
        self.assertReport("1", SONG_HEADER)

    def test_long_title_is_written_whole(self):
        set_tables(ARTISTS, [("L-1", "Running Up That Hill (A Deal wi", "1.29", 7),
                             ("L-2", "Running Up That Hill (A Deal w", "1.29", 7)])
        self.assertReport("1", SONG_HEADER +
                          "L-1                 Running Up That Hill (A Deal wi1.29      7\n"
                          "L-2                 Running Up That Hill (A Deal w1.29      7\n")
        self.by_artist("7", BY_ARTIST_HEADER +
                       "7              Running Up That Hill (A Deal wiL-1\n"
                       "7              Running Up That Hill (A Deal wL-2\n")

    def test_songs_by_artist(self):
        cases = {
            "7": "7              Rain                          A-1\n"
                 "7              Don't Stop                    A-2\n",
            "  12": "12             Rainbow's End                 B-1\n"
                    "12             R_n 100%                      B-2\n",
            "-3": "-3             Back\\slash                    C-1\n",
            "0": "",
            "5": "",
            "2147483647": "",
            "-9223372036854775808": "",
            "3000000000": "3000000000     Big                           E-1\n",
        }
        set_tables(ARTISTS, SONGS + [("E-1", "Big", "1.00", 3000000000)])
        for answer, rows in cases.items():
            with self.subTest(answer):
                self.by_artist(answer, BY_ARTIST_HEADER + rows)

    def test_same_report_twice_prints_the_same_table(self):
        for choice, answer, prompt in [("1", None, None), ("2", "12", "Artist ID? "),
                                       ("3", "Ra", SEARCH_PROMPT)]:
            with self.subTest(choice):
                steps = [("? ", choice + "\n")]
                if answer:
                    steps.append((prompt, answer + "\n"))
                steps.append((PAUSE, "x"))
                status, output, errors = self.run_session(steps * 2 + [("? ", "4\n")])
                first = output[:output.index(PAUSE)]
                second = output[output.index(PAUSE) + len(PAUSE + "\n\n"):]
                self.assertEqual((0, ""), (status, errors))
                self.assertEqual(first + PAUSE + "\n\n" + MENU + CHOOSE_EXIT, second)


class SongSearchTest(ReportTest):

    def test_titles_beginning_with_the_text(self):
        # Every song that has an artist; the orphan song is left out.
        every_song = ("Rain                          Ann                 Lee\n"
                      "Don't Stop                    Ann                 Lee\n"
                      "Rainbow's End                 Jo                  Marks\n"
                      "R_n 100%                      Jo                  Marks\n"
                      "Back\\slash                    Bob                 NULL\n")
        cases = {
            "Rain": "Rain                          Ann                 Lee\n"
                    "Rainbow's End                 Jo                  Marks\n",
            "rainb": "Rainbow's End                 Jo                  Marks\n",
            "": every_song,
            "%": every_song,
            " Rain": "",  # the answer keeps its spaces
            "%Stop": "Don't Stop                    Ann                 Lee\n",
            "R_n": "R_n 100%                      Jo                  Marks\n",
            "R_i": "Rain                          Ann                 Lee\n"
                   "Rainbow's End                 Jo                  Marks\n",
        }
        for text, rows in cases.items():
            with self.subTest(text):
                self.search(text, SEARCH_HEADER + rows)

    def test_quotes_and_backslashes_match_themselves_in_every_sql_mode(self):
        cases = {
            "Don't": "Don't Stop                    Ann                 Lee\n",
            "Rainbow's": "Rainbow's End                 Jo                  Marks\n",
            "Back\\": "Back\\slash                    Bob                 NULL\n",
            "Back\\s": "Back\\slash                    Bob                 NULL\n",
            "Backs": "",
            "\\": "",
            "'": "",
            "\"": "",
            "R!_n": "",
            "!": "",
        }
        try:
            for mode in ["", "NO_BACKSLASH_ESCAPES"]:
                sql("set global sql_mode = '%s'" % mode)
                for text, rows in cases.items():
                    with self.subTest(mode=mode, text=text):
                        self.search(text, SEARCH_HEADER + rows)
        finally:
            sql("set global sql_mode = default")

    def test_injection_attempts_list_only_matching_songs(self):
        before = checksum()
        attempts = [
            "x' union select user, host, authentication_string from mysql.user -- ",
            "x' or '1'='1",
            "x'; drop table Songs; -- ",
            "Rain'; drop table Artists; #",
            "%' or 1=1 -- ",
            "\\' or 1=1 -- ",
            "x\\'; drop table Songs; -- ",
            "/* */ Rain",
            "'",
            "\\",
        ]
        for text in attempts:
            with self.subTest(text):
                self.search(text, SEARCH_HEADER)
        self.assertEqual(before, checksum())


class ServerCharacterSetTest(ReportTest):
    """A server that ignores the character set asked for when connecting and
    parses statements in its own: the session is switched to utf8mb4 anyway."""

    def tearDown(self):
        restart_server()

    def test_server_character_set_cannot_subvert_the_session(self):
        def forced(charset):
            # MySQL has no option to ignore the client's character set; a
            # statement run at every login, by an account that is no
            # administrator, and kept from the client's view, does the same.
            if server_is_mysql():
                return ["--character-set-server=" + charset, "--init-connect=SET NAMES " + charset,
                        "--session-track-system-variables="]
            return ["--character-set-server=" + charset, "--skip-character-set-client-handshake"]
        set_tables([(1, "Björk", "Guðmundsdóttir"), (2, "Ryuichi", "坂本龍一")], SONGS)
        # In GBK the byte BF and the escaping backslash make one character,
        # which would free the quote to end the pattern early.
        restart_server(options=forced("gbk") + ["--collation-server=gbk_chinese_ci"])
        before = checksum()
        for text in [b"\xbf' union select user, host, authentication_string from mysql.user -- ",
                     b"\xbf' union select load_file(0x2f6574632f706173737764), 1, 1 -- "]:
            with self.subTest(text=text):
                status, output, errors = self.run_session(
                    [("? ", "3\n"), (SEARCH_PROMPT, text + b"\n"), (PAUSE, "x"), ("? ", "4\n")])
                self.assertEqual((0, ""), (status, errors))
                self.assertNotIn("root", output)
                self.assertIn(SEARCH_HEADER + PAUSE, output)
        self.assertEqual(before, checksum())
        # Names come back as stored, not in the server's character set.
        restart_server(options=forced("latin1"))
        self.assertReport("0", ARTIST_HEADER + "1              Björk               Guðmundsdóttir\n"
                          "2              Ryuichi             坂本龍一\n")


@for_other_builds(os.environ.get("MUSIC_INVENTORY_SANITIZED"),
                  "the sanitizers reserve more address space than any limit leaves")
@unix_only(UNIX_PROCESS)
class OutOfMemoryTest(ReportTest):
    """A result too large to hold, whether the client library or the program
    runs out: that report's failure line, then the next reports as usual."""

    def test_a_result_too_large_to_hold_fails_alone(self):
        # 300,000 rows, made by a recursive query that MySQL runs too.
        sql("insert into Artists with recursive thousand (n) as ("
            "select 0 union all select n + 1 from thousand where n < 999) "
            "select a.n * 1000 + b.n + 100, repeat('f', 40), repeat('l', 40) "
            "from thousand a, thousand b where a.n < 300")
        # mimalloc 2.1 and later reserve a gigabyte of address space at the
        # start, which a limit just above the menu's needs would leave unused.
        lazy = {"MIMALLOC_ARENA_RESERVE": "0"}
        session = Session(environment=lazy)
        session.expect("? ")
        with open("/proc/%d/status" % os.tcgetpgrp(session.master)) as status:
            at_the_menu = int(status.read().split("VmSize:")[1].split()[0]) * 1024
        session.send("4\n")
        session.finish()
        # Just above what the menu needs the client library fails first;
        # higher up, the program while keeping the rows.
        for extra_mib in (8, 64):
            with self.subTest(extra_mib=extra_mib):
                session = Session(address_space=at_the_menu + extra_mib * 2**20, environment=lazy)
                for prompt, answer in [("? ", "0\n"), (PAUSE, "x"), ("? ", "1\n"), (PAUSE, "x"),
                                       ("? ", "2\n"), ("Artist ID? ", "7\n"), (PAUSE, "x"),
                                       ("? ", "4\n")]:
                    session.answer(prompt, answer)
                status, output, errors = session.finish()
                self.assertEqual((0, menu_pass("0", "") + menu_pass("1", SongListTest.ALL_SONGS) +
                                  menu_pass("2", "Artist ID? 7\n" + ServerFaultTest.TABLES[1]) +
                                  MENU + CHOOSE_EXIT), (status, output))
                self.assertRegex(errors, r"^Failed to get Artists table: "
                                 r"(Client run out of memory|std::bad_alloc)\n$")


def kill_server():
    with open(os.path.join(DATADIR, "server.pid")) as pidfile:
        pid = int(pidfile.read())
    os.kill(pid, signal.SIGKILL)
    # Gone, or a zombie nobody has reaped yet.
    while True:
        try:
            with open("/proc/%d/stat" % pid) as stat:
                if stat.read().split()[2] == "Z":
                    return
        except FileNotFoundError:
            return
        time.sleep(0.05)


def restart_server(kill=False, options=()):
    if kill:
        kill_server()
    else:
        subprocess.run([DBSERVER, "stop", DATADIR], check=True)
    subprocess.run([DBSERVER, "start", DATADIR, *options], check=True, capture_output=True)


class ServerFaultTest(ReportTest):
    """The server goes away in the middle of a session: while it is away each
    report fails with its own line, and once it is back the next report finds
    it again; the menu goes on to a clean exit."""

    # Each names why the session could not be opened again (the connect
    # failed, or the dying server dropped it at the handshake), not the
    # closed connection's "Server has gone away".
    UNREACHABLE = (r"(Can't connect to (local (MySQL )?server through socket '[^']+'"
                   r"|(MySQL )?server on '[^']+') \(\d+\)"
                   r"|Lost connection to (MySQL )?server at 'handshake: [^']+', system error: \d+)\n")
    FAILURES = (r"Failed to get Songs table: " + UNREACHABLE +
                r"Failed to get songs by artist: " + UNREACHABLE +
                r"Failed to get the artist of the given song: " + UNREACHABLE +
                r"Failed to get Artists table: " + UNREACHABLE)
    # Every report after the fault, as it shows when the server is there.
    TABLES = [SONG_HEADER + "".join("%-20s%-30s%-10s%s\n" % song for song in SONGS),
              BY_ARTIST_HEADER + "7              Rain                          A-1\n"
              "7              Don't Stop                    A-2\n",
              SEARCH_HEADER + "Rain                          Ann                 Lee\n"
              "Rainbow's End                 Jo                  Marks\n"
              "R_n 100%                      Jo                  Marks\n",
              ARTIST_TABLE]

    def tearDown(self):
        subprocess.run([DBSERVER, "start", DATADIR], check=True, capture_output=True)

    def session_after(self, fault, during_pause=False, server_back=False):
        """Lists the artists, has `fault` happen during the pause or at the next
        menu, then runs every report and exits."""
        session = Session()
        session.answer("? ", "0\n")
        session.expect(PAUSE)
        if during_pause:
            fault()
            session.send("x")
            session.answer("? ", "1\n")
        else:
            session.answer("", "x")
            session.expect("? ")
            fault()
            session.send("1\n")
        for prompt, answer in [(PAUSE, "x"), ("? ", "2\n"), ("Artist ID? ", "7\n"), (PAUSE, "x"),
                               ("? ", "3\n"), ("song name? ", "R\n"), (PAUSE, "x"),
                               ("? ", "0\n"), (PAUSE, "x"), ("? ", "4\n")]:
            session.answer(prompt, answer)
        status, output, errors = session.finish()
        tables = self.TABLES if server_back else [""] * 4
        self.assertEqual((0, menu_pass("0", ARTIST_TABLE) + menu_pass("1", tables[0]) +
                          menu_pass("2", "Artist ID? 7\n" + tables[1]) +
                          menu_pass("3", SEARCH_PROMPT + "R\n" + tables[2]) +
                          menu_pass("0", tables[3]) + MENU + CHOOSE_EXIT), (status, output))
        self.assertRegex(errors, "^" + ("" if server_back else self.FAILURES) + "$")

    def test_server_killed_between_reports(self):
        self.session_after(kill_server)

    def test_a_server_that_comes_back_is_used_again(self):
        def idle_past_timeout():
            time.sleep(3)
        cases = {"idle past the server's wait_timeout": (idle_past_timeout, False),
                 "restarted at the menu": (lambda: restart_server(kill=True), False),
                 "stopped and started during the pause": (restart_server, True)}
        try:
            for name, (fault, during_pause) in cases.items():
                with self.subTest(name):
                    # The server drops a connection idle for longer than this.
                    sql("set global wait_timeout = %d" % (2 if fault is idle_past_timeout else 28800))
                    self.session_after(fault, during_pause, server_back=True)
        finally:
            sql("set global wait_timeout = default")

    def test_server_down_then_up_again(self):
        session = Session()
        session.answer("? ", "0\n")
        session.answer(PAUSE, "x")
        session.expect("? ")
        kill_server()
        session.send("0\n")
        session.answer(PAUSE, "x")
        session.expect("? ")
        subprocess.run([DBSERVER, "start", DATADIR], check=True, capture_output=True)
        session.send("0\n")
        session.answer(PAUSE, "x")
        session.answer("? ", "4\n")
        status, output, errors = session.finish()
        self.assertEqual((0, menu_pass("0", ARTIST_TABLE) + menu_pass("0", "") +
                          menu_pass("0", ARTIST_TABLE) + MENU + CHOOSE_EXIT), (status, output))
        self.assertRegex(errors, r"^Failed to get Artists table: .+\n$")


if __name__ == "__main__":
    main()
