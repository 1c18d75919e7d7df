"""The GPU check of a packaged cuda build (made by scripts/gpu-check.sh).

    run.sh [--out OUT] [--budget SECONDS] [--jobs N]

Stages, each with its own slice of the budget (default 420 s), every command under a timeout:
  package            every file present, every library resolves, none is a window-system
                     library or the shared CUDA runtime
  device             nvidia-smi and the device query: name, driver, runtime; a GPU that
                     nvidia-smi lists but the runtime cannot use fails, its likely cause named
  tests              every test executable; a GPU test skipped for want of a device fails
                     when a device answers
  compute-sanitizer  memcheck on every test executable with device code, racecheck and
                     synccheck on those whose kernels wait at barriers
  benchmark          gpudemos_bench, its rows kept as they come; then, time allowing, its
                     scaling sweep with a CSV
  report             OUT/report.md and OUT/logs.tar.gz (every log), nothing else in OUT
                     (default OUT: out/ beside this script)

Status: 0 all passed; 1 something failed; 3 no CUDA device, nothing else failed;
4 incomplete: the budget ran out before everything ran, nothing failed.
Tests of this runner only: GPUCHECK_DEVICE_QUERY names a program run instead of the
package's device query, GPUCHECK_DEV_DIR the folder holding the nvidia device files.
"""
import argparse
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading
import traceback
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bounds  # noqa: E402
import elf  # noqa: E402

# (stage, share of the budget left when it starts, least and most seconds): a stage that
# ends early leaves its time to the later ones; the sanitizer's share is kept from the tests.
STAGES = [("package", 0.04, 5, 20), ("device", 0.10, 10, 45), ("tests", 0.28, 0, None),
          ("compute-sanitizer", 0.40, 0, None), ("benchmark", 0.18, 0, None)]
REPORT_RESERVE = 8       # seconds kept for the report (a tenth of a smaller budget)
TEST_LIMIT = 300         # most seconds for one test executable, alone or under a sanitizer
FORBIDDEN_LIB = re.compile(r"^lib(glut|GL|GLU|GLX|GLEW|OpenGL|EGL|X11|cudart)\.so")
# Tests that write through a bad address on purpose: memcheck would report just that.
FAULTS_ON_PURPOSE = {"gpu_runtime_test": ["LaunchErrors.AKernelFaultIsSticky"]}
SANITIZER_EXIT = 86      # --error-exitcode: the sanitizer found something
# The NVIDIA driver series each CUDA runtime major needs.
DRIVER_FOR_RUNTIME = {12: 525, 13: 580}
GTEST_RESULT = re.compile(r"^\[ +(OK|FAILED|SKIPPED) +\] (\S+).* \(\d+ ms\)$")


class Stopped(Exception):
    pass


class Result(object):
    def __init__(self, rc=None, timed_out=False, seconds=0.0, error="", started=True):
        self.rc, self.timed_out, self.seconds = rc, timed_out, seconds
        self.error, self.started = error, started
        self.text = ""


