"""Times music-inventory against the server's own client (mariadb or mysql) on a large
inventory, and prints one table of the medians, a line for each tool as each size is done.

Run by bench/run.sh, which builds the programs and starts the server."""

import argparse
import os
import random
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SEARCH = ("select Songs.Title as `Title`, Artists.`First Name` as `Artist.First Name`, "
          "Artists.`Last Name` as `Artist.Last Name` from Songs join Artists on "
          "Songs.ID = Artists.ID where Songs.Title like '%';")


DBSERVER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts",
                        "dbserver.sh")


# Whichever client the installed server came with.
CLIENT = shutil.which("mariadb") or "mysql"
NAME = os.path.basename(CLIENT)


def client(socket, *args):
    return [CLIENT, "--no-defaults", "--socket=" + socket, "--user=root", "--password=tamrix",
            "--default-character-set=utf8mb4", *args]


def fill(administer, songs):
    """Replaces the inventory with 5,000 artists and `songs` songs, made by the server.
    Truncating rather than deleting leaves the server no old rows to purge
    while the next size is timed."""
    # Numbers from 1 to a million as a thousand times a thousand: MySQL stops a
    # recursive query at a depth of 1,000, and has no sequence engine.
    numbers = """with recursive thousand (n) as (
            select 0 union all select n + 1 from thousand where n < 999),
        numbers (seq) as (select a.n * 1000 + b.n + 1 from thousand a, thousand b)"""
    subprocess.run(administer + ["Music_Inventory", "-e", f"""
        truncate table Songs; truncate table Artists;
        insert into Artists {numbers}
            select seq, concat('First', seq), concat('Last', seq) from numbers where seq <= 5000;
        insert into Songs {numbers}
            select concat('979-0-', lpad(seq, 9, '0')), concat('Song title number ', seq),
                0.49 + (seq % 300) / 100, 1 + seq % 5000 from numbers where seq <= {songs};
        analyze table Songs, Artists;"""], check=True, capture_output=True)


def drain(fd):
    try:
        while os.read(fd, 1 << 16):
            pass
    except OSError:
        pass


def measure(argv, stdin_data, output, socket, scratch):
    """Runs argv once with its output on a pseudo-terminal or a file in the
    folder `scratch`; returns (wall seconds, user CPU seconds, system CPU
    seconds, peak resident MiB)."""
    env = dict(os.environ, MYSQL_UNIX_PORT=socket)
    reader = None
    if output == "pty":
        master, slave = os.openpty()
        out = slave
        reader = threading.Thread(target=drain, args=(master,))
    else:
        out = os.open(os.path.join(scratch, "output"), os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
                      0o600)
    started = time.monotonic()
    # A session of its own: no controlling terminal, so the pause returns at once.
    process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=out,
                               stderr=subprocess.DEVNULL, env=env, start_new_session=True)
    os.close(out)
    if reader:
        reader.start()
    process.stdin.write(stdin_data)
    process.stdin.close()
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    if reader:
        reader.join()
        os.close(master)
    if process.returncode != 0:
        sys.exit("bench: %s failed with status %d" % (argv[0], process.returncode))
    return wall, usage.ru_utime, usage.ru_stime, usage.ru_maxrss / 1024


def callgrind(argv, stdin_data, socket, scratch):
    """Instructions executed by one run, output to /dev/null: repeatable where
    seconds are not."""
    out = os.path.join(scratch, "callgrind")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, *argv],
                   input=stdin_data, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True, start_new_session=True, env=dict(os.environ, MYSQL_UNIX_PORT=socket))
    with open(out) as profile:
        for line in profile:
            if line.startswith("totals:"):
                os.unlink(out)
                return int(line.split()[1])
    raise RuntimeError("no totals in the callgrind profile")


def startup(argv, socket, until):
    """Seconds from start until `until` appears on the terminal (None: until the end)."""
    master, slave = os.openpty()
    started = time.monotonic()
    process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=slave,
                               stderr=subprocess.DEVNULL, start_new_session=True,
                               env=dict(os.environ, MYSQL_UNIX_PORT=socket))
    os.close(slave)
    seen = b""
    elapsed = None
    while until is not None:
        if not select.select([master], [], [], 60)[0]:
            process.kill()
            sys.exit("bench: %s showed no %r within 60 s" % (argv[0], until.decode()))
        try:
            seen += os.read(master, 4096)
        except OSError:
            sys.exit("bench: %s ended before it showed %r" % (argv[0], until.decode()))
        if until in seen:
            elapsed = time.monotonic() - started
            break
    process.stdin.write(b"4\n")
    process.stdin.close()
    drainer = threading.Thread(target=drain, args=(master,))
    drainer.start()
    process.wait()
    # Only once the thread has read to the end may the descriptor go: the next
    # openpty takes the same number, and the thread would read its prompt.
    drainer.join()
    os.close(master)
    return elapsed if elapsed is not None else time.monotonic() - started


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--bare", required=True)
    parser.add_argument("--glibc-program", required=True)
    parser.add_argument("--socket", required=True)
    parser.add_argument("--datadir", required=True, help="the private server's data folder")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="10000,100000,1000000")
    args = parser.parse_args()
    # Each line as it is measured, even to a file or a pipe.
    sys.stdout.reconfigure(line_buffering=True)
    # The client's output and callgrind's profile, in a folder no one else may enter.
    scratch = tempfile.mkdtemp(prefix="music-inventory-bench.")
    try:
        bench(args, scratch)
    finally:
        shutil.rmtree(scratch)


