#!/usr/bin/env python3
"""The release-shaped benchmark of the launcher; bench/run.sh starts it (see BENCHMARKS.md).

Every measurement runs side by side with its references, repeated; each line gives the
median and the spread (lowest to highest) and the ratios of the medians.

Clocks: the moments of the Windows helpers (run_code's call, the bare writer's end) are
GetSystemTimePreciseAsFileTime, which wine takes from CLOCK_REALTIME; the script takes
its start moments from the same clock (time.time_ns) just before it starts wine. Plain
durations of native commands use time.perf_counter_ns.

Memory: the peak resident set (VmHWM in /proc/PID/status) of the wine processes whose
command line names the executable, read while run_code (or the empty exe) holds the
process open for TAVRIN_BENCH_HOLD_MS; the parent is the process that started first.
"""
import argparse
import ctypes
import datetime
import hashlib
import os
import shutil
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, HERE)
import make_tree  # noqa: E402  (beside this file)

RELEASE_LEVEL = 19
QUICK_LEVEL = 3
LONG_MATCHING_LEVEL = 16  # from here on libzstd matches over long distances by itself
WINDOW_LOG = 27
FILETIME_UNIX_EPOCH = 116444736000000000  # 100-ns units from 1601 to 1970
HOLD_MS = 1500
POLL_SECONDS = 0.002
MIB = 1 << 20
APP_NAME = "tavrin-bench-app"
TINY_NAME = "tavrin-bench-tiny"
CACHED_NAME = "tavrin-bench-cached"
CACHED_PRODUCT = CACHED_NAME  # without --product-name the exe's own name names the cached tree
STALE_TREES = 100  # trees of killed starts in TEMP for the sweep's measurement
RELEASE_STALE_TREES = 4  # release-shaped trees of killed starts for the sweep's bound at exit
STALE_PID = 4000000000  # no process has it: wine's and Windows' PIDs stay far below
STALE_AGE = 24 * 3600 * 10_000_000  # a day, in FILETIME units: well past the young rule
SECOND_STARTS = 3  # second starts per repetition: each takes only milliseconds
DECODER_FALLBACK_BYTES = 134_707_000  # ZSTD_estimateDStreamSize(1 << 27) of libzstd 1.5.4


# ---------------------------------------------------------------- small helpers

def log(text):
    print(text, flush=True)


def run(command, **options):
    return subprocess.run(command, check=True, **options)


def seconds_of(command, **options):
    start = time.perf_counter_ns()
    run(command, **options)
    return (time.perf_counter_ns() - start) / 1e9


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def remove_tree(path):
    if os.path.lexists(path):
        shutil.rmtree(path)


def summary(values):
    return statistics.median(values), min(values), max(values)


def process_status(pid):
    """The kB fields of /proc/PID/status in bytes; empty once the process is gone."""
    fields = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                name, _, value = line.partition(":")
                parts = value.split()
                if len(parts) == 2 and parts[1] == "kB":
                    fields[name] = int(parts[0]) * 1024
    except OSError:
        pass
    return fields


def decoder_bytes():
    """What the decoder needs for a 2^27 window, asked of the host's libzstd."""
    try:
        library = ctypes.CDLL("libzstd.so.1")
        estimate = library.ZSTD_estimateDStreamSize
        estimate.restype = ctypes.c_size_t
        estimate.argtypes = [ctypes.c_size_t]
        return estimate(1 << WINDOW_LOG)
    except (OSError, AttributeError):
        return DECODER_FALLBACK_BYTES


def zstd_frame_length(data, start):
    """Length of the zstd frame at data[start:], from its header and block headers."""
    if data[start:start + 4] != b"\x28\xb5\x2f\xfd":
        raise ValueError("no zstd frame")
    descriptor = data[start + 4]
    single_segment = (descriptor >> 5) & 1
    content_size_bytes = [single_segment, 2, 4, 8][descriptor >> 6]
    position = start + 5 + (0 if single_segment else 1) + [0, 1, 2, 4][descriptor & 3]
    position += content_size_bytes
    while True:
        header = int.from_bytes(data[position:position + 3], "little")
        kind, size = (header >> 1) & 3, header >> 3
        position += 3 + (1 if kind == 1 else size)
        if header & 1:
            break
    if (descriptor >> 2) & 1:
        position += 4
    return position - start


# ---------------------------------------------------------------- results

class Results:
    def __init__(self):
        self.lines = []
        self.values = {}

    def add(self, key, label, values, unit="s"):
        self.values[key] = values
        median, low, high = summary(values)
        self.say(f"{label:<58} median {median:9.3f} {unit}  spread {low:.3f} .. {high:.3f}"
                 f"  (n={len(values)})")

    def ratio(self, label, numerator, denominator, target=None, at_least=None):
        if numerator not in self.values or denominator not in self.values:
            return
        value = statistics.median(self.values[numerator]) / statistics.median(self.values[denominator])
        verdict = ""
        if target is not None:
            verdict = f"  target <= {target}: {'met' if value <= target else 'NOT met'}"
        if at_least is not None:
            verdict = f"  target >= {at_least}: {'met' if value >= at_least else 'NOT met'}"
        self.say(f"  ratio {label:<52} {value:7.2f}x{verdict}")

    def say(self, text):
        self.lines.append(text)
        log(text)


# ---------------------------------------------------------------- the bench

