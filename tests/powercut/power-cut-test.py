#!/usr/bin/env python3
"""Power cuts during a silent install and a silent removal, through a FUSE file system of our
own (powercutfs) mounted below the test folder in the build's Wine prefix.

Every row cuts the power before one step of a run: the file system keeps every metadata step it
saw and loses the file data written since the file's last fsync (as zeros, or the file cut back
to its size at that fsync). Then a run that fails after its clean-up (its temporary folder is
missing) must leave Plugins exactly as before the install or exactly as after it, as the commit
decides, and a good run must leave the new set. The cut points come from a dry run's log of
steps, by kind and name, so that the table follows the program as it changes.

Usage: power-cut-test.py <build folder> <powercutfs or -> <pack archive> [<pack folder or ->]
POWERCUT_ROWS=<regular expression> runs only the rows whose names match it (and the dry runs).
Exit 77 (skipped) where FUSE cannot be used.
"""
import ctypes
import errno
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import zipfile

SKIP = 77
# "-" for the file system: it was not built; for the pack folder: the pack came as an archive.
BUILD, FS, ARCHIVE, SOURCE = (os.path.abspath(a) if a not in ("", "-") else "" for a in (sys.argv[1:5] + [""])[:4])
TESTHOST = os.path.join(BUILD, "ZorvalindPlugInsSetup-testhost.exe")
WINE_RUN = os.path.join(BUILD, "wine-run")
PREFIX = os.path.join(BUILD, "wineprefix")
WORK = os.path.join(BUILD, "tests", "powercut")  # Linux side only: the disk's backing, logs
BACKING = os.path.join(WORK, "disk")
TEST = os.path.join(PREFIX, "drive_c", "powercut")
MOUNT = os.path.join(TEST, "disk")
START = os.path.join(TEST, "start")
TEMP = os.path.join(TEST, "temp")
VIEWER_W = r"C:\powercut\disk\Viewer"
TEMP_W = r"C:\powercut\temp"
MISSING_TEMP_W = r"C:\powercut\no-such-folder"
PLUGINS = os.path.join(BACKING, "Viewer", "Plugins")
INSTALL = f"/silent /folder={VIEWER_W}"
UNINSTALL = f"/uninstall /silent /folder={VIEWER_W}"
MINE = ("mine.8bf", b"the user's own")
OLDER = b"an older version"
LIMIT = 60  # seconds any one run may take
# Only the rows whose names match (the dry runs always run): POWERCUT_ROWS="removal|commit".
ONLY = re.compile(os.environ.get("POWERCUT_ROWS", ""))
EXIT_FAILED = 4


def say(*lines):
    print(*lines, sep="\n", flush=True)


# ---------------------------------------------------------------------------------------------
# The pack and the sets a run must end in.

def pack_files():
    """The pack's files in the order the archive holds them, with their bytes, and its folders."""
    order, files, folders = [], {}, set()
    with zipfile.ZipFile(ARCHIVE) as z:
        for info in z.infolist():
            name = info.filename.replace("\\", "/")
            if name.endswith("/"):
                folders.add(name)
                continue
            order.append(name)
            if SOURCE:
                with open(os.path.join(SOURCE, name), "rb") as f:
                    files[name] = f.read()
            else:
                files[name] = z.read(info)
            parts = name.split("/")[:-1]
            for i in range(1, len(parts) + 1):
                folders.add("/".join(parts[:i]) + "/")
    return order, files, folders


def mixed_install_sets():
    """Plugins as a deployment finds it: an older version of most of the pack's files, a few it
    lacks (a whole nested folder of them among them), and a file of the user's own."""
    deepest = max((n.rsplit("/", 1)[0] + "/" for n in ORDER if "/" in n), key=lambda d: d.count("/"))
    if deepest.count("/") < 2:
        raise SystemExit("the pack has no nested folder")
    old = {MINE[0]: MINE[1]}
    for i, name in enumerate(ORDER):
        if not (i % 5 == 1 or name.startswith(deepest)):
            old[name] = OLDER
    for folder in PACK_FOLDERS:
        if folder != deepest:
            old[folder] = None
    new = dict(PACK)
    new[MINE[0]] = MINE[1]
    new.update({f: None for f in PACK_FOLDERS})
    return old, new


