"""The menu's dialogue: choices, bad answers and the end of input at every prompt."""

import os
import re
import subprocess
import unittest

from harness import (CHOOSE_EXIT, EXIT, MENU, PAUSE, PROGRAM, SOCKET, UNIX_PROCESS, Session,
                     SessionTest, main, menu_pass, run_piped, set_tables, sql, unix_only)

ARTISTS = "Artist ID      First Name          Last Name\n7              Ann                 Lee\n"
SONGS_OF_7 = "Artist ID      Song Title                    ISSN\n7              Rain                          A-1\n"
SONG_PROMPT = "All or beginning part of song name? "
SEARCH_HEADER = "Song Title                    Artist First Name   Artist Last Name\n"


class MenuTest(SessionTest):

    @classmethod
    def setUpClass(cls):
        set_tables(artists=[(7, "Ann", "Lee")], songs=[("A-1", "Rain", "0.99", 7)])

    def test_out_of_range_choice_asks_again(self):
        self.assertSession(
            [("? ", "7\n"), ("? ", "-1\n"), ("? ", "0\n"), (PAUSE, "x"), ("? ", "4\n")],
            MENU + "? 7\n? -1\n? 0\n\n" + ARTISTS + PAUSE + "\n\n" + MENU + CHOOSE_EXIT)

    def test_bad_answers_to_the_choice_are_discarded_with_their_line(self):
        junk = ["abc", "2abc", "1" * 30, "2147483648", "1.5", "%", "\x1b[A"]
        # Empty lines are skipped while the number is looked for; every other
        # answer brings the prompt again.
        steps = [("? ", "\n"), ("", "   \n")] + [("", junk[0] + "\n")] + [
            ("? ", answer + "\n") for answer in junk[1:]] + [("? ", "0\n"), (PAUSE, "x"),
                                                              ("? ", "4\n")]
        expected = MENU + "? \n   \n" + "".join(
            "%s\n? " % answer for answer in junk).replace("\x1b", "^[")
        self.assertSession(steps, expected + "0\n\n" + ARTISTS + PAUSE + "\n\n" + MENU +
                           CHOOSE_EXIT)

    def test_bad_artist_id_asks_again(self):
        steps = [("? ", "2\n"), ("Artist ID? ", "seven\n"), ("Artist ID? ", "7x\n"),
                 ("Artist ID? ", "99999999999999999999\n"), ("Artist ID? ", "7\n"), (PAUSE, "x"),
                 ("? ", "4\n")]
        self.assertSession(steps, MENU + "? 2\n\nArtist ID? seven\nArtist ID? 7x\n"
                           "Artist ID? 99999999999999999999\nArtist ID? 7\n" + SONGS_OF_7 +
                           PAUSE + "\n\n" + MENU + CHOOSE_EXIT)

    def test_end_of_input_at_each_prompt_exits_like_choice_4(self):
        eof = "\x04"  # Ctrl-D at the start of a line: the end of input
        cases = {
            "menu": ([("? ", eof)], MENU + "? \n" + EXIT),
            "after junk": ([("? ", "x\n"), ("? ", eof)], MENU + "? x\n? \n" + EXIT),
            "artist id": ([("? ", "2\n"), ("Artist ID? ", eof)],
                          MENU + "? 2\n\nArtist ID? \n" + EXIT),
            "song": ([("? ", "3\n"), ("song name? ", eof)],
                     MENU + "? 3\n\nAll or beginning part of song name? \n" + EXIT),
        }
        for name, (steps, expected) in cases.items():
            with self.subTest(name):
                self.assertSession(steps, expected)

    def test_input_from_a_pipe_that_ends_without_a_line_end(self):
        # The last answer counts although no line end follows it.
        cases = {
            "choice": (b"4", MENU + "? \n" + EXIT),
            "artist id": (b"2\n7", MENU + "? \nArtist ID? " + SONGS_OF_7 + PAUSE + "\n\n" + MENU +
                          "? \n" + EXIT),
            "song": (b"3\nRa", MENU + "? \nAll or beginning part of song name? " + SEARCH_HEADER +
                     "Rain                          Ann                 Lee\n" + PAUSE + "\n\n" +
                     MENU + "? \n" + EXIT),
        }
        for name, (data, expected) in cases.items():
            with self.subTest(name):
                # Standard input is a pipe; the pause still reads the terminal.
                self.assertSession([(PAUSE, "x")] if b"\n" in data else [], expected,
                                   stdin_data=data)

    def test_song_answer_keeps_its_spaces_and_skips_the_choice_line(self):
        self.assertSession(
            [("? ", "3   \n"), ("song name? ", " Rain\n"), (PAUSE, "x"), ("? ", "4\n")],
            menu_pass("3   ", "All or beginning part of song name?  Rain\n" + SEARCH_HEADER) +
            MENU + CHOOSE_EXIT)


