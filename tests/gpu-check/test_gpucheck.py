"""The GPU check's runner walked through its device branch here: a fake package (shell-script
test executables, benchmark and device query), a fake nvidia-smi, a fake compute-sanitizer.

    python3 test_gpucheck.py [Rehearsal|RealPackage]
RealPackage runs the package named by GPUCHECK_PACKAGE (scripts/gpu-check.sh --package DIR).
"""
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
RUNNER = os.path.join(ROOT, "scripts", "gpu-check")

GTEST = r"""#!/bin/sh
echo "[ RUN      ] Host.Works"; echo "[       OK ] Host.Works (0 ms)"
if [ "${0##*/}" = gpu_runtime_test ]; then
    case "$*" in *-LaunchErrors.AKernelFaultIsSticky*) ;; *)
        echo "[ RUN      ] LaunchErrors.AKernelFaultIsSticky"; echo "FAULT: write through a bad address"
        echo "[       OK ] LaunchErrors.AKernelFaultIsSticky (1 ms)" ;; esac
fi
echo "[ RUN      ] Gpu.Kernel"
if [ -n "$FAKE_SKIP" ]; then
    echo "kernel_test.cu:9: Skipped"; echo "no CUDA device answers: GPU test skipped"; echo
    echo "[  SKIPPED ] Gpu.Kernel (0 ms)"
else echo "[       OK ] Gpu.Kernel (2 ms)"; fi
"""
SANITIZER = r"""#!/bin/sh
[ "$1" = --version ] && { echo "Compute Sanitizer version 2025.1.0 (fake)"; exit 0; }
while [ $# -gt 0 ]; do case $1 in --tool) tool=$2; shift 2 ;; --target-processes) tp=$2; shift 2 ;;
    --*) shift 2 ;; *) break ;; esac; done
echo "$tool ${1##*/} $tp" >>"$FAKE_LOG"
out=$("$@"); rc=$?; echo "$out"; n=$(echo "$out" | grep -c FAULT)
if [ "$tool" = racecheck ]; then echo "========= RACECHECK SUMMARY: $n hazards displayed ($n errors, 0 warnings)"
else echo "========= ERROR SUMMARY: $n errors"; fi
[ "$n" -gt 0 ] && exit 86; exit $rc
"""
SMI = r"""#!/bin/sh
[ -n "$FAKE_SMI_HANG" ] && sleep 300
case "$1" in
    -L) echo "GPU 0: NVIDIA H100 80GB HBM3 (UUID: GPU-5a1f)" ;;
    --query-gpu=index*) echo "0, NVIDIA H100 80GB HBM3, ${FAKE_DRIVER:-580.65.06}, 81559 MiB, ${FAKE_MODE:-Default}" ;;
    --query-gpu=clocks*) echo "1980, 2619, 5, 16" ;;
esac
"""
QUERY = r"""#!/bin/sh
echo "runtime: 13.0"
if [ -n "$FAKE_DEVICE" ]; then
    echo "driver: 13.0"; echo "device 0: NVIDIA H100 80GB HBM3, compute capability 9.0, 132 SMs, 79.1 GiB"
    echo "device 0 clocks: sm 1980 MHz, memory 2619 MHz, bus 5120 bits, compute mode 0"; exit 0
fi
echo "driver: 12.2"; echo "no CUDA device: CUDA driver version is insufficient for CUDA runtime version"; exit 3
"""
BENCH = r"""#!/bin/sh
[ "$1" = --list ] && { printf 'fractview_frames\nscaling\n'; exit 0; }
[ "$1" = --csv ] && { echo "section,row,n,median_ms" >"$2"; exit 0; }
[ $# -eq 0 ] && echo "scaling swept in the main run"
echo "| area | row | median | spread | reps | vs reference | napkin math | of bound | note |"
echo "|---|---|---:|---:|---:|---|---|---:|---|"
echo "| fractview | renderGPU per frame (mode 2) | 1.20 ms | 3% | 50 | 9x vs renderCPU | 786432 px, 7654321 iterations, 12.6 MB copied | | |"
[ -n "$FAKE_BENCH_HANG" ] && sleep 300
echo "| gravsim | computeBodyGPU_sm kernel, 16384 bodies | 2.00 ms | 1% | 20 | | 2.68e+08 interactions (N^2), 0 B over the bus | | |"
"""
TESTS = {"alpha_test": "kernels", "race_test": "kernels barriers", "gpu_runtime_test": "kernels barriers",
         "host_test": ""}