class Bench:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.win_bin = args.win_bin
        self.packer = args.packer
        self.results = Results()
        self.tmpfs_root = os.path.join(args.tmpfs, "tavrin-bench")
        self.disk_root = os.path.join(self.work, "disk")
        self.stamp = os.path.join(self.tmpfs_root, "stamp.txt")
        self.env = dict(os.environ, TAVRIN_BENCH_STAMP=windows_path(self.stamp))

    def binary(self, name):
        path = os.path.join(self.win_bin, name)
        if not os.path.isfile(path):
            sys.exit(f"bench: {path} is missing: build the Windows tree first")
        return path

    # ---- preparation (cached below the work directory)

    def tree(self, scale):
        path = os.path.join(self.work, f"tree-{scale}")
        marker = path + ".digest"
        dll = self.binary("bench_main.dll")
        key = f"{scale} {file_digest(dll)} {file_digest(make_tree.__file__)}"
        if os.path.isdir(path) and os.path.isfile(marker):
            with open(marker) as f:
                lines = f.read().splitlines()
            if lines and lines[0] == key:
                return path, lines[1]
        for folder in (self.work, self.tmpfs_root):
            for stale in os.listdir(folder):
                if stale.startswith(f"scale-{scale}-"):
                    os.remove(os.path.join(folder, stale))
        out = run([sys.executable, make_tree.__file__, "--scale", str(scale), "--main-dll", dll,
                   "--force", path], stdout=subprocess.PIPE, text=True).stdout
        log(out.rstrip())
        digest = [l for l in out.splitlines() if l.startswith("digest ")][0].split()[1]
        with open(marker, "w") as f:
            f.write(f"{key}\n{digest}\n")
        return path, digest

    def pack_payload(self, tree, output, level):
        return seconds_of([self.packer, "payload", "--main", make_tree.MAIN_NAME, "-o", output,
                           "--level", str(level), tree], stdout=subprocess.DEVNULL)

    def payload(self, scale, tree):
        path = os.path.join(self.work, f"scale-{scale}-payload.bin")
        if not os.path.isfile(path):
            log(f"packing scale {scale} at level {RELEASE_LEVEL} ...")
            self.pack_payload(tree, path, RELEASE_LEVEL)
        return path

    def app(self, payload, name, place="temp", launcher=None, progress=False):
        path = os.path.join(self.work, name + ".exe")
        run([self.packer, "exe", "--launcher", launcher or self.binary("tavrin-launcher.exe"), "--payload",
             payload, "-o", path, "--unpack-to", place]
            + (["--execution-level", "asInvoker"] if place == "cache" else [])
            + (["--progress-window"] if progress else []), stdout=subprocess.DEVNULL)
        return path

    def cached_product_folder(self):
        """{CACHE_DIR}\\tavrin\\<product> in the benchmark's prefix, on the disk."""
        users = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users")
        for user in sorted(os.listdir(users)):
            local = os.path.join(users, user, "AppData", "Local")
            if os.path.isdir(local) and user != "Public":
                return os.path.join(local, "tavrin", CACHED_PRODUCT)
        sys.exit(f"bench: no user folder below {users}")

    def frame_and_stream(self, scale, payload):
        frame = os.path.join(self.work, f"scale-{scale}-frame.zst")
        stream = os.path.join(self.tmpfs_root, f"scale-{scale}-stream.bin")
        if not os.path.isfile(frame):
            with open(payload, "rb") as f:
                data = f.read()
            length = zstd_frame_length(data, 3)
            with open(frame, "wb") as f:
                f.write(data[3:3 + length])
        if not os.path.isfile(stream):
            run(["zstd", "-q", "-d", "-f", frame, "-o", stream])
        return frame, stream

    def tar_archive(self, tree):
        tar = os.path.join(self.work, "scale-1-tree.tar")
        if not os.path.isfile(tar):
            run(["tar", "-cf", tar, "-C", tree, "."])
        return tar

    def zstd_cli(self, tar, output, level, window_option=f"--long={WINDOW_LOG}"):
        # The packer's settings: window 2^27, one thread, no content size (stdin).
        # --long also turns on long-distance matching, which libzstd itself turns on for a
        # 2^27 window only from level 16 on; --zstd=wlog= sets the window alone.
        with open(tar, "rb") as source:
            return seconds_of(["zstd", "-q", "-f", f"-{level}", window_option,
                               "--single-thread", "-o", output], stdin=source)

    # ---- wine

    def set_temp(self, directory):
        os.makedirs(directory, exist_ok=True)
        for name in ("TEMP", "TMP"):
            run(["wine", "reg", "add", "HKCU\\Environment", "/v", name, "/t", "REG_SZ", "/d",
                 windows_path(directory), "/f"], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)

    def read_stamps(self):
        with open(self.stamp) as f:
            return [(int(l) - FILETIME_UNIX_EPOCH) * 100 for l in f.read().split()]

    def start_and_wait(self, command, env=None):
        """Returns (start ns, end ns, stamps ns) of one start of a Windows program."""
        if os.path.exists(self.stamp):
            os.remove(self.stamp)
        start = time.time_ns()
        run(["wine", *command], env=env or self.env, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL)
        end = time.time_ns()
        return start, end, self.read_stamps() if os.path.exists(self.stamp) else []

    def run_app(self, app, temp):
        start, end, stamps = self.start_and_wait([app])
        if len(stamps) != 1:
            sys.exit(f"bench: {app} gave {len(stamps)} stamps instead of 1")
        left = [d for d in os.listdir(temp) if d.startswith("onefile_")]
        for d in left:
            remove_tree(os.path.join(temp, d))
        if left:
            self.results.say(f"  note: {len(left)} target directories were left behind")
        return (stamps[0] - start) / 1e9, (end - stamps[0]) / 1e9

    # ---- measurements

    def time_tar_and_removals(self, root, tar_zst, m):
        """tar extraction natively, then its removal by rm -rf, and (from fresh extractions)
        under wine by the launcher's remove_tree, a file-by-file loop and SHFileOperationW."""
        out = os.path.join(root, "tar-out")
        remove_tree(out)
        os.makedirs(out)
        m["tar"].append(seconds_of(["tar", "--zstd", "-xf", tar_zst, "-C", out]))
        m["rm"].append(seconds_of(["rm", "-rf", out]))
        for mode in ("tree", "loop", "shell"):
            os.makedirs(out)
            run(["tar", "--zstd", "-xf", tar_zst, "-C", out])
            start, end, _ = self.start_and_wait([self.binary("bench_remove.exe"), mode,
                                                 windows_path(out)])
            m[f"remove-{mode}"].append((end - start) / 1e9)

    def time_floor(self, temp, frame, stream, m):
        """zstd -d of the frame natively, and the bare writer under wine, apart."""
        m["decode"].append(seconds_of(["zstd", "-q", "-d", "-c", frame], stdout=subprocess.DEVNULL))
        out = os.path.join(temp, "writer-out")
        remove_tree(out)
        start, _, stamps = self.start_and_wait([self.binary("bench_writer.exe"),
                                                windows_path(stream), windows_path(out)])
        m["writer"].append((stamps[-1] - start) / 1e9)
        m["floor"].append(m["decode"][-1] + m["writer"][-1])
        remove_tree(out)

    def measure_unpack(self, where, root, apps, reference):
        temp = os.path.join(root, "temp")
        self.set_temp(temp)
        tar_zst, frame, stream = reference
        m = {key: [] for key in ("unpack", "cleanup", "run", "tar", "rm", "remove-tree",
                                 "remove-loop", "remove-shell", "decode", "writer", "floor")}
        scaled = {scale: [] for scale in apps if scale not in (1, "unprotected")}
        unprotected = apps.get("unprotected")
        m["unpack-unprotected"] = []
        for rep in range(self.args.reps):
            log(f"  {where}: repetition {rep + 1} of {self.args.reps}")
            # The launcher without tree protection goes first every other time, so that
            # neither gains from its place (a warm page cache, a quieter moment).
            if unprotected and rep % 2 == 1:
                m["unpack-unprotected"].append(self.run_app(unprotected, temp)[0])
            unpack, cleanup = self.run_app(apps[1], temp)
            m["unpack"].append(unpack)
            m["cleanup"].append(cleanup)
            m["run"].append(unpack + cleanup)
            if unprotected and rep % 2 == 0:
                m["unpack-unprotected"].append(self.run_app(unprotected, temp)[0])
            self.time_tar_and_removals(root, tar_zst, m)
            self.time_floor(temp, frame, stream, m)
            for scale in scaled:
                scaled[scale].append(self.run_app(apps[scale], temp)[0])
        self.report_unpack(where, m, scaled)

    def report_unpack(self, where, m, scaled):
        r = self.results
        r.say(f"== unpack, target on {where}")
        for key, label in (("unpack", "launcher start to run_code (release-shaped)"),
                           ("tar", "tar --zstd -xf, same tree, level and window"),
                           ("decode", "zstd -d of the payload's frame to /dev/null"),
                           ("writer", "bare Win32 writer, uncompressed stream, 32 KiB pieces"),
                           ("floor", "floor: zstd -d + bare writer (per repetition)")):
            r.add(f"{key}-{where}", label, m[key])
        r.ratio("unpack / tar", f"unpack-{where}", f"tar-{where}",
                1.5 if where == "tmpfs" else None)
        r.ratio("unpack / floor", f"unpack-{where}", f"floor-{where}", 1.1)
        r.ratio("decode share: unpack / zstd -d", f"unpack-{where}", f"decode-{where}")
        if m["unpack-unprotected"]:
            r.say(f"== tree protection, target on {where}")
            r.add(f"unpack-unprotected-{where}", "the same, launcher built without tree protection",
                  m["unpack-unprotected"])
            r.ratio("protected / unprotected (medians)", f"unpack-{where}", f"unpack-unprotected-{where}",
                    1.03)
            # Paired within each repetition, where the drift between runs cancels best.
            paired = [a / b for a, b in zip(m["unpack"], m["unpack-unprotected"])]
            median, low, high = summary(paired)
            r.say(f"  ratio {'protected / unprotected (paired, median)':<52} {median:7.3f}x"
                  f"  spread {low:.3f} .. {high:.3f}  ({100 * (median - 1):+.1f} %)")
        r.say(f"== clean-up, target on {where}")
        for key, label in (("run", "release-shaped application, start to exit"),
                           ("cleanup", "run_code's call to the parent's exit (clean-up)"),
                           ("rm", "rm -rf of the same tree"),
                           ("remove-tree", "  wine: the launcher's remove_tree alone (process start incl.)"),
                           ("remove-loop", "  wine: FindFirstFile/DeleteFile loop (same)"),
                           ("remove-shell", "  wine: SHFileOperationW alone (same)")):
            r.add(f"{key}-{where}", label, m[key])
        r.ratio("remove_tree / file-by-file loop", f"remove-tree-{where}", f"remove-loop-{where}",
                1.5)
        r.ratio("clean-up / file-by-file loop", f"cleanup-{where}", f"remove-loop-{where}", 1.3)
        r.ratio("clean-up / rm -rf", f"cleanup-{where}", f"rm-{where}")
        r.ratio("SHFileOperationW / file-by-file loop", f"remove-shell-{where}",
                f"remove-loop-{where}")
        if scaled:
            r.say(f"== scaling, target on {where}")
            r.values[f"unpack-{where}-1"] = m["unpack"]
            for scale in sorted(scaled):
                r.add(f"unpack-{where}-{scale}", f"launcher start to run_code, scale {scale}",
                      scaled[scale])
            for scale in sorted(scaled):
                r.ratio(f"scale 1 / scale {scale} (bytes and files x{1 / scale:g})",
                        f"unpack-{where}-1", f"unpack-{where}-{scale}")

    def measure_trace(self, where, root, app, tar_zst, cached_app=None):
        """The end of a run step by step: the trace build's stamps from run_code's return in
        the child to the parent's return, then the process exit as the script sees it;
        against the file-by-file loop on a fresh copy of the same tree, and (cached_app
        given) on a tree the launcher itself has just written: the cached place's first
        start unpacks the same payload with the same code and leaves its tree behind."""
        temp = os.path.join(root, "temp")
        self.set_temp(temp)
        trace = os.path.join(self.tmpfs_root, "trace.txt")
        env = dict(self.env, TAVRIN_BENCH_TRACE=windows_path(trace))
        steps, spans, loops, alone, settled, settled_loops = {}, [], [], [], [], []
        own_loops, own_alone = [], []
        out = os.path.join(root, "tar-out")
        for rep in range(self.args.reps):
            log(f"  trace, {where}: repetition {rep + 1} of {self.args.reps}")
            if os.path.exists(trace):
                os.remove(trace)
            _, end, _ = self.start_and_wait([app], env=env)
            with open(trace) as f:
                marks = [(l.split()[0], (int(l.split()[1]) - FILETIME_UNIX_EPOCH) * 100) for l in f]
            marks = marks[[name for name, _ in marks].index("run-code-returned"):] + [("exited", end)]
            for (_, before), (name, at) in zip(marks, marks[1:]):
                steps.setdefault(name, []).append((at - before) / 1e9)
            spans.append((end - marks[0][1]) / 1e9)
            for d in os.listdir(temp):
                remove_tree(os.path.join(temp, d))
            for mode, times, synced in (("loop", loops, False), ("tree", alone, False),
                                        ("loop", settled_loops, True), ("tree", settled, True)):
                remove_tree(out)
                os.makedirs(out)
                run(["tar", "--zstd", "-xf", tar_zst, "-C", out])
                if synced:
                    run(["sync"])
                start, end, _ = self.start_and_wait([self.binary("bench_remove.exe"), mode, windows_path(out)])
                times.append((end - start) / 1e9)
            if cached_app is not None:
                for mode, times in (("loop", own_loops), ("tree", own_alone)):
                    times.append(self.remove_launcher_tree(cached_app, mode))
        r = self.results
        r.say(f"== end of a run, step by step (trace build), target on {where}")
        for name, values in steps.items():
            r.add(f"trace-{where}-{name}", f"  up to {name}", values)
        r.add(f"trace-span-{where}", "run_code's return to the parent's exit", spans)
        r.add(f"trace-loop-{where}", "  wine: FindFirstFile/DeleteFile loop (process start incl.)", loops)
        r.add(f"trace-alone-{where}", "  wine: the launcher's remove_tree alone (same)", alone)
        r.add(f"trace-settled-loop-{where}", "  wine: the loop after sync (blocks on disk)", settled_loops)
        r.add(f"trace-settled-{where}", "  wine: remove_tree after sync (same)", settled)
        if cached_app is not None:
            r.add(f"trace-own-loop-{where}", "  wine: the loop on a tree the launcher has just written", own_loops)
            r.add(f"trace-own-alone-{where}", "  wine: remove_tree alone on such a tree", own_alone)
            r.ratio("end-of-run span / loop on the launcher's own tree", f"trace-span-{where}",
                    f"trace-own-loop-{where}", 1.3)
            r.ratio("remove_tree alone / loop, the launcher's own tree", f"trace-own-alone-{where}",
                    f"trace-own-loop-{where}")
        r.ratio("end-of-run span / file-by-file loop", f"trace-span-{where}", f"trace-loop-{where}",
                None if cached_app is not None else 1.3)
        r.ratio("remove_tree alone / file-by-file loop", f"trace-alone-{where}", f"trace-loop-{where}")
        r.ratio("after sync: remove_tree / loop", f"trace-settled-{where}", f"trace-settled-loop-{where}")
        r.ratio("end-of-run span / loop after sync", f"trace-span-{where}", f"trace-settled-loop-{where}")

    def remove_launcher_tree(self, cached_app, mode):
        """A first start of cached_app writes its tree into the emptied cache and exits; the
        tree is then removed at once by bench_remove in mode, whose time is returned."""
        folder = self.cached_product_folder()
        remove_tree(folder)
        self.start_and_wait([cached_app])
        trees = [d for d in os.listdir(folder) if "~" not in d]
        if len(trees) != 1:
            sys.exit(f"bench: {folder} holds {os.listdir(folder)} instead of one tree")
        start, end, _ = self.start_and_wait([self.binary("bench_remove.exe"), mode,
                                             windows_path(os.path.join(folder, trees[0]))])
        remove_tree(folder)
        return (end - start) / 1e9

    def measure_cached(self, app, cached_app, tree):
        """Start to run_code of the cached place's first and later starts, side by side with
        a first start of the default place (target on tmpfs) and a plain exe that loads the
        same main library; the damage check alone; and the floor that the folder lookup sets:
        a process that only loads shell32, as SHGetFolderPathW needs."""
        temp = os.path.join(self.disk_root, "temp")
        self.set_temp(temp)
        folder = self.cached_product_folder()
        dll = windows_path(os.path.join(tree, make_tree.MAIN_NAME))
        m = {key: [] for key in ("first", "second", "temp", "direct", "check", "shell", "first-baseline")}
        baseline = None
        if self.args.baseline_launcher:
            baseline = self.app(self.payload(1, tree), CACHED_NAME + "-baseline", "cache",
                                launcher=self.args.baseline_launcher)
        entries = 0
        for rep in range(self.args.reps):
            log(f"  cached place: repetition {rep + 1} of {self.args.reps}")
            # With a baseline launcher, its first start goes first every other time, so that
            # neither gains from its place.
            # The exe's own name names its product folder: the baseline has one of its own.
            order = [("first", cached_app, folder),
                     ("first-baseline", baseline, os.path.join(os.path.dirname(folder), CACHED_NAME + "-baseline"))]
            for key, first_app, its_folder in (order if rep % 2 == 0 else order[::-1]):
                if first_app is not None:
                    remove_tree(its_folder)
                    m[key].append(self.run_app(first_app, temp)[0])
                    if first_app is baseline:
                        remove_tree(its_folder)
            for _ in range(SECOND_STARTS):
                m["second"].append(self.run_app(cached_app, temp)[0])
                start, _, stamps = self.start_and_wait([self.binary("bench_direct.exe"), dll])
                m["direct"].append((stamps[0] - start) / 1e9)
                start, end, _ = self.start_and_wait([self.binary("bench_shell.exe")])
                m["shell"].append((end - start) / 1e9)
            m["temp"].append(self.run_app(app, temp)[0])
            trees = [d for d in os.listdir(folder) if "~" not in d]
            if len(trees) != 1:
                sys.exit(f"bench: {folder} holds {os.listdir(folder)} instead of one tree")
            out = run(["wine", self.binary("bench_check.exe"), windows_path(os.path.join(folder, trees[0]))],
                      stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True).stdout.split()
            entries = int(out[0])
            m["check"].append(float(out[1]) / 1000)
        remove_tree(folder)
        r = self.results
        r.say("== cached place (--unpack-to cache), release-shaped tree; cache and TEMP on disk")
        r.add("cached-second", "later start: launcher start to run_code", m["second"])
        r.add("cached-direct", "plain exe loading the same main library, to run_code", m["direct"])
        r.add("cached-first", "first start (unpacks into the cache), to run_code", m["first"])
        r.add("cached-temp", "first start of the default place (disk), to run_code", m["temp"])
        r.add("cached-check", f"  damage check alone: marker + {entries} attribute queries", m["check"])
        r.add("cached-shell", "  exe that only loads shell32 (the folder lookup's floor), to exit", m["shell"])
        r.ratio("later start / plain exe", "cached-second", "cached-direct", 1.5)
        r.ratio("default first start / later start", "cached-temp", "cached-second", at_least=20)
        r.ratio("cached first start / later start", "cached-first", "cached-second")
        if baseline:
            r.add("cached-first-baseline", "first start with the baseline launcher, to run_code", m["first-baseline"])
            r.ratio("cached first start / the baseline launcher's", "cached-first", "cached-first-baseline", 1.15)
        r.ratio("damage check share of a later start", "cached-check", "cached-second")
        r.ratio("shell32 alone / plain exe", "cached-shell", "cached-direct")

    def measure_small_app(self, tiny_app, baseline_app=None):
        dll = windows_path(self.binary("bench_main.dll"))
        packed, to_call, after_call, direct, empty, shell, baseline = [], [], [], [], [], [], []
        for rep in range(self.args.small_reps):
            # The baseline goes first every other time, so that neither gains from its place.
            if baseline_app and rep % 2 == 1:
                start, end, _ = self.start_and_wait([baseline_app])
                baseline.append((end - start) / 1e9)
            start, end, stamps = self.start_and_wait([tiny_app])
            packed.append((end - start) / 1e9)
            to_call.append((stamps[0] - start) / 1e9)
            after_call.append((end - stamps[0]) / 1e9)
            if baseline_app and rep % 2 == 0:
                start, end, _ = self.start_and_wait([baseline_app])
                baseline.append((end - start) / 1e9)
            start, end, _ = self.start_and_wait([self.binary("bench_direct.exe"), dll])
            direct.append((end - start) / 1e9)
            start, end, _ = self.start_and_wait([self.binary("bench_empty.exe")])
            empty.append((end - start) / 1e9)
            start, end, _ = self.start_and_wait([self.binary("bench_shell.exe")])
            shell.append((end - start) / 1e9)
        r = self.results
        r.say("== small application: start to exit under wine")
        r.add("tiny-packed", "packed tiny application (parent, child, clean-up)", packed)
        r.add("tiny-to-call", "  of which start to run_code (parent, unpack, child)", to_call)
        r.add("tiny-after-call", "  of which run_code to the parent's exit", after_call)
        r.add("tiny-direct", "plain exe loading and calling the same DLL", direct)
        r.add("tiny-empty", "empty exe (one wine process, nothing loaded)", empty)
        r.add("tiny-shell", "exe that only loads shell32, as the launcher does", shell)
        r.ratio("packed / plain", "tiny-packed", "tiny-direct", 3)
        if baseline:
            r.add("tiny-baseline", "the same packed with --baseline-launcher", baseline)
            r.ratio("packed / packed with the baseline launcher", "tiny-packed", "tiny-baseline")

    def measure_progress(self, payload, tiny_payload):
        """The release-shaped first start (tmpfs) and the small application, each packed with and
        without --progress-window, start for start in one run. The release-shaped start shows
        the window (its unpacking outlasts the delay); the small one never does."""
        temp = os.path.join(self.tmpfs_root, "temp")
        self.set_temp(temp)
        pairs = (("progress-plain", self.app(payload, APP_NAME + "-1")),
                 ("progress-shown", self.app(payload, APP_NAME + "-1-progress", progress=True)))
        tiny_pairs = (("progress-tiny-plain", self.app(tiny_payload, TINY_NAME)),
                      ("progress-tiny-shown", self.app(tiny_payload, TINY_NAME + "-progress", progress=True)))
        m = {key: [] for key, _ in pairs + tiny_pairs}
        for rep in range(self.args.reps):
            log(f"  progress window: repetition {rep + 1} of {self.args.reps}")
            # Each goes first every other time, so that neither gains from its place.
            for key, app in (pairs if rep % 2 == 0 else reversed(pairs)):
                m[key].append(self.run_app(app, temp)[0])
        for rep in range(self.args.small_reps):
            for key, app in (tiny_pairs if rep % 2 == 0 else reversed(tiny_pairs)):
                start, end, _ = self.start_and_wait([app])
                m[key].append((end - start) / 1e9)
        r = self.results
        r.say("== progress window (--progress-window), target on tmpfs")
        r.add("progress-plain", "release-shaped first start to run_code, without", m["progress-plain"])
        r.add("progress-shown", "the same with the option (the window shows)", m["progress-shown"])
        r.ratio("with / without, to run_code", "progress-shown", "progress-plain", 1.02)
        # Each repetition starts both one after the other: their ratio leaves out the drift
        # of the machine's load between repetitions.
        r.add("progress-pairs", "  with / without within each repetition",
              [shown / plain for shown, plain in zip(m["progress-shown"], m["progress-plain"])], unit="x")
        r.add("progress-tiny-plain", "small application start to exit, without", m["progress-tiny-plain"])
        r.add("progress-tiny-shown", "the same with the option (never shows)", m["progress-tiny-shown"])
        r.ratio("with / without, small application", "progress-tiny-shown", "progress-tiny-plain")

    def peak_memory(self, command, exe_name, expected):
        """Peak memory in bytes of the processes of exe_name, oldest first: (VmHWM, the
        highest RssAnon seen). VmHWM counts the pages of the executable that were read,
        the mapped payload among them; RssAnon is the private memory alone, sampled every
        few milliseconds (the first process from its start, the others once the stamp is
        there, when the child holds)."""
        if os.path.exists(self.stamp):
            os.remove(self.stamp)
        env = dict(self.env, TAVRIN_BENCH_HOLD_MS=str(HOLD_MS))
        process = subprocess.Popen(["wine", *command], env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL)
        first_anon = 0
        while not os.path.exists(self.stamp) and process.poll() is None:
            first_anon = max(first_anon, process_status(process.pid).get("RssAnon", 0))
            time.sleep(POLL_SECONDS)
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    if exe_name.lower().encode() not in f.read().lower():
                        continue
                with open(f"/proc/{pid}/stat") as f:
                    started = int(f.read().rsplit(")", 1)[1].split()[19])
            except OSError:
                continue
            status = process_status(int(pid))
            anon = status.get("RssAnon", 0)
            if int(pid) == process.pid:
                anon = max(anon, first_anon)
            found.append((started, status.get("VmHWM", 0), anon))
        process.wait()
        if len(found) != expected:
            sys.exit(f"bench: found {len(found)} processes of {exe_name}, expected {expected}")
        return [(hwm, anon) for _, hwm, anon in sorted(found)]

    def measure_memory(self, app):
        samples = {"parent": ([], []), "child": ([], []), "empty": ([], [])}
        empty_exe = self.binary("bench_empty.exe")
        for _ in range(self.args.reps):
            runs = self.peak_memory([app], os.path.basename(app), 2)
            runs += self.peak_memory([empty_exe], os.path.basename(empty_exe), 1)
            for role, (hwm, anon) in zip(("parent", "child", "empty"), runs):
                samples[role][0].append(hwm / MIB)
                samples[role][1].append(anon / MIB)
        need = decoder_bytes() / MIB
        r = self.results
        r.say("== memory under wine, release-shaped payload")
        for role, label in (("parent", "parent"), ("child", "child (in run_code)"),
                            ("empty", "empty exe")):
            r.add(f"hwm-{role}", f"{label}: peak resident (VmHWM)", samples[role][0], "MiB")
            r.add(f"anon-{role}", f"{label}: highest private (RssAnon, sampled)",
                  samples[role][1], "MiB")
        for role in ("parent", "child"):
            for kind, name in (("hwm", "VmHWM"), ("anon", "RssAnon")):
                own = statistics.median(r.values[f"{kind}-{role}"]) - statistics.median(
                    r.values[f"{kind}-empty"])
                above = own - need
                r.say(f"  {role} {name} less empty exe: {own:.1f} MiB; decoder need {need:.1f} "
                      f"MiB; above it: {above:.1f} MiB  target <= 4: "
                      f"{'met' if above <= 4 else 'NOT met'}")

    def measure_packing(self, tree, tar):
        r = self.results
        r.say("== packing: tavrin-pack payload against the zstd tool on a tar of the tree")
        for level, reps in ((RELEASE_LEVEL, self.args.pack_reps_19), (QUICK_LEVEL, self.args.reps)):
            if reps == 0:
                continue
            packer_out = os.path.join(self.work, f"pack-{level}.bin")
            zstd_out = os.path.join(self.work, f"pack-{level}.tar.zst")
            packer_times, zstd_times = [], []
            for _ in range(reps):
                packer_times.append(self.pack_payload(tree, packer_out, level))
                zstd_times.append(self.zstd_cli(tar, zstd_out, level))
            note = " (the packer's default)" if level == RELEASE_LEVEL else ""
            r.add(f"pack-{level}", f"tavrin-pack, level {level}{note}", packer_times)
            r.add(f"zstd-{level}", f"zstd -{level} --long={WINDOW_LOG} --single-thread, tar",
                  zstd_times)
            r.ratio(f"time, level {level}", f"pack-{level}", f"zstd-{level}", 1.05)
            packed, reference = os.path.getsize(packer_out), os.path.getsize(zstd_out)
            raw = os.path.getsize(tar)
            ratio = packed / reference
            r.say(f"  size, level {level}: payload {packed} bytes ({100 * packed / raw:.2f} % of "
                  f"the tar), zstd {reference} ({100 * reference / raw:.2f} %): {ratio:.4f}x"
                  f"  target <= 1.01: {'met' if ratio <= 1.01 else 'NOT met'}")
            if level < LONG_MATCHING_LEVEL:
                # Tells how much of a gap comes from long-distance matching alone.
                plain_out = os.path.join(self.work, f"pack-{level}-wlog.tar.zst")
                plain_times = [self.zstd_cli(tar, plain_out, level, f"--zstd=wlog={WINDOW_LOG}")
                               for _ in range(reps)]
                r.add(f"zstd-{level}-wlog", f"zstd -{level} --zstd=wlog={WINDOW_LOG} (window only), tar",
                      plain_times)
                r.ratio(f"time, level {level}, against window only", f"pack-{level}",
                        f"zstd-{level}-wlog")
                r.say(f"  size, level {level}, against window only: zstd {os.path.getsize(plain_out)}"
                      f" bytes: {packed / os.path.getsize(plain_out):.4f}x")
            if level == RELEASE_LEVEL:
                shutil.copyfile(zstd_out, os.path.join(self.work, "scale-1-tree.tar.zst"))
                shutil.copyfile(packer_out, os.path.join(self.work, "scale-1-payload.bin"))

    # ---- the whole run

    def plant_stale_trees(self, temp, source, count):
        """Tops TEMP up to count trees of killed starts, each a copy of the tiny tree (source
        a file, its main library) or of the tree at source (a directory)."""
        now = time.time_ns() // 100 + FILETIME_UNIX_EPOCH
        present = [d for d in os.listdir(temp) if d.startswith(f"onefile_{STALE_PID}_")]
        for index in range(count - len(present)):
            tree = os.path.join(temp, f"onefile_{STALE_PID}_{now - STALE_AGE - index}")
            if os.path.isdir(source):
                shutil.copytree(source, tree)
            else:
                os.makedirs(tree)
                shutil.copyfile(source, os.path.join(tree, make_tree.MAIN_NAME))

    def measure_sweep(self, tiny_app):
        """The tiny application with an empty TEMP and with STALE_TREES stale trees in it,
        in turns: the sweep runs after the child has started, so start-to-run_code stays."""
        temp = os.path.join(self.tmpfs_root, "temp")
        dll = self.binary("bench_main.dll")
        for d in os.listdir(temp):
            remove_tree(os.path.join(temp, d))
        m = {"empty-call": [], "empty-exit": [], "stale-call": [], "stale-exit": []}
        removed = []
        for rep in range(self.args.small_reps):
            for case in (("empty", "stale") if rep % 2 == 0 else ("stale", "empty")):
                if case == "stale":
                    self.plant_stale_trees(temp, dll, STALE_TREES)
                else:
                    for d in os.listdir(temp):
                        remove_tree(os.path.join(temp, d))
                start, end, stamps = self.start_and_wait([tiny_app])
                m[f"{case}-call"].append((stamps[0] - start) / 1e9)
                m[f"{case}-exit"].append((end - start) / 1e9)
                if case == "stale":
                    removed.append(STALE_TREES - len(os.listdir(temp)))
        for d in os.listdir(temp):
            remove_tree(os.path.join(temp, d))
        r = self.results
        r.say(f"== sweep: tiny application, TEMP on tmpfs empty and with {STALE_TREES} stale trees")
        r.add("sweep-empty-call", "empty TEMP: start to run_code", m["empty-call"])
        r.add("sweep-stale-call", f"{STALE_TREES} stale trees: start to run_code", m["stale-call"])
        r.add("sweep-empty-exit", "empty TEMP: start to exit", m["empty-exit"])
        r.add("sweep-stale-exit", f"{STALE_TREES} stale trees: start to exit", m["stale-exit"])
        r.say(f"  stale trees removed per start: {sorted(set(removed))}")
        r.ratio("start to run_code, stale / empty", "sweep-stale-call", "sweep-empty-call", 1.05)
        r.ratio("start to exit, stale / empty", "sweep-stale-exit", "sweep-empty-exit")

    def measure_release_sweep(self, tiny_app, tree):
        """The tiny application with an empty TEMP and with RELEASE_STALE_TREES stale trees of
        the release shape, in turns: a short run must not wait for their removal. What a
        start cuts short keeps its "~old_" name and is cleared with the empty case."""
        temp = os.path.join(self.tmpfs_root, "temp")
        for d in os.listdir(temp):
            remove_tree(os.path.join(temp, d))
        m = {"empty": [], "stale": []}
        for rep in range(self.args.small_reps):
            for case in (("empty", "stale") if rep % 2 == 0 else ("stale", "empty")):
                if case == "stale":
                    self.plant_stale_trees(temp, tree, RELEASE_STALE_TREES)
                else:
                    for d in os.listdir(temp):
                        remove_tree(os.path.join(temp, d))
                start, end, _ = self.start_and_wait([tiny_app])
                m[case].append((end - start) / 1e9)
        for d in os.listdir(temp):
            remove_tree(os.path.join(temp, d))
        r = self.results
        r.say(f"== sweep: tiny application, TEMP on tmpfs empty and with {RELEASE_STALE_TREES} "
              "release-shaped stale trees")
        r.add("sweep-release-empty-exit", "empty TEMP: start to exit", m["empty"])
        r.add("sweep-release-stale-exit", f"{RELEASE_STALE_TREES} release-shaped stale trees: start to exit",
              m["stale"])
        r.ratio("start to exit, release-shaped stale / empty", "sweep-release-stale-exit",
                "sweep-release-empty-exit", 1.05)

    def main(self):
        os.makedirs(self.work, exist_ok=True)
        os.makedirs(self.tmpfs_root, exist_ok=True)
        r = self.results
        r.say(f"tavrin benchmark {datetime.datetime.now().isoformat(timespec='seconds')}, "
              f"{self.args.reps} repetitions, {os.cpu_count()} cores")
        trees = {}
        for scale in self.args.scales:
            trees[scale], digest = self.tree(scale)
            r.say(f"tree scale {scale}: digest {digest}")
        # The tar references serve the packing and unpacking sections only.
        needs_tar = bool({"pack", "unpack"} & set(self.args.only))
        tar = self.tar_archive(trees[1]) if needs_tar else None
        if "pack" in self.args.only:
            self.measure_packing(trees[1], tar)
        tar_zst = os.path.join(self.work, "scale-1-tree.tar.zst")
        if needs_tar and not os.path.isfile(tar_zst):
            self.zstd_cli(tar, tar_zst, RELEASE_LEVEL)
        apps = {}
        for scale in self.args.scales:
            payload = self.payload(scale, trees[scale])
            apps[scale] = self.app(payload, f"{APP_NAME}-{scale}")
            if scale == 1:
                frame, stream = self.frame_and_stream(scale, payload)
                compressed = os.path.getsize(frame)
                r.say(f"payload scale 1: {os.path.getsize(payload)} bytes, frame {compressed} "
                      f"({100 * compressed / os.path.getsize(stream):.2f} % of the entry stream)")
        tiny_dir = os.path.join(self.work, "tiny-tree")
        remove_tree(tiny_dir)
        os.makedirs(tiny_dir)
        shutil.copyfile(self.binary("bench_main.dll"), os.path.join(tiny_dir, make_tree.MAIN_NAME))
        tiny_payload = os.path.join(self.work, "tiny-payload.bin")
        self.pack_payload(tiny_dir, tiny_payload, RELEASE_LEVEL)
        tiny_app = self.app(tiny_payload, TINY_NAME)
        baseline_app = None
        if self.args.baseline_launcher:
            baseline_app = self.app(tiny_payload, TINY_NAME + "-baseline", launcher=self.args.baseline_launcher)

        if self.args.unprotected_launcher:
            apps["unprotected"] = self.app(self.payload(1, trees[1]), f"{APP_NAME}-1-unprotected",
                                           launcher=self.args.unprotected_launcher)
        reference = (tar_zst, frame, stream)
        if "unpack" in self.args.only:
            self.measure_unpack("tmpfs", self.tmpfs_root, apps, reference)
            self.measure_unpack("disk", self.disk_root,
                                {k: v for k, v in apps.items() if k in (1, "unprotected")}, reference)
        if "trace" in self.args.only:
            if not os.path.isfile(tar_zst):
                self.zstd_cli(self.tar_archive(trees[1]), tar_zst, RELEASE_LEVEL)
            traced = self.app(self.payload(1, trees[1]), APP_NAME + "-trace",
                              launcher=self.binary("tavrin-launcher-trace.exe"))
            self.measure_trace("tmpfs", self.tmpfs_root, traced, tar_zst)
            self.measure_trace("disk", self.disk_root, traced, tar_zst,
                               self.app(self.payload(1, trees[1]), CACHED_NAME, "cache"))
        self.set_temp(os.path.join(self.tmpfs_root, "temp"))
        if "small" in self.args.only:
            self.measure_small_app(tiny_app, baseline_app)
        if "sweep" in self.args.only:
            self.measure_sweep(tiny_app)
            self.measure_release_sweep(tiny_app, trees[1])
        if "memory" in self.args.only:
            self.measure_memory(apps[1])
        if "progress" in self.args.only:
            self.measure_progress(self.payload(1, trees[1]), tiny_payload)
        if "cached" in self.args.only:
            self.measure_cached(apps[1], self.app(self.payload(1, trees[1]), CACHED_NAME, "cache"),
                                trees[1])
        remove_tree(os.path.join(self.disk_root, "temp"))
        if self.args.results:
            with open(self.args.results, "w") as f:
                f.write("\n".join(r.lines) + "\n")
            log(f"results written to {self.args.results}")


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5, help="repetitions of each measurement")
    parser.add_argument("--small-reps", type=int, default=15,
                        help="repetitions of the small-application starts (a few ms each)")
    parser.add_argument("--pack-reps-19", type=int, default=1,
                        help="repetitions of the level-19 packing (about 2 x 2 minutes each)")
    parser.add_argument("--scales", type=float, nargs="+", default=[0.25, 0.5, 1])
    parser.add_argument("--only", nargs="+",
                        default=["pack", "unpack", "trace", "small", "sweep", "memory", "cached", "progress"],
                        help="measurements to run: pack unpack trace small sweep memory cached progress")
    parser.add_argument("--work", required=True, help="cache and scratch directory (on disk)")
    parser.add_argument("--tmpfs", default="/dev/shm", help="a tmpfs mount for the tmpfs runs")
    parser.add_argument("--win-bin", required=True, help="the Windows build's bin directory")
    parser.add_argument("--packer", required=True, help="the host tavrin-pack")
    parser.add_argument("--results", help="file for the result lines")
    parser.add_argument("--baseline-launcher",
                        help="another build of tavrin-launcher.exe (main's, say): the small application "
                             "packed with it is timed in the same run, start for start")
    parser.add_argument("--unprotected-launcher",
                        help="the launcher built with TAVRIN_BENCHMARK_UNPROTECTED_TREE (bench/run.sh builds "
                             "it): the release-shaped unpack is timed with it too, start for start")
    args = parser.parse_args()
    args.scales = sorted({s if s != 1.0 else 1 for s in args.scales} | {1})
    return args


if __name__ == "__main__":
    Bench(parse_arguments()).main()