class Check(object):
    def __init__(self, pkg, out, budget, jobs, extra, given_failures):
        self.pkg, self.out, self.budget, self.jobs, self.extra = pkg, out, budget, jobs, extra
        self.start = time.monotonic()
        self.deadline = self.start + budget
        self.logs = tempfile.mkdtemp(prefix="gpu-check-logs-")
        self.work = tempfile.mkdtemp(prefix="gpu-check-work-")
        self.failures = list(given_failures)  # reasons the run fails
        self.cut = []         # what the budget left out
        self.notes = []
        self.stages = []      # [stage, slice s, used s, outcome]
        self.procs = set()
        self.lock = threading.Lock()
        self.env = dict(os.environ)
        self.tests = []       # [{'name', 'kernels', 'barriers'}]
        self.info = {"package": [], "device": [], "smi": [], "figures": {}}
        self.has_device = False
        self.test_rows, self.skip_rows = [], []
        self.totals = [0, 0, 0, 0]  # run, passed, failed, skipped
        self.sanitizer, self.san_rows = None, []
        self.bench_lines, self.bench_status = [], "not run"
        self.dev, self.smi_extra, self.sanitizer_version = {}, {}, ""
        self.faults = FAULTS_ON_PURPOSE
        self.stopping = False

    # ---- bookkeeping ----------------------------------------------------------------------
    def fail(self, text):
        with self.lock:
            self.failures.append(text)
        say("FAIL: " + text)

    def left(self):
        return self.deadline - min(REPORT_RESERVE, self.budget / 10) - time.monotonic()

    def run(self, argv, log, limit, cwd=None, stdout=None):
        """Runs argv, its output into logs/<log> (stdout into logs/<stdout> when given, as it
        comes), in its own process group, killed as a group after limit seconds."""
        if limit < 1 or self.stopping:
            return Result(started=False)
        log_path = os.path.join(self.logs, log)
        os.makedirs(os.path.dirname(log_path), exist_ok=True)
        t0 = time.monotonic()
        with open(log_path, "ab") as err:
            out = open(os.path.join(self.logs, stdout), "ab") if stdout else err
            try:
                p = subprocess.Popen(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL, cwd=cwd,
                                     env=self.env, start_new_session=True)
            except OSError as e:
                return Result(error=str(e), started=False)
            finally:
                if stdout:
                    out.close()
            with self.lock:
                self.procs.add(p)
            try:
                r = Result(p.wait(timeout=limit))
            except subprocess.TimeoutExpired:
                kill(p)
                r = Result(p.returncode, timed_out=True)
            with self.lock:
                self.procs.discard(p)
        r.seconds = time.monotonic() - t0
        with open(log_path, errors="replace") as f:
            r.text = f.read()
        return r

    def stop_all(self):
        self.stopping = True
        with self.lock:
            for p in list(self.procs):
                kill(p)

    def bin(self, name):
        return os.path.join(self.pkg, "bin", name)

    # ---- stages ---------------------------------------------------------------------------
    def run_stages(self):
        for i, (name, share, least, most) in enumerate(STAGES):
            later = sum(s[1] for s in STAGES[i:])
            length = max(least, max(0.0, self.left()) * share / later)
            length = min(length, most or length, max(0.0, self.left()))
            t0 = time.monotonic()
            self.stage_end = t0 + length
            if length < 1:
                self.cut.append("%s stage: not run, the budget was spent" % name)
                self.stages.append([name, length, 0, "not run: budget spent"])
                continue
            try:
                outcome = getattr(self, "stage_" + name.replace("-", "_"))()
            except Stopped:
                raise
            except Exception:  # a fault of this runner: the later stages and the report go on
                self.fail("%s stage: the runner failed: %s" % (name, traceback.format_exc().splitlines()[-1]))
                with open(os.path.join(self.logs, "runner-errors.log"), "a") as f:
                    f.write(traceback.format_exc())
                outcome = "runner error"
            self.stages.append([name, length, time.monotonic() - t0, outcome])

    def short_limit(self):
        """For a command that answers at once when all is well (nvidia-smi, --version)."""
        return min(10, max(5, self.slice_left() / 3), self.slice_left())

    def slice_left(self):
        return min(self.stage_end - time.monotonic(), self.left())

    def stage_package(self):
        listing = os.path.join(self.pkg, "tests.txt")
        if os.path.isfile(listing):
            with open(listing) as f:
                for line in f:
                    words = line.split()
                    if words:
                        self.tests.append({"name": words[0], "kernels": "kernels" in words[1:],
                                           "barriers": "barriers" in words[1:]})
        if not self.tests:
            self.fail("tests.txt missing or empty")
        wanted = [t["name"] for t in self.tests] + ["gpudemos_bench", "gpudemos_device_query"]
        missing = [n for n in wanted if not os.access(self.bin(n), os.X_OK)]
        if missing:
            self.fail("missing from bin/: " + " ".join(missing))
        self.tests = [t for t in self.tests if t["name"] not in missing]
        bins = sorted(os.listdir(os.path.join(self.pkg, "bin"))) if os.path.isdir(self.bin("")) else []
        found = []
        for b in bins:
            try:
                found += ["%s needs %s" % (b, lib) for lib in elf.needed(self.bin(b)) if FORBIDDEN_LIB.match(lib)]
            except elf.NotElf as e:
                with open(self.bin(b), "rb") as f:
                    if f.read(2) != b"#!":  # a script asks for no libraries
                        self.fail("bin/%s: %s" % (b, e))
            except (OSError, ValueError) as e:
                self.fail("bin/%s: %s" % (b, e))
        if found:
            self.fail("window-system or shared CUDA runtime libraries: " + "; ".join(found))
        self.info["package"].append(("window-system libraries, shared CUDA runtime", "; ".join(found) or "none"))
        libs = self.resolve_libraries(bins)
        self.info["package"].append(("libraries", libs))
        return "%d test executables, %d with device code; %s" % (
            len(self.tests), sum(t["kernels"] for t in self.tests), "files missing" if missing else "all files present")

    def resolve_libraries(self, bins):
        """Picks the library path: lib/ first, lib/fallback (the build machine's libstdc++
        and libgcc_s) only where this machine's own are too old."""
        lib = os.path.join(self.pkg, "lib")
        base = os.environ.get("LD_LIBRARY_PATH", "")
        self.env["LD_LIBRARY_PATH"] = lib + (":" + base if base else "")
        if not shutil.which("ldd"):
            return "not checked: no ldd here"
        tried = []
        for path in (lib, lib + ":" + os.path.join(lib, "fallback")):
            self.env["LD_LIBRARY_PATH"] = path + (":" + base if base else "")
            bad = []
            for b in bins:
                r = self.run(["ldd", self.bin(b)], "package/ldd-%d.log" % len(tried), min(10, self.slice_left()))
                if not r.started or r.timed_out:
                    bad.append("%s: ldd did not finish" % b)
                bad += ["%s: %s" % (b, l.strip()) for l in r.text.splitlines() if "not found" in l]
                if r.started:
                    os.remove(os.path.join(self.logs, "package/ldd-%d.log" % len(tried)))
            tried.append(bad)
            if not bad:
                return "all resolve (package libraries used: %s)" % (
                    "lib/" if len(tried) == 1 else "lib/ and lib/fallback/, the machine's own being too old: " + tried[0][0])
        self.env["LD_LIBRARY_PATH"] = lib + (":" + base if base else "")
        self.fail("libraries that do not resolve: " + "; ".join(tried[0]))
        return "NOT RESOLVED: " + "; ".join(tried[0])

    def stage_device(self):
        smi = shutil.which("nvidia-smi", path=self.env.get("PATH"))
        listed, rows, hung = [], [], False
        if smi:
            r = self.run([smi, "-L"], "device/nvidia-smi-L.log", self.short_limit())
            hung = r.timed_out or not r.started
            if r.timed_out:
                self.fail("nvidia-smi -L did not answer within %.0f s: the driver looks stuck" % r.seconds)
            listed = [l.strip() for l in r.text.splitlines() if re.match(r"\s*GPU \d+:", l)]
        if listed and not hung:
            fields = "index,name,driver_version,memory.total,compute_mode"
            r = self.run([smi, "--query-gpu=" + fields, "--format=csv,noheader"], "device/nvidia-smi-query.log",
                         self.short_limit())
            rows = [[c.strip() for c in l.split(",")] for l in r.text.splitlines() if l.count(",") >= 4]
            self.info["smi"] = rows
            extra = "clocks.max.sm,clocks.max.memory,pcie.link.gen.max,pcie.link.width.max"
            r = self.run([smi, "--query-gpu=" + extra, "--format=csv,noheader,nounits"], "device/nvidia-smi-clocks.log",
                         self.short_limit())
            first = r.text.splitlines()[0].split(",") if r.rc == 0 and r.text.strip() else []
            self.smi_extra = {k: int(v) for k, v in zip(extra.split(","), (c.strip() for c in first)) if v.isdigit()}
        query = os.environ.get("GPUCHECK_DEVICE_QUERY") or self.bin("gpudemos_device_query")
        r = self.run([query], "device/device-query.log", min(30, self.slice_left()))
        dev = parse_query(r.text)
        self.info["device"] = [l for l in r.text.splitlines() if ":" in l]
        self.dev = dev
        if r.timed_out:
            self.fail("the device query did not answer within %.0f s: the driver looks stuck" % r.seconds)
        elif not r.started:
            self.fail("the device query did not start: " + (r.error or "no time left"))
        elif r.rc == 0 and dev.get("name"):
            self.has_device = True
            self.info["figures"] = bounds.figures(dev, self.smi_extra)
            return "%s, driver %s, runtime %s" % (dev["name"], dev.get("driver"), dev.get("runtime"))
        elif r.rc == 3 and listed:
            self.fail("nvidia-smi lists %s but the CUDA runtime cannot use it (the device query says: %s); "
                      "likely cause: %s" % ("; ".join(listed), dev.get("why", "?"),
                                            "; ".join(unusable_causes(listed, rows, dev, self.env))))
        elif r.rc != 3:
            self.fail("the device query ended with status %s" % r.rc)
        return "no CUDA device: %s" % dev.get("why", "the device query said none")

    def stage_tests(self):
        results = self.pool(self.run_test, self.tests)
        for t, r in zip(self.tests, results):
            self.count_test(t["name"], r)
        return "%d tests run: %d passed, %d failed, %d skipped" % tuple(self.totals)

    def run_test(self, t):
        name = t["name"]
        cwd = os.path.join(self.work, name)  # tests may write files into their folder
        os.makedirs(cwd, exist_ok=True)
        limit = min(TEST_LIMIT, self.slice_left())
        return self.run([self.bin(name), "--gtest_color=no"], "tests/%s.log" % name, limit, cwd=cwd)

    def count_test(self, name, r):
        counts = {"OK": 0, "FAILED": 0, "SKIPPED": 0}
        msg = None
        for line in r.text.splitlines():
            m = GTEST_RESULT.match(line)
            if m:
                counts[m.group(1)] += 1
                if m.group(1) == "SKIPPED":
                    self.skip_row(name, m.group(2), (msg or "").strip())
                msg = None
            elif line.endswith(": Skipped"):
                msg = ""
            elif msg is not None and not line.startswith("["):
                msg += " " + line.strip()
        ran = sum(counts.values())
        for i, n in enumerate((ran, counts["OK"], counts["FAILED"], counts["SKIPPED"])):
            self.totals[i] += n
        note = self.verdict(r, name, "", "%d tests failed" % counts["FAILED"])
        if not note and ran == 0:
            note = "no test ran"
            self.fail(name + ": no test ran")
        self.test_rows.append((name, ran, counts["OK"], counts["FAILED"], counts["SKIPPED"], note))

    def skip_row(self, exe, test, msg):
        self.skip_rows.append((exe, test, msg))
        if self.has_device and "no CUDA device" in msg:
            self.fail("%s: %s skipped although a device answers: %s" % (exe, test, msg))

    def verdict(self, r, name, what, failed_text):
        """The note for one run; a failure or a cut recorded."""
        if not r.started and r.error:
            self.fail("%s%s: did not start: %s" % (what, name, r.error))
            return "did not start"
        if not r.started:
            self.cut.append("%s%s: not run, its stage's time was spent" % (what, name))
            return "not run: time spent"
        if r.timed_out:
            if r.seconds >= TEST_LIMIT - 1:
                self.fail("%s%s: timed out after %.0f s" % (what, name, r.seconds))
                return "timed out"
            self.cut.append("%s%s: cut by its stage's time after %.0f s" % (what, name, r.seconds))
            return "cut after %.0f s" % r.seconds
        if r.rc != 0:
            self.fail("%s%s: exit status %s, %s" % (what, name, r.rc, failed_text))
            return "exit status %s" % r.rc
        return ""

    def pool(self, fn, items):
        ex = ThreadPoolExecutor(max_workers=max(1, self.jobs))
        try:
            return list(ex.map(fn, items))
        except Stopped:
            self.stop_all()  # before the workers are waited for
            raise
        finally:
            ex.shutdown(wait=True)

    def stage_compute_sanitizer(self):
        if not self.has_device:
            return "not run: no CUDA device"
        home = os.environ.get("CUDA_HOME", "/usr/local/cuda")
        for c in [shutil.which("compute-sanitizer", path=self.env.get("PATH")),
                  "/usr/local/cuda/bin/compute-sanitizer", home + "/bin/compute-sanitizer",
                  home + "/compute-sanitizer/compute-sanitizer"]:
            if c and os.access(c, os.X_OK):
                self.sanitizer = c
                break
        if not self.sanitizer:
            self.fail("compute-sanitizer not found (PATH, %s/bin): sanitizer not run, so the GPU check has not "
                      "passed" % home)
            return "sanitizer not run: compute-sanitizer not found"
        r = self.run([self.sanitizer, "--version"], "sanitizer/version.log", self.short_limit())
        self.sanitizer_version = next((l.strip() for l in r.text.splitlines() if "ersion" in l), "")
        runs = [("memcheck", t["name"]) for t in self.tests if t["kernels"]]
        runs += [(tool, t["name"]) for tool in ("racecheck", "synccheck") for t in self.tests
                 if t["kernels"] and t["barriers"]]
        for (tool, name), r in zip(runs, self.pool(self.run_sanitizer, runs)):
            self.count_sanitizer(tool, name, r)
        clean = sum(1 for row in self.san_rows if not row[3])
        return "%d runs, %d clean" % (len(runs), clean)

    def run_sanitizer(self, job):
        tool, name = job
        args = [self.sanitizer, "--tool", tool, "--print-limit", "20", "--error-exitcode", str(SANITIZER_EXIT),
                "--target-processes", "application-only"]
        if tool == "memcheck":
            args += ["--report-api-errors", "no"]  # several tests provoke API errors on purpose
        args += [self.bin(name), "--gtest_color=no"]
        if name in FAULTS_ON_PURPOSE:
            args.append("--gtest_filter=-" + ":".join(FAULTS_ON_PURPOSE[name]))
        cwd = os.path.join(self.work, tool + "." + name)
        os.makedirs(cwd, exist_ok=True)
        return self.run(args, "sanitizer/%s.%s.log" % (tool, name), min(TEST_LIMIT, self.slice_left()), cwd=cwd)

    def count_sanitizer(self, tool, name, r):
        errors = findings = None
        race = re.findall(r"RACECHECK SUMMARY: (\d+) hazards? displayed \((\d+) errors?, (\d+) warnings?\)", r.text)
        summary = re.findall(r"ERROR SUMMARY: (\d+) errors?", r.text)
        if race:
            errors = int(race[-1][1])
            findings = "%s errors, %s warnings" % race[-1][1:]
        elif summary:
            errors = int(summary[-1])
            findings = "%d errors" % errors
        note = ""
        if not r.started or r.timed_out:
            note = self.verdict(r, name, tool + " ", "")
        elif findings is None:
            note = "no summary, exit status %s" % r.rc
            self.fail("%s %s: no summary (exit status %s)" % (tool, name, r.rc))
        elif errors:
            note = "see sanitizer/%s.%s.log" % (tool, name)
            self.fail("%s %s: %s" % (tool, name, findings))
        elif r.rc != 0:
            note = "tests failed under %s (exit status %s)" % (tool, r.rc)
            self.fail("%s %s: exit status %s with no finding" % (tool, name, r.rc))
        self.san_rows.append((tool, name, findings or "?", note))

    def stage_benchmark(self):
        if not self.has_device:
            return "not run: no CUDA device"
        bench = self.bin("gpudemos_bench")
        r = self.run([bench, "--list"], "bench/list.log", self.short_limit())
        sections = r.text.split() if r.rc == 0 else []
        # Every section but the scaling sweep, which runs after them with its CSV.
        argv = [bench] + ([s for s in sections if s != "scaling"] if "scaling" in sections else [])
        r = self.run(argv, "bench/bench.log", self.slice_left(), cwd=self.work, stdout="bench/bench.md")
        with open(os.path.join(self.logs, "bench/bench.md"), errors="replace") as f:
            self.bench_lines = f.read().splitlines()
        rows = len(bounds.table_rows(self.bench_lines))
        if r.timed_out or not r.started:
            self.cut.append("benchmark: cut by its stage's time after %.0f s, %d rows kept" % (r.seconds, rows))
            self.bench_status = "cut after %.0f s: %d finished rows kept" % (r.seconds, rows)
            return self.bench_status
        if r.rc != 0:
            self.fail("benchmark: exit status %s" % r.rc)
        self.bench_status = "ran in %.0f s, exit status %s" % (r.seconds, r.rc)
        self.scaling(bench, sections)
        return self.bench_status

    def scaling(self, bench, sections):
        """The scaling sweep with its CSV, where the slice has time for it; optional."""
        if "scaling" not in sections:
            self.notes.append("scaling sweep not run: this gpudemos_bench has no scaling section")
            return
        if self.slice_left() < 20:
            self.notes.append("scaling sweep not run: %.0f s left in the benchmark's slice" % self.slice_left())
            return
        csv = os.path.join(self.logs, "bench", "scaling.csv")
        r = self.run([bench, "--csv", csv, "scaling"], "bench/scaling.log", self.slice_left(), cwd=self.work,
                     stdout="bench/scaling.md")
        if r.timed_out:
            self.notes.append("scaling sweep cut after %.0f s (bench/scaling.md keeps its rows)" % r.seconds)
        elif r.rc != 0 or not os.path.exists(csv):
            self.notes.append("scaling sweep: exit status %s, %s (does this gpudemos_bench know --csv?)" % (
                r.rc, "no CSV written" if not os.path.exists(csv) else "CSV kept"))
        else:
            self.notes.append("scaling sweep ran in %.0f s: bench/scaling.md, bench/scaling.csv" % r.seconds)

    # ---- the end --------------------------------------------------------------------------
    def status(self):
        if self.failures:
            return 1, "FAILED"
        if self.cut:
            return 4, "INCOMPLETE: the budget ran out before everything ran"
        if not self.has_device:
            return 3, "NO CUDA DEVICE: package checks and host-side tests only"
        return 0, "PASSED"

    def finish(self):
        import report  # the Markdown, apart from the checks
        status, verdict = self.status()
        try:
            text = report.render(self, verdict, time.monotonic() - self.start)
        except Exception:
            text = "# GPU check\n\nVerdict: **%s**; the report could not be written:\n\n```\n%s```\n\n%s\n" % (
                verdict, traceback.format_exc(), "\n".join("- " + f for f in self.failures + self.cut))
        with open(os.path.join(self.logs, "report.md"), "w") as f:
            f.write(text)
        tmp = os.path.join(self.out, ".logs.tar.gz.part")
        with tarfile.open(tmp, "w:gz") as tar:
            tar.add(self.logs, arcname="logs")
        os.replace(tmp, os.path.join(self.out, "logs.tar.gz"))
        tmp = os.path.join(self.out, ".report.md.part")
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, os.path.join(self.out, "report.md"))
        shutil.rmtree(self.logs, ignore_errors=True)
        shutil.rmtree(self.work, ignore_errors=True)
        return status, verdict