def removal_sets():
    """The pack as installed, the user's file beside it and one in a folder of the pack's: a
    removal leaves those two and the one folder that still holds something."""
    top = sorted(f for f in PACK_FOLDERS if f.count("/") == 1 and any(g != f and g.startswith(f) for g in PACK_FOLDERS))
    keeper = (top or sorted(PACK_FOLDERS))[0] + "notes.txt"
    new = {MINE[0]: MINE[1], keeper: b"the user's notes", keeper.rsplit("/", 1)[0] + "/": None}
    old = dict(PACK)
    old.update({f: None for f in PACK_FOLDERS})
    old.update(new)
    return old, new


ORDER, PACK, PACK_FOLDERS, SETS = [], {}, set(), {}  # set by load_pack()
ARGS = {"install": INSTALL, "uninstall": UNINSTALL}


def load_pack():
    global ORDER, PACK, PACK_FOLDERS
    ORDER, PACK, PACK_FOLDERS = pack_files()
    SETS.update(install=mixed_install_sets(), uninstall=removal_sets())


def lay_out(files):
    """A fresh disk holding files (a name ending in "/" is a folder), written while unmounted:
    what stands before the mount counts as on the disk."""
    if os.path.exists(BACKING):
        shutil.rmtree(BACKING)
    os.makedirs(PLUGINS)
    for name in sorted(n for n in files if n.endswith("/")):
        os.makedirs(os.path.join(PLUGINS, name), exist_ok=True)
    for name, data in files.items():
        if not name.endswith("/"):
            path = os.path.join(PLUGINS, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
    for folder in (START, TEMP):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)


def tree():
    """Everything below Plugins (folders end in "/", with None), and what else stands in Viewer."""
    found = backing_tree(PLUGINS)
    viewer = os.path.dirname(PLUGINS)
    others = sorted(n for n in os.listdir(viewer) if n != "Plugins") if os.path.isdir(viewer) else ["(no Viewer)"]
    return found, others


def backing_tree(root):
    found = {}
    for top, dirs, files in os.walk(root):
        rel = os.path.relpath(top, root).replace(os.sep, "/")
        rel = "" if rel == "." else rel + "/"
        for d in dirs:
            found[rel + d + "/"] = None
        for name in files:
            with open(os.path.join(top, name), "rb") as f:
                found[rel + name] = f.read()
    return found


def listed(names, limit=3):
    names = sorted(names)
    more = f" and {len(names) - limit} more" if len(names) > limit else ""
    return ", ".join(names[:limit]) + more


def differences(got, want, other=None, other_name=""):
    """What is wrong with got, against want, in a few words; empty when it is want exactly.
    A file that holds what the other set has there is named as such."""
    other = other or {}
    zeros, empty, short, swapped, wrong, missing = [], [], [], [], [], []
    for name, data in want.items():
        if name not in got:
            missing.append(name)
        elif data is not None and got[name] != data:
            g = got[name]
            if not g:
                empty.append(name)
            elif not g.strip(b"\0"):
                zeros.append(name)
            elif len(g) < len(data) and data.startswith(g):
                short.append(name)
            elif other.get(name) == g:
                swapped.append(name)
            else:
                wrong.append(name)
    extra = [n for n in got if n not in want]
    ours = [n for n in extra if n.rstrip("/").rsplit("/", 1)[-1].startswith("~zl")]
    words = []
    for label, names in (("all zeros", zeros), ("empty", empty), ("cut short", short),
                         (f"as in the {other_name}", swapped), ("wrong bytes", wrong), ("missing", missing),
                         ("setup leftovers", ours), ("extra names", [n for n in extra if n not in ours])):
        if names:
            words.append(f"{len(names)} {label} ({listed(names)})")
    return "; ".join(words)