H100 = {"FAKE_DEVICE": "1"}
NO_GPU_SMI = {"FAKE_DRIVER": "535.104.05"}
# name, environment, budget, status, in the report, not in the report
CASES = [
    ("passes", dict(H100), 60, 0, ["Verdict: **PASSED**", "| memcheck | gpu_runtime_test | 0 errors |",
                                   "| racecheck | race_test | 0 errors, 0 warnings |", "| fractview | renderGPU",
                                   "copy bound", "scaling sweep ran"], ["FAULT", "FAIL", "main run"]),
    ("no sanitizer", dict(H100, NO_SANITIZER="1"), 60, 1, ["**Sanitizer not run**", "compute-sanitizer not found"],
     ["PASSED"]),
    ("GPU test skipped with a device", dict(H100, FAKE_SKIP="1"), 60, 1,
     ["Gpu.Kernel skipped although a device answers"], []),
    ("old driver", dict(NO_GPU_SMI), 60, 1, ["cannot use it", "driver 535.104.05 on GPU 0 is older than the 580"],
     ["CUDA_VISIBLE_DEVICES", "missing"]),
    ("hidden by CUDA_VISIBLE_DEVICES", dict(CUDA_VISIBLE_DEVICES="-1"), 60, 1, ["CUDA_VISIBLE_DEVICES='-1' hides"],
     ["older than"]),
    ("compute mode prohibited", dict(FAKE_MODE="Prohibited"), 60, 1, ["compute mode Prohibited"], []),
    ("device files missing", dict(NO_DEV_FILES="1"), 60, 1, ["nvidiactl missing", "nvidia0 missing"], []),
    ("hung nvidia-smi", dict(FAKE_SMI_HANG="1"), 30, 1, ["nvidia-smi -L did not answer"], []),
    ("budget spent in the benchmark", dict(H100, FAKE_BENCH_HANG="1"), 6, 4,
     ["INCOMPLETE", "| fractview | renderGPU per frame (mode 2) | 1.20 ms", "1 finished rows kept"], ["gravsim"]),
    ("no device", dict(NO_SMI="1"), 60, 3, ["NO CUDA DEVICE", "Not run: no CUDA device."], ["FAIL"]),
]


def script(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)


def run_package(pkg, out, env, budget):
    t0 = time.monotonic()
    p = subprocess.run([os.path.join(pkg, "run.sh"), "--out", out, "--budget", str(budget), "--jobs", "2"],
                       env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                       timeout=budget + 60)
    return p, time.monotonic() - t0