def kill(p):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(p.pid, sig)
        except OSError:
            pass
        try:
            p.wait(timeout=3)
            return
        except subprocess.TimeoutExpired:
            continue


def parse_query(text):
    """The device query's lines as {'runtime', 'driver', 'why', 'name', 'cc', 'sms', ...}."""
    d = {}
    for line in text.splitlines():
        m = re.match(r"(runtime|driver): (.*)", line)
        if m:
            d[m.group(1)] = m.group(2).strip()
        m = re.match(r"no CUDA device: (.*)", line)
        if m:
            d["why"] = m.group(1).strip()
        m = re.match(r"device 0: ([^,]+), compute capability (\d+)\.(\d+), (\d+) SMs", line)
        if m:
            d.update(name=m.group(1), cc=(int(m.group(2)), int(m.group(3))), sms=int(m.group(4)))
        m = re.match(r"device 0 clocks: sm (\d+) MHz, memory (\d+) MHz, bus (\d+) bits", line)
        if m:
            d.update(sm_mhz=int(m.group(1)), memory_mhz=int(m.group(2)), bus_bits=int(m.group(3)))
    return d


def unusable_causes(listed, smi_rows, dev, env):
    """The likely reasons a GPU that nvidia-smi lists is not one the runtime can use."""
    causes = []
    runtime = re.match(r"(\d+)", dev.get("runtime", "13"))
    need = DRIVER_FOR_RUNTIME.get(int(runtime.group(1)) if runtime else 13, 580)
    for row in smi_rows:
        index, name, driver, mode = row[0], row[1], row[2], row[-1]
        major = re.match(r"(\d+)", driver)
        if major and int(major.group(1)) < need:
            causes.append("driver %s on GPU %s is older than the %d series CUDA %s needs" % (
                driver, index, need, dev.get("runtime", "13")))
        if mode.lower().startswith("prohibited"):
            causes.append("GPU %s is in compute mode Prohibited (nvidia-smi -c DEFAULT resets it)" % index)
    if dev.get("driver") == "none":
        try:
            ctypes.CDLL("libcuda.so.1")
        except OSError:
            causes.append("libcuda.so.1, the driver's CUDA library, is not found by the loader (in a container: "
                          "NVIDIA_DRIVER_CAPABILITIES must include compute)")
    visible = env.get("CUDA_VISIBLE_DEVICES")
    if visible is not None:
        first = visible.split(",")[0].strip()
        known = first.isdigit() and int(first) < len(listed) or (
            first.startswith(("GPU-", "MIG-")) and any(first in l for l in listed))
        if not known:
            causes.append("CUDA_VISIBLE_DEVICES=%r hides the listed GPUs" % visible)
    dev_dir = os.environ.get("GPUCHECK_DEV_DIR", "/dev")
    files = ["nvidiactl", "nvidia-uvm"] + ["nvidia" + l.split()[1].rstrip(":") for l in listed]
    for f in files:
        path = os.path.join(dev_dir, f)
        if not os.path.exists(path):
            causes.append("%s missing" % path)
            continue
        try:
            os.close(os.open(path, os.O_RDWR))
        except OSError as e:
            causes.append("%s cannot be opened: %s" % (path, e.strerror))
    return causes or ["not found here; the runtime says: %s" % dev.get("why", "?")]