def judge(kind, expected, after_install=False):
    """'old set' / 'new set', or what is wrong against the expected set. A removal that an
    install's clean-up finished may leave the pack's emptied folders: only a removal takes them."""
    got, others = tree()
    old, new = SETS[kind]
    extra = f"; beside Plugins: {', '.join(others)}" if others else ""
    emptied = []
    if kind == "uninstall" and after_install:
        emptied = [n for n in got if n not in new and n in PACK_FOLDERS]
        if all(not any(m != n and m.startswith(n) and m not in emptied for m in got) for n in emptied):
            got = {n: d for n, d in got.items() if n not in emptied}
        else:
            emptied = []
    if got == old and not others:
        verdict = "old set"
    elif got == new and not others:
        verdict = "new set"
    else:
        want, other = (old, new) if expected == "old" else (new, old)
        other_name = "new set" if expected == "old" else "old set"
        return False, f"neither set; against the {expected} set: " + differences(got, want, other, other_name) + extra
    ok = verdict == expected + " set"
    if emptied:
        verdict += f" ({len(emptied)} emptied pack folders stay for the next removal)"
    return ok, verdict if ok else f"{verdict}, expected the {expected} set"


# ---------------------------------------------------------------------------------------------
# The file system.

class Disk:
    """powercutfs mounted at MOUNT over BACKING, with or without a cut."""
    number = 0

    def __init__(self, cut=None, mode="zeros", log=None):
        Disk.number += 1
        self.marker = os.path.join(WORK, f"cut-{Disk.number}")
        self.log = log
        if os.path.exists(self.marker):
            os.remove(self.marker)
        args = [FS, "--backing", BACKING, "--marker", self.marker, "--mode", mode]
        if log:
            args += ["--log", log]
        if cut:
            kind, pattern, n = cut
            args += ["--cut-kind", kind, "--cut-n", str(n)]
            if pattern:
                args += ["--cut-match", pattern]
        args.append(MOUNT)
        self.errors = open(os.path.join(WORK, "fs-errors.txt"), "ab")
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self.errors, stderr=self.errors)
        deadline = time.monotonic() + 10
        while not os.path.ismount(MOUNT):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.process.kill()
                raise RuntimeError(f"powercutfs did not mount (exit {self.process.poll()}); see {self.errors.name}")
            time.sleep(0.01)

    def was_cut(self):
        return os.path.exists(self.marker)

    def unmount(self):
        """Unmounted, lazily where something still holds it; the notes say so."""
        notes = []
        deadline = time.monotonic() + 5
        while holders() and time.monotonic() < deadline:
            time.sleep(0.02)
        held = holders()
        if held:
            notes.append("still held by " + ", ".join(held))
        done = subprocess.run(["fusermount3", "-u", MOUNT], capture_output=True).returncode == 0
        if not done:
            subprocess.run(["fusermount3", "-u", "-z", MOUNT], capture_output=True)
            notes.append("lazy unmount")
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            notes.append("file system killed")
        self.errors.close()
        if os.path.exists(self.marker):
            os.remove(self.marker)
        return notes