class Rehearsal(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="gpu-check-test-")
        self.pkg = os.path.join(self.tmp, "pkg")
        os.makedirs(os.path.join(self.pkg, "bin"))
        os.makedirs(os.path.join(self.pkg, "lib"))
        for f in os.listdir(RUNNER):
            if f.endswith((".py", ".sh")):
                shutil.copy(os.path.join(RUNNER, f), self.pkg)
        with open(os.path.join(self.pkg, "tests.txt"), "w") as f:
            f.writelines("%s %s\n" % kv for kv in TESTS.items())
        for t in TESTS:
            script(os.path.join(self.pkg, "bin", t), GTEST)
        script(os.path.join(self.pkg, "bin", "gpudemos_bench"), BENCH)
        script(os.path.join(self.pkg, "bin", "gpudemos_device_query"), QUERY)
        self.tools = os.path.join(self.tmp, "tools")
        os.makedirs(self.tools)
        self.dev = os.path.join(self.tmp, "dev")
        os.makedirs(self.dev)
        for f in ("nvidiactl", "nvidia-uvm", "nvidia0"):
            open(os.path.join(self.dev, f), "w").close()

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def env(self, case):
        for name, text in (("nvidia-smi", SMI), ("compute-sanitizer", SANITIZER)):
            path = os.path.join(self.tools, name)
            if os.path.exists(path):
                os.remove(path)
            if not case.get({"nvidia-smi": "NO_SMI"}.get(name, "NO_SANITIZER")):
                script(path, text)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("FAKE_", "CUDA_VISIBLE"))}
        env.update(case, PATH=self.tools + ":" + os.path.dirname(sys.executable) + ":/usr/bin:/bin", FAKE_LOG=os.path.join(self.tmp, "sanitizer.log"),
                   GPUCHECK_DEVICE_QUERY=os.path.join(self.pkg, "bin", "gpudemos_device_query"),
                   GPUCHECK_DEV_DIR=self.dev if not case.get("NO_DEV_FILES") else self.tools)
        return env

    def test_cases(self):
        for name, case, budget, status, present, absent in CASES:
            with self.subTest(name):
                out = os.path.join(self.tmp, "out-" + name.replace(" ", "-"))
                if os.path.exists(os.path.join(self.tmp, "sanitizer.log")):
                    os.remove(os.path.join(self.tmp, "sanitizer.log"))
                p, secs = run_package(self.pkg, out, self.env(case), budget)
                print("%s: %.1f s" % (name, secs), file=sys.stderr)
                self.assertEqual(sorted(os.listdir(out)), ["logs.tar.gz", "report.md"])
                with open(os.path.join(out, "report.md")) as f:
                    report = f.read()
                self.assertEqual(p.returncode, status, p.stdout + report)
                self.assertLess(secs, budget + 5)
                for text in present:
                    self.assertIn(text, report)
                for text in absent:
                    self.assertNotIn(text, report)
                with tarfile.open(os.path.join(out, "logs.tar.gz")) as tar:
                    names = tar.getnames()
                for t in TESTS:
                    self.assertIn("logs/tests/%s.log" % t, names)
                self.assertEqual("FAKE_DEVICE" in case and "FAKE_BENCH_HANG" not in case,
                                 "logs/bench/scaling.csv" in names)
                if status == 0:
                    with open(os.path.join(self.tmp, "sanitizer.log")) as f:
                        runs = sorted(f.read().splitlines())
                    self.assertEqual(runs, sorted("%s application-only" % r for r in [
                        "memcheck alpha_test", "memcheck race_test", "memcheck gpu_runtime_test",
                        "racecheck race_test", "synccheck race_test", "racecheck gpu_runtime_test",
                        "synccheck gpu_runtime_test"]))

    def test_napkin_math(self):
        sys.path.insert(0, RUNNER)
        import bounds
        rates = bounds.figures({"sms": 132, "cc": (9, 0), "sm_mhz": 1980, "memory_mhz": 2619, "bus_bits": 5120},
                               {"pcie.link.gen.max": 5, "pcie.link.width.max": 16})
        self.assertEqual([round(rates[k] / 1e9) for k in ("fp32", "memory", "bus")], [33454, 3352, 63])
        for name, math, want in [  # bytes over the bus, bytes of device memory, operations
                ("image download (cudaMemcpy device to host)", "12,582,912 B per frame", (12582912, None, None)),
                ("stepGPU per frame", "268M distances, 2.4 Gflop + 268M sqrt; 21.0 MB down (20 B/point), "
                                      "2048 B up per frame", (21002048, None, 2.4e9)),
                ("k", "786,432 px x 20 spheres = 15.7 M hit tests; writes 12,582,912 B", (None, 12582912, 125.6e6)),
                ("g", "2.68e+08 interactions (N^2), 0 B over the bus", (0, None, 5.36e9)),
                ("b", "65536 elements, up to 64 iterations each", (None, None, None))]:
            self.assertEqual(bounds.quantities(name, math), want, math)

    def test_runs_on_python_3_8(self):
        import ast
        for f in os.listdir(RUNNER):
            if f.endswith(".py"):
                with open(os.path.join(RUNNER, f)) as src:
                    ast.parse(src.read(), filename=f, feature_version=(3, 8))


class RealPackage(unittest.TestCase):
    """The package CI built, run here without a device: status 3, the host-side tests pass."""

    def test_without_device(self):
        pkg = os.environ.get("GPUCHECK_PACKAGE")
        if not pkg or not os.path.exists(os.path.join(pkg, "run.sh")):
            self.skipTest("GPUCHECK_PACKAGE names no package (scripts/gpu-check.sh --package DIR)")
        out = tempfile.mkdtemp(prefix="gpu-check-out-")
        try:
            env = dict(os.environ, PATH="/usr/bin:/bin")
            p, secs = run_package(pkg, out, env, 420)
            self.assertEqual(sorted(os.listdir(out)), ["logs.tar.gz", "report.md"])
            with open(os.path.join(out, "report.md")) as f:
                report = f.read()
            self.assertEqual(p.returncode, 3, p.stdout + report)
            self.assertIn("no CUDA device", p.stdout)
            self.assertRegex(report, r"\d+ tests run: \d+ passed, 0 failed, \d+ skipped")
            with open(os.path.join(pkg, "tests.txt")) as f:
                lines = [l.split() for l in f if l.strip()]
            tests = [l[0] for l in lines]
            self.assertIn("gpu_runtime_test kernels barriers".split(), lines)
            self.assertGreater(sum("kernels" in l for l in lines), len(lines) // 2)
            with tarfile.open(os.path.join(out, "logs.tar.gz")) as tar:
                names = tar.getnames()
            self.assertEqual([t for t in tests if "logs/tests/%s.log" % t not in names], [])
            print("real package: %d test executables, %.0f s" % (len(tests), secs))
        finally:
            shutil.rmtree(out)


if __name__ == "__main__":
    unittest.main()