def bench(args, scratch):
    socket = args.socket

    # A build that silently fell back to the C library's malloc must not pass
    # for one with mimalloc: mimalloc announces itself when asked to.
    for program, wanted in ((args.program, True), (args.glibc_program, False)):
        shown = subprocess.run([program], input=b"4\n", capture_output=True,
                               env=dict(os.environ, MYSQL_UNIX_PORT=socket, MIMALLOC_VERBOSE="1"),
                               start_new_session=True).stderr
        if (b"mimalloc" in shown) != wanted:
            sys.exit("bench: %s %s mimalloc" % (program, "lacks" if wanted else "uses"))

    print("| rows | tool | output | median s | user s | sys s | peak MiB | ratio to client |")
    print("|---:|---|---|---:|---:|---:|---:|---:|")
    rows = []
    instructions = {}
    for size in [int(s) for s in args.sizes.split(",")]:
        print("bench: %d songs" % size, file=sys.stderr)
        fill([DBSERVER, "sql", args.datadir], size)
        tasks = []
        for output in ("pty", "file"):
            tasks += [
                ("music-inventory: all songs", output, [args.program], b"1\n4\n"),
                ("same, glibc malloc", output, [args.glibc_program], b"1\n4\n"),
                ("bare store + same printing", output, [args.bare], b""),
                (NAME + " --table", output,
                 client(socket, "--table", "Music_Inventory", "-e", "select * from Songs"), b""),
                (NAME + " --batch", output,
                 client(socket, "--batch", "Music_Inventory", "-e", "select * from Songs"), b""),
            ]
        tasks += [
            ("music-inventory: search ''", "pty", [args.program], b"3\n\n4\n"),
            (NAME + " --table: same join", "pty",
             client(socket, "--table", "Music_Inventory", "-e", SEARCH), b""),
        ]
        results = {(name, output): [] for name, output, _, _ in tasks}
        # Every round runs each tool once, in a shuffled order, so that drift
        # and the memory left to reclaim by the run before hit every tool alike.
        order = random.Random(size)
        for _ in range(args.runs):
            for name, output, argv, stdin_data in order.sample(tasks, len(tasks)):
                results[(name, output)].append(measure(argv, stdin_data, output, socket,
                                                       scratch))
        medians = {key: tuple(statistics.median(v[i] for v in runs) for i in range(4))
                   for key, runs in results.items()}
        for name, output, _, _ in tasks:
            joins = ("music-inventory: search ''", NAME + " --table: same join")
            reference = (joins[1] if name in joins else NAME + " --table", output)
            wall, user, system, peak = medians[(name, output)]
            rows.append((size, name, output, wall, user, system, peak,
                         wall / medians[reference][0]))
            print("| %d | %s | %s | %.3f | %.3f | %.3f | %.1f | %.2f |" % rows[-1])
        if size == 100000:
            instructions[size] = (callgrind([args.program], b"1\n4\n", socket, scratch),
                                  callgrind([args.glibc_program], b"1\n4\n", socket, scratch),
                                  callgrind([args.bare], b"", socket, scratch))

    print()
    walls = {size: wall for size, name, output, wall, *_ in rows
             if name == "music-inventory: all songs" and output == "pty"}
    per_row = {size: wall / size for size, wall in walls.items()}
    if per_row:
        low, high = min(per_row.values()), max(per_row.values())
        print("cost per row, all songs on a pty: %s µs; spread %.0f%%"
              % (", ".join("%.2f" % (v * 1e6) for v in per_row.values()),
                 (high / low - 1) * 100))
        # The cost of the rows added from one size to the next, without what
        # every run pays once (start-up, connect, the terminal's first writes).
        sizes = sorted(walls)
        steps = [(walls[b] - walls[a]) / (b - a) for a, b in zip(sizes, sizes[1:])]
        if len(steps) > 1:
            print("cost per added row, all songs on a pty: %s µs; spread %.0f%%"
                  % (", ".join("%.2f" % (v * 1e6) for v in steps),
                     (max(steps) / min(steps) - 1) * 100))
    for size, (ours, glibc, bare) in instructions.items():
        print("instructions (callgrind), all songs at %d rows: music-inventory %d, "
              "with glibc malloc %d, bare store + printing (glibc) %d: %+.2f%% same allocator"
              % (size, ours, glibc, bare, (glibc / bare - 1) * 100))

    ours = [startup([args.program], socket, b"Please enter") for _ in range(args.runs)]
    theirs = [startup(client(socket, "-e", "select 1"), socket, None) for _ in range(args.runs)]
    print("start-up to the first menu line: %.4f s; %s -e 'select 1': %.4f s"
          % (statistics.median(ours), NAME, statistics.median(theirs)))


if __name__ == "__main__":
    main()