class BadInputTest(SessionTest):
    """Input through a pipe, so that lines of any length and any byte get in."""

    JUNK = [b"abc", b"7abc", b"1" * 30, b"-5", b"x" * (1 << 20), b"\0", b"4\0", b"\xff\xfe\xc3",
            b"%", b"' or 1=1 -- "]

    @classmethod
    def setUpClass(cls):
        set_tables(artists=[(7, "Ann", "Lee")], songs=[("A-1", "Rain", "0.99", 7)])

    def test_bad_choices_bring_the_prompt_again(self):
        data = b"\n   \n" + b"".join(junk + b"\n" for junk in self.JUNK) + b"4\n"
        self.assertEqual((0, MENU + "? " * (len(self.JUNK) + 1) + "\n" + EXIT, ""),
                         run_piped(data))

    def test_bad_artist_ids_bring_the_prompt_again(self):
        # -5 is a good artist ID: its report runs, with no songs.
        junk = [j for j in self.JUNK if j != b"-5"]
        data = b"2\n\n  \n" + b"".join(j + b"\n" for j in junk) + b"7\n4\n"
        self.assertEqual((0, MENU + "? \n" + "Artist ID? " * (len(junk) + 1) + SONGS_OF_7 + PAUSE +
                          "\n\n" + MENU + "? \n" + EXIT, ""), run_piped(data))

    def test_windows_line_ends(self):
        data = b"3\r\nRa\r\n2\r\n7\r\n4\r\n"
        self.assertEqual((0, MENU + "? \n" + SONG_PROMPT + SEARCH_HEADER +
                          "Rain                          Ann                 Lee\n" + PAUSE +
                          "\n\n" + MENU + "? \nArtist ID? " + SONGS_OF_7 + PAUSE + "\n\n" +
                          MENU + "? \n" + EXIT, ""), run_piped(data))

    def test_any_song_text_lists_only_matching_songs(self):
        rain = "Rain                          Ann                 Lee\n"
        for text in [b"", b"   ", b"R", b"%", b"_ai", b"x" * (1 << 20), b"\0", b"Ra\0",
                     b"\xff\xfe", b"R\xc3", b"\\", b"\\\\", b"'", b"''", b"\\'",
                     b"-- ", b"/*", b"; drop table Songs; --"]:
            with self.subTest(text=text[:20]):
                expected = rain if re.fullmatch(rb"|%|R|_ai", text) else ""
                status, output, errors = run_piped(b"3\n" + text + b"\n4\n")
                self.assertEqual((0, MENU + "? \n" + SONG_PROMPT + SEARCH_HEADER + expected +
                                  PAUSE + "\n\n" + MENU + "? \n" + EXIT, ""),
                                 (status, output, errors))


@unix_only(UNIX_PROCESS)
class ClosedOutputTest(SessionTest):

    @classmethod
    def setUpClass(cls):
        set_tables(artists=[(7, "Ann", "Lee")], songs=[("A-1", "Rain", "0.99", 7)])

    def test_closed_standard_streams_never_reach_the_connection(self):
        def run(redirection, data=b"0\n1\n4\n"):
            return subprocess.run(["bash", "-c", 'exec setsid "$0" ' + redirection, PROGRAM],
                                  input=data, capture_output=True, timeout=30,
                                  env=dict(os.environ, MYSQL_UNIX_PORT=SOCKET))
        closed_input = run("<&-")
        self.assertEqual((0, (MENU + "? \n" + EXIT).encode(), b""),
                         (closed_input.returncode, closed_input.stdout, closed_input.stderr))
        closed_output = run(">&-")
        self.assertEqual((1, b"", b"Failed to write to standard output\n"),
                         (closed_output.returncode, closed_output.stdout, closed_output.stderr))
        # The failure line is lost, and nothing else: the next report still runs.
        sql("rename table Artists to Hidden")
        try:
            closed_error = run("2>&-")
        finally:
            sql("rename table Hidden to Artists")
        songs = ("ISSN                Title                         Cost      ID\n"
                 "A-1                 Rain                          0.99      7\n")
        self.assertEqual((0, (MENU + "? \n" + PAUSE + "\n\n" + MENU + "? \n" + songs + PAUSE +
                              "\n\n" + MENU + "? \n" + EXIT).encode()),
                         (closed_error.returncode, closed_error.stdout))

    def test_failed_output_ends_the_program_without_waiting_at_the_pause(self):
        session = Session(stdout_pipe=True)
        with os.fdopen(session.stdout_read, "rb") as pipe:
            self.assertEqual(MENU.encode(), pipe.read(len(MENU)))
        session.send("0\n")  # its table meets the closed pipe; no key is sent
        # The terminal shows only the echo of the typed choice.
        self.assertEqual((1, "0\n", "Failed to write to standard output\n"), session.finish())

    def test_program_ends_when_nobody_reads_its_output(self):
        # Endless answers: only the closed output can end the session.
        for answers in ["0", "x", "3"]:
            with self.subTest(answers):
                result = subprocess.run(
                    ["bash", "-c", 'yes "$1" | setsid "$2" | head -n 3; echo "${PIPESTATUS[1]}"',
                     "-", answers, PROGRAM], capture_output=True, text=True, timeout=30,
                    env=dict(os.environ, MYSQL_UNIX_PORT=SOCKET))
                self.assertEqual(MENU.splitlines(True)[:3] + ["1\n"],
                                 result.stdout.splitlines(True))
                self.assertEqual("Failed to write to standard output\n", result.stderr)


if __name__ == "__main__":
    main()
