"""report.md of a GPU check run: what ran, what it found, what did not run."""
import os
import platform
import socket
import time

import bounds


def _table(header, rows, align=None):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(align or ["---"] * len(header)) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return out


def _ms(v):
    return "" if v is None else ("%.3g ms" % v)


def _rate(v, unit):
    return "%.3g %s" % (v / 1e12, "T" + unit) if v >= 1e12 else "%.3g %s" % (v / 1e9, "G" + unit)


def render(c, verdict, elapsed):
    title = c.dev.get("name") or (c.info["smi"] and c.info["smi"][0][1] + ", not usable by the CUDA runtime") or \
        "no CUDA device"
    L = ["# GPU check: %s" % title, "",
         "Verdict: **%s** (%.0f s of a %.0f s budget)" % (verdict, elapsed, c.budget), ""]
    for title, items in (("Failures", c.failures), ("Not run: the budget ran out", c.cut), ("Notes", c.notes)):
        if items:
            L += ["## " + title, ""] + ["- " + i for i in items] + [""]

    about = [("date", time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())),
             ("machine", "%s, %d CPU threads, %s %s" % (socket.gethostname(), os.cpu_count() or 0,
                                                        platform.system(), platform.release()))]
    names = {"runtime": "CUDA runtime (linked in)", "driver": "CUDA version the driver supports"}
    about += [(names.get(k.strip(), k.strip()), v.strip()) for k, v in (l.split(":", 1) for l in c.info["device"])]
    about += [("nvidia-smi GPU " + r[0], ", ".join(r[1:])) for r in c.info["smi"]]
    f = c.info["figures"]
    if f:
        about.append(("rates used for the bounds", ", ".join(
            "%s %s" % (k, _rate(f[k], u)) for k, u in (("fp32", "op/s"), ("memory", "B/s"), ("bus", "B/s"))
            if k in f) + " (FP32: SMs x lanes x peak clock, one operation a lane and cycle, as the build "
                        "fuses none; memory: double data rate x bus width; bus: the PCIe link at its maximum)"))
    pkg_txt = os.path.join(c.pkg, "package.txt")
    if os.path.exists(pkg_txt):
        with open(pkg_txt) as fh:
            about += [tuple(x.strip() for x in l.split(":", 1)) for l in fh if ":" in l]
    about += c.info["package"]
    about.append(("compute-sanitizer", (c.sanitizer or "not found") +
                  (" (%s)" % c.sanitizer_version if c.sanitizer_version else "")))
    L += _table(["", ""], about) + [""]

    L += ["## Stages", ""] + _table(["stage", "slice", "used", "outcome"], [
        (s[0], "%.0f s" % s[1], "%.0f s" % s[2], s[3]) for s in c.stages]) + [""]
    if c.extra and os.path.exists(c.extra):
        with open(c.extra) as fh:
            L += [fh.read().rstrip(), ""]

    L += ["## Tests", "", "%d tests run: %d passed, %d failed, %d skipped." % tuple(c.totals), ""]
    L += _table(["executable", "run", "passed", "failed", "skipped", "note"], c.test_rows,
                ["---", "---:", "---:", "---:", "---:", "---"]) + [""]
    if c.skip_rows and not c.has_device:
        # Without a device nearly every GPU test skips: one line per message.
        by = {}
        for exe, _, msg in c.skip_rows:
            by.setdefault(msg, set()).add(exe)
        L += ["Skipped tests:", ""] + _table(["message", "tests", "executables"], [
            (m, sum(1 for r in c.skip_rows if r[2] == m), len(e)) for m, e in sorted(by.items())]) + [""]
    elif c.skip_rows:
        L += ["Skipped tests:", ""] + _table(["executable", "test", "message"], c.skip_rows) + [""]
    excluded = os.path.join(c.pkg, "excluded.txt")
    if os.path.exists(excluded):
        with open(excluded) as fh:
            L += ["Not in this package:", ""] + ["- " + l.strip() for l in fh if l.strip()] + [""]

    L += ["## compute-sanitizer", ""]
    if not c.has_device:
        L += ["Not run: no CUDA device.", ""]
    elif not c.sanitizer:
        L += ["**Sanitizer not run**: compute-sanitizer not found. The run fails (status 1) rather than",
              "counting as incomplete: more time would not bring the tool, and a GPU check whose",
              "sanitizer did not run has not passed.", ""]
    else:
        L += ["memcheck (`--report-api-errors no`) on every test executable with device code, racecheck",
              "and synccheck on those whose kernels wait at `__syncthreads()`; `--target-processes",
              "application-only` (death-test children are not sanitized). Left out as faulting on purpose: " +
              "; ".join("%s %s" % (k, " ".join(v)) for k, v in sorted(c.faults.items())) + ".", ""]
        per_tool = []
        for tool in ("memcheck", "racecheck", "synccheck"):
            rows = [r for r in c.san_rows if r[0] == tool]
            per_tool.append((tool, len(rows), sum(1 for r in rows if not r[3]),
                             sum(1 for r in rows if r[3].startswith("see "))))
        L += _table(["tool", "runs", "clean", "with findings"], per_tool) + [""]
        L += _table(["tool", "executable", "findings", "note"], c.san_rows) + [""]

    L += ["## Benchmark", "", "gpudemos_bench: %s." % c.bench_status, ""]
    if c.bench_lines:
        L += c.bench_lines + [""]
        rows = bounds.bound_rows(bounds.table_rows(c.bench_lines), f)
        if rows:
            L += ["Each row's napkin math against this GPU: bytes over the bus at the PCIe rate (copy",
                  "bound), bytes kernels read or write at the memory's rate, operations at the FP32 peak",
                  "(compute bound; operations per unit: %s). \"of bound\" is the largest over the median." %
                  ", ".join("%s %d" % kv for kv in sorted(bounds.OPS_PER_UNIT.items())), ""]
            L += _table(["area", "row", "median", "copy bound", "memory bound", "compute bound", "of bound"],
                        [r[:3] + tuple(_ms(v) for v in r[3:6]) + r[6:] for r in rows],
                        ["---", "---", "---:", "---:", "---:", "---:", "---:"]) + [""]
    else:
        L += ["No rows.", ""]

    logs = []
    for root, _, files in os.walk(c.logs):
        logs += [os.path.relpath(os.path.join(root, n), c.logs) for n in files]
    L += ["## Logs", "", "logs.tar.gz beside this report: %d files under logs/ (%s)." % (
        len(logs) + 1, ", ".join(sorted(set(l.split(os.sep)[0] for l in logs))) or "none"), ""]
    return "\n".join(L)