def say(text):
    print("gpu-check: " + text, file=sys.stderr, flush=True)


def prepare_out(out):
    """OUT must be new, empty or an earlier run's: the run leaves exactly its two files there."""
    os.makedirs(out, exist_ok=True)
    others = [e for e in os.listdir(out) if e not in ("report.md", "logs.tar.gz")]
    if others:
        sys.exit("gpu-check: %s holds other files (%s): choose an empty folder" % (out, " ".join(sorted(others))))
    for e in os.listdir(out):
        os.remove(os.path.join(out, e))


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(prog="run.sh", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default=os.path.join(here, "out"), help="folder for report.md and logs.tar.gz")
    ap.add_argument("--budget", type=float, default=420, help="seconds for the whole run (default 420)")
    ap.add_argument("--jobs", type=int, default=min(8, os.cpu_count() or 1), help="executables run at a time")
    ap.add_argument("--extra", help=argparse.SUPPRESS)  # gpu-check.sh's build checks, Markdown
    ap.add_argument("--fail", action="append", default=[], help=argparse.SUPPRESS)
    a = ap.parse_args(argv)
    out = os.path.abspath(a.out)
    prepare_out(out)
    check = Check(here, out, a.budget, a.jobs, a.extra, a.fail)

    def stop(sig, frame):
        raise Stopped(signal.Signals(sig).name)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        check.run_stages()
    except Stopped as e:
        check.stop_all()
        check.fail("the runner was stopped (%s) before it finished" % e)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    status, verdict = check.finish()
    if not check.has_device and status == 3:
        say("no CUDA device (%s): GPU tests, compute-sanitizer and benchmark not run" % check.dev.get("why", "?"))
    say("%s; report: %s" % (verdict, os.path.join(out, "report.md")))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