def holders():
    """The processes with a file, folder or working folder below the mount."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        links = []
        try:
            links.append(os.readlink(f"/proc/{pid}/cwd"))
            for fd in os.listdir(f"/proc/{pid}/fd"):
                links.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except OSError:
            continue
        if any(link == MOUNT or link.startswith(MOUNT + "/") for link in links):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    name = f.read().split(b"\0")[0].decode(errors="replace")
            except OSError:
                name = "?"
            found.append(f"{pid} {name}")
    return found


def calibrate(rows):
    """The file system's own model, through the mount from here, in each mode: what was flushed
    or stood before the mount stays, the rest of the data goes; every metadata step stays; every
    step after the cut fails. Also what Wine relies on: inode numbers, xattrs, no-replace renames."""
    expected = {
        #          old.bin                      flushed.bin            moved.bin  overwritten  truncated.bin
        "zeros": (b"before mount" + b"\0" * 5, b"A" * 10 + b"\0" * 5, b"\0" * 8, b"\0\0DD", b"\0" * 8),
        "cut": (b"before mount", b"A" * 10, b"", b"DDDD", b"\0" * 8),
        "keep": (b"before mount+more", b"A" * 10 + b"B" * 5, b"C" * 8, b"EEDD", b"F" * 6 + b"\0\0"),
    }
    libc = ctypes.CDLL(None, use_errno=True)
    for mode, (old, flushed, moved, overwritten, truncated) in expected.items():
        row = Row("fs", f"file system model, {mode}", mode, None, "-")
        shutil.rmtree(BACKING, ignore_errors=True)
        os.makedirs(BACKING)
        with open(os.path.join(BACKING, "old.bin"), "wb") as f:
            f.write(b"before mount")
        disk = Disk(cut=("rename", "^/last\t", 1), mode=mode)
        at = lambda name: os.path.join(MOUNT, name)
        problems = []
        try:
            with open(at("old.bin"), "ab") as f:
                f.write(b"+more")
            with open(at("flushed.bin"), "wb") as f:
                f.write(b"A" * 10)
                f.flush()
                os.fsync(f.fileno())
                f.write(b"B" * 5)
            with open(at("renamed.bin"), "wb") as f:
                f.write(b"C" * 8)
            os.rename(at("renamed.bin"), at("moved.bin"))
            with open(at("gone.bin"), "wb") as f:
                f.write(b"lost anyway")
            os.unlink(at("gone.bin"))
            with open(at("overwritten.bin"), "wb") as f:
                f.write(b"DDDD")
                f.flush()
                os.fsync(f.fileno())
                os.pwrite(f.fileno(), b"EE", 0)
            # A size set after unflushed writes reaches the disk; the bytes below it do not.
            with open(at("truncated.bin"), "wb") as f:
                f.write(b"F" * 6)
                f.flush()
                os.ftruncate(f.fileno(), 8)
            os.mkdir(at("folder"))
            os.setxattr(at("folder"), "user.DOSATTRIB", b"0x10")
            if os.stat(at("moved.bin")).st_ino != os.stat(os.path.join(BACKING, "moved.bin")).st_ino:
                problems.append("inode numbers are not passed through")
            if libc.renameat2(-100, at("moved.bin").encode(), -100, at("old.bin").encode(), 1) == 0 \
                    or ctypes.get_errno() != errno.EEXIST:
                problems.append("a no-replace rename replaced a file")
            open(at("last"), "wb").close()
            try:
                os.rename(at("last"), at("last2"))
                problems.append("the cut did not fail its step")
            except OSError as e:
                if e.errno != errno.EIO:
                    problems.append(f"the cut failed its step with {e}")
            try:
                os.stat(at("old.bin"))
                problems.append("a step after the cut went through")
            except OSError:
                pass
        except OSError as e:
            problems.append(f"before the cut: {e}")
        if not disk.was_cut():
            problems.append("no cut marker")
        row.cells.extend(disk.unmount())
        got = backing_tree(BACKING)
        want = {"old.bin": old, "flushed.bin": flushed, "moved.bin": moved, "overwritten.bin": overwritten,
                "truncated.bin": truncated, "folder/": None, "last": b""}
        if got != want:
            problems.append("disk: " + differences(got, want))
        try:
            if os.getxattr(os.path.join(BACKING, "folder"), "user.DOSATTRIB") != b"0x10":
                problems.append("the xattr changed")
        except OSError as e:
            problems.append(f"xattr: {e}")
        for p in problems:
            row.fail(p)
        if not problems:
            row.note("as the model says")
        rows.append(row)
        say(progress(row))


# ---------------------------------------------------------------------------------------------
# Runs of the setup.

# A run is Wine's start.exe, which runs cmd, which runs the setup.
RUN_PROGRAMS = {"start.exe", "cmd.exe", os.path.basename(TESTHOST).lower()}


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class Run:
    """The test host under Wine through cmd, which gives it its temporary folder (Wine takes a
    Windows process's TMP and TEMP from the prefix, not from the Unix environment)."""
    number = 0

    def __init__(self, args, temp=TEMP_W):
        Run.number += 1
        self.token = f"{os.getpid()}-{Run.number}"
        env = dict(os.environ, ZORVALIND_SETUP_TEST_NATIVE_MACHINE="AA64", POWERCUT_RUN=self.token)
        line = f"set TMP={temp}&& set TEMP={temp}&& {windows_path(TESTHOST)} {args}"
        self.output = open(os.path.join(WORK, "wine-output.txt"), "ab")
        self.process = subprocess.Popen([WINE_RUN, "cmd", "/c", line], cwd=START, env=env,
                                        stdin=subprocess.DEVNULL, stdout=self.output, stderr=self.output)
        self.started = time.monotonic()

    def ours(self):
        """Linux pids of this run's own processes: they carry its token, and are the setup or
        what started it. Wine's services, and the wineserver when this run started it, carry
        the token too, and must live on."""
        pids = []
        needle = f"POWERCUT_RUN={self.token}".encode() + b"\0"
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if needle not in f.read():
                        continue
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    program = f.read().split(b"\0")[0].decode(errors="replace")
            except OSError:
                continue
            if re.split(r"[\\/]", program)[-1].lower() in RUN_PROGRAMS:
                pids.append(int(pid))
        return pids

    def wait(self):
        """The exit code, or None when the run outlived its limit and was killed."""
        try:
            code = self.process.wait(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            self.kill()
            code = None
        self.output.close()
        return code

    def kill(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            pids = self.ours()
            if not pids:
                break
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.02)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass

    def until_cut(self, disk):
        """Waits for the cut; then the run is killed. Says what happened."""
        while not disk.was_cut():
            if self.process.poll() is not None:
                self.output.close()
                return f"ended with exit {self.process.returncode} before the cut"
            if time.monotonic() - self.started > LIMIT:
                self.kill()
                self.output.close()
                return "never reached the cut"
            time.sleep(0.01)
        self.kill()
        self.output.close()
        return "cut"


def run_once(kind, temp=TEMP_W):
    return Run(ARGS[kind], temp).wait()


def failing_run():
    """An install whose temporary folder is missing: it does the clean-up that every run does
    first, install or removal, then fails to stage the pack (exit 4)."""
    return Run(INSTALL, MISSING_TEMP_W).wait()


# ---------------------------------------------------------------------------------------------
# The steps of a dry run, and the cut points named by them.

PART = re.compile(r"^~zl[0-9a-f]{8}-[0-9a-f]{5}\.part$")
PID = re.compile(r"~zl[0-9a-f]{8}-")


def base(path):
    return path.rsplit("/", 1)[-1]


def is_part(p):
    return bool(PART.match(base(p)))


def is_backup(p):
    return base(p).startswith("~zlbak.") and base(p).endswith(".~zl")


def is_journal(p):
    return base(p) == "~zljournal.~zlj"


def is_commit(p):
    return base(p) == "~zlcommit.~zlc"


def read_log(path):
    steps = []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            while len(fields) < 4:
                fields.append("")
            steps.append(tuple(fields[:4]))
    return steps


def ere(text):
    return re.sub(r"([.\[\]()*+?{}|^$\\])", r"\\\1", text)


def cut_at(steps, index):
    """The cut before steps[index], as its kind, a pattern of its names that holds in any run
    (the process id in a part file's name is not), and which match of the two it is."""
    kind, p1, p2, _ = steps[index]
    pattern = "^" + PID.sub("~zl[0-9a-f]{8}-", ere(p1)) + "\t" + PID.sub("~zl[0-9a-f]{8}-", ere(p2)) + "$"
    rx = re.compile(pattern)
    n = sum(1 for k, a, b, _ in steps[:index + 1] if k == kind and rx.match(f"{a}\t{b}"))
    return kind, pattern, n


def describe(step):
    kind, p1, p2, _ = step
    name = lambda p: p.split("/Plugins/", 1)[-1]
    return f"{kind} {name(p1)}" + (f" -> {name(p2)}" if p2 else "")


def install_points(steps):
    """Where an install's cuts fall: name, index of the step, the data-loss modes to try."""
    idx = lambda pred: [i for i, s in enumerate(steps) if pred(s)]
    creates = idx(lambda s: s[0] == "create" and is_part(s[1]))
    parts = [steps[i][1] for i in creates]
    writes_of = lambda p: idx(lambda s: s[0] == "write" and s[1] == p)
    journal_writes = idx(lambda s: s[0] == "write" and is_journal(s[1]))
    commit = idx(lambda s: s[0] == "rename" and is_journal(s[1]) and is_commit(s[2]))
    before_commit = commit[0] if commit else len(steps)
    moves = idx(lambda s: s[0] == "rename" and (is_part(s[1]) or is_backup(s[2])))
    moves = [i for i in moves if i < before_commit]
    aside = [i for i in moves if is_backup(steps[i][2])]
    into = [i for i in moves if is_part(steps[i][1])]
    first_move = moves[0] if moves else len(steps)
    folders = idx(lambda s: s[0] == "mkdir")
    fsyncs = idx(lambda s: s[0] == "fsync")
    deletions = [i for i in idx(lambda s: s[0] == "unlink" and is_backup(s[1])) if i > before_commit]
    end = idx(lambda s: s[0] == "unlink" and is_commit(s[1]))
    pick = lambda xs, at: [xs[at]] if xs else []
    both = ("zeros", "cut")
    points = [
        ("first part file created", pick(creates, 0), ("zeros",)),
        ("first part file written", pick(writes_of(parts[0]) if parts else [], 0), ("zeros",)),
        ("a middle part file written", pick(writes_of(parts[len(parts) // 2]) if parts else [], 0), ("zeros",)),
        ("last write of the last part file", pick(writes_of(parts[-1]) if parts else [], -1), both),
        ("journal's first write", pick(journal_writes, 0), ("zeros",)),
        ("first new folder made", pick(folders, 0), ("zeros",)),
        ("journal's last write", pick(journal_writes, -1), both),
        ("first fsync", pick(fsyncs, 0), both),
        ("last fsync before the first rename", pick([i for i in fsyncs if i < first_move], -1), both),
        ("first rename (an old file aside)", pick(aside, 0), both),
        ("first rename in (a new file)", pick(into, 0), both),
        ("a middle rename", pick(moves, len(moves) // 2), both),
        ("last rename", pick(moves, -1), both),
        ("commit rename (journal -> ~zlcommit.~zlc)", commit[:1], both),
        ("first backup deleted", pick(deletions, 0), both),
        ("a middle backup deleted", pick(deletions, len(deletions) // 2), ("zeros",)),
        ("last backup deleted", pick(deletions, -1), both),
        ("commit file deleted", end[:1], ("zeros",)),
    ]
    # "last fsync before the first rename" is the first fsync where there is one only.
    if points[8][1] == points[7][1]:
        points[8] = (points[8][0], [], points[8][2])
    return points, before_commit


def removal_points(steps):
    idx = lambda pred: [i for i, s in enumerate(steps) if pred(s)]
    commit = idx(lambda s: s[0] == "rename" and is_journal(s[1]) and is_commit(s[2]))
    before_commit = commit[0] if commit else len(steps)
    aside = [i for i in idx(lambda s: s[0] == "rename" and is_backup(s[2])) if i < before_commit]
    deletions = [i for i in idx(lambda s: s[0] == "unlink" and is_backup(s[1])) if i > before_commit]
    end = idx(lambda s: s[0] == "unlink" and is_commit(s[1]))
    pick = lambda xs, at: [xs[at]] if xs else []
    points = [
        ("removal: first file aside", pick(aside, 0), ("zeros",)),
        ("removal: a middle file aside", pick(aside, len(aside) // 2), ("zeros",)),
        ("removal: commit rename", commit[:1], ("zeros", "cut")),
        ("removal: a middle backup deleted", pick(deletions, len(deletions) // 2), ("zeros",)),
        ("removal: commit file deleted", end[:1], ("zeros",)),
    ]
    return points, before_commit


def dry_run(kind, label):
    """The steps of a run without a cut; the run itself must succeed."""
    lay_out(SETS[kind][0])
    log = os.path.join(WORK, f"steps-{label}.tsv")
    disk = Disk(log=log)
    code = run_once(kind)
    ok, verdict = judge(kind, "new")
    notes = disk.unmount()
    return read_log(log), code, ok, verdict, notes


# ---------------------------------------------------------------------------------------------
# The rows.

class Row:
    def __init__(self, kind, name, mode, cut, expected, cleanup=None):
        self.kind, self.name, self.mode, self.cut, self.expected = kind, name, mode, cut, expected
        self.cleanup = cleanup  # (step of the failing run, index) for a cut inside its clean-up
        self.cells, self.ok = [], True
        self.skipped = None

    def fail(self, text):
        self.ok = False
        self.cells.append(text)

    def note(self, text):
        self.cells.append(text)


def stage_one(row):
    """The fixture and the run that the power cut (or the kill) ends."""
    lay_out(SETS[row.kind][0])
    disk = Disk(cut=row.cut, mode=row.mode)
    outcome = Run(ARGS[row.kind]).until_cut(disk)
    notes = disk.unmount()
    return outcome, notes


def play(row, cleanup_cut=None):
    outcome, notes = stage_one(row)
    if outcome != "cut":
        row.fail(f"killed run {outcome}")
    row.cells.extend(notes)
    if cleanup_cut:
        disk = Disk(cut=cleanup_cut, mode="zeros")
        outcome = Run(INSTALL, MISSING_TEMP_W).until_cut(disk)
        row.cells.extend(disk.unmount())
        if outcome != "cut":
            row.fail(f"clean-up {outcome}")
    disk = Disk()
    code = failing_run()
    ok, verdict = judge(row.kind, row.expected, after_install=True)
    (row.note if ok and code == EXIT_FAILED else row.fail)(f"failing run: exit {code}, {verdict}")
    code = run_once(row.kind)
    ok, verdict = judge(row.kind, "new")
    (row.note if ok and code == 0 else row.fail)(f"good run: exit {code}, {verdict}")
    row.cells.extend(disk.unmount())


def cleanup_row(kind, name, steps, index, before_commit, pick):
    """A kill at steps[index] (nothing lost: the program alone dies), then a power cut inside
    the next run's clean-up, at the step pick() chooses from that run's own dry log."""
    row = Row(kind, name, "keep", cut_at(steps, index), "old" if index <= before_commit else "new")
    outcome, _ = stage_one(row)
    log = os.path.join(WORK, f"steps-cleanup-{index}.tsv")
    disk = Disk(log=log)
    failing_run()
    disk.unmount()
    cleanup_steps = read_log(log)
    at = pick(cleanup_steps)
    if outcome != "cut" or at is None:
        row.fail("no such step in the clean-up" if at is None else f"killed run {outcome}")
        return row
    row.name += f"; power cut in the clean-up before {describe(cleanup_steps[at])}"
    play(row, cut_at(cleanup_steps, at))
    return row


def main():
    for need, why in ((os.path.exists("/dev/fuse"), "/dev/fuse is missing"),
                      (shutil.which("fusermount3"), "fusermount3 is missing (Debian's fuse3)"),
                      (FS and os.path.exists(FS), "powercutfs was not built (libfuse3-dev and pkg-config missing)")):
        if not need:
            say(f"power_cut: skipped: {why}; scripts/bootstrap installs what it needs")
            return SKIP
    for path in (TESTHOST, WINE_RUN, ARCHIVE):
        if not os.path.exists(path):
            raise SystemExit(f"missing: {path}")
    os.makedirs(WORK, exist_ok=True)
    for name in os.listdir(WORK):
        if name.startswith(("cut-", "steps-", "fs-errors", "wine-output")):
            os.remove(os.path.join(WORK, name))
    # A run that was killed (a time-out, say) may have left its file system mounted, or its
    # daemon gone with the mount still standing: both go before anything else.
    subprocess.run(["pkill", "-KILL", "-f", f"powercutfs.*{re.escape(MOUNT)}"], capture_output=True)
    for _ in range(50):
        if not (os.path.ismount(MOUNT) or (os.path.lexists(MOUNT) and not os.path.isdir(MOUNT))):
            break
        subprocess.run(["fusermount3", "-u", "-z", MOUNT], capture_output=True)
        time.sleep(0.1)
    os.makedirs(MOUNT, exist_ok=True)
    try:
        lay_out({})
        Disk().unmount()
    except (RuntimeError, OSError) as e:
        say(f"power_cut: skipped: a FUSE file system cannot be mounted here: {e}")
        return SKIP

    began = time.monotonic()
    load_pack()
    rows = []
    calibrate(rows)

    steps = dry_row("install", rows)
    if steps is None:
        return report(rows, began)
    points, before_commit = install_points(steps)
    cut_rows("install", steps, points, before_commit, rows)

    # A kill (nothing lost) leaves its clean-up to the next run; the power goes during it.
    moves = [i for i, s in enumerate(steps) if s[0] == "rename" and i < before_commit and (is_part(s[1]) or is_backup(s[2]))]
    deletions = [i for i, s in enumerate(steps) if s[0] == "unlink" and is_backup(s[1]) and i > before_commit]

    def middle_rename(cs):
        renames = [i for i, s in enumerate(cs) if s[0] == "rename"]
        return renames[len(renames) // 2] if renames else None

    def first_backup_deleted(cs):
        # Deleted, or moved to a spent name first: either takes the backup's name away.
        gone = [i for i, s in enumerate(cs) if (s[0] == "unlink" or s[0] == "rename") and is_backup(s[1])
                and not (s[0] == "rename" and len(s) > 2 and not base(s[2]).endswith(".~zld"))]
        return gone[0] if gone else None

    for at, pick in ((moves[len(moves) // 2] if moves else None, middle_rename),
                     (deletions[0] if deletions else None, first_backup_deleted)):
        name = f"clean-up: killed at {describe(steps[at])}" if at is not None else "clean-up"
        if at is None or not ONLY.search(name):
            continue
        rows.append(cleanup_row("install", name, steps, at, before_commit, pick))
        say(progress(rows[-1]))

    steps = dry_row("uninstall", rows)
    if steps is not None:
        points, before_commit = removal_points(steps)
        cut_rows("uninstall", steps, points, before_commit, rows)
    return report(rows, began)


def dry_row(kind, rows):
    """The dry run as a row of its own: without a cut the fixture, the file system and the
    checks agree with a good run. Its steps, or None when it did not go through."""
    steps, code, ok, verdict, notes = dry_run(kind, kind)
    what = "install" if kind == "install" else "removal"
    row = Row(kind, f"{what}, no power cut (the dry run)", "-", None, "new")
    (row.note if ok and code == 0 else row.fail)(f"exit {code}, {verdict}")
    row.cells.extend(notes)
    rows.append(row)
    counts = ", ".join(f"{k} {sum(1 for s in steps if s[0] == k)}" for k in sorted({s[0] for s in steps}))
    say(line_of(row), f"            {len(steps)} steps: {counts}")
    return steps if row.ok else None


def cut_rows(kind, steps, points, before_commit, rows):
    played = {}
    for name, at, modes in points:
        for mode in modes:
            if not ONLY.search(name):
                continue
            if not at:
                row = Row(kind, name, mode, None, "-")
                row.skipped = "no such step in the dry run"
            elif (at[0], mode) in played:
                row = Row(kind, name, mode, None, "-")
                row.skipped = f"the same step as \"{played[at[0], mode]}\""
            else:
                played[at[0], mode] = name
                row = Row(kind, f"{name}: {describe(steps[at[0]])}", mode, cut_at(steps, at[0]),
                          "old" if at[0] <= before_commit else "new")
                play(row)
            rows.append(row)
            say(progress(row))


def progress(row):
    return f"{verdict_of(row):4}  {row.mode:5}  {row.name}"


def verdict_of(row):
    return "SKIP" if row.skipped else ("PASS" if row.ok else "FAIL")


def line_of(row):
    detail = row.skipped or " | ".join(row.cells)
    return f"{progress(row)}\n            {detail}"


def report(rows, began):
    ran = [r for r in rows if not r.skipped]
    failed = [r for r in ran if not r.ok]
    say("", "power_cut: every row", *(line_of(r) for r in rows), "")
    say(f"power_cut: {time.monotonic() - began:.0f} s",
        f"power_cut: {len(ran) - len(failed)} passed, {len(failed)} failed, {len(rows) - len(ran)} skipped")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
