"""The benchmark's rows against what this GPU allows.

gpudemos_bench prints Markdown rows whose "napkin math" cell names the bytes a row moves and
the work it does. Here those quantities meet the device's figures: bytes over the bus at the
PCIe link's rate (the copy bound), bytes read or written by kernels at the memory's rate, and
floating-point operations at the FP32 peak (the compute bound).
"""
import re

NUM = r"([0-9][0-9,]*(?:\.[0-9]+)?(?:e[+-]?[0-9]+)?)"
BYTES = re.compile(NUM + r"\s*(B|bytes|KB|MB|GB)\b(?!/)")
BYTE_SCALE = {"B": 1, "bytes": 1, "KB": 1e3, "MB": 1e6, "GB": 1e9}
BUS_WORDS = re.compile(r"\b(bus|up|down|copied|copy|download|upload)\b")
COPY_ROW = re.compile(r"copy|download|upload|cudaMemcpy", re.I)
# Operations per unit of work, counted from the kernels (no fused multiply-add: the build
# uses --fmad=false): a gravsim body pair about 20 (the benchmark's own count), a Julia
# step z = z^2 + c with its |z|^2 test 11, a sphere hit test (a miss) 8.
OPS_PER_UNIT = {"interactions": 20, "iterations": 11, "hit tests": 8}
WORK = re.compile(NUM + r"\s*(M|G)?\s*(interactions|iterations|hit tests)\b(?! each)")
GFLOP = re.compile(NUM + r"\s*Gflop\b")
HOST_ROW = re.compile(r"CPU\b|plain loop")
HOST_GROUPS = ("png codec", "cpu backend")
# PCIe rate per lane and direction, GB/s, by generation.
PCIE_LANE_GBS = {1: 0.25, 2: 0.5, 3: 0.985, 4: 1.969, 5: 3.938, 6: 7.563}


def _num(text):
    return float(text.replace(",", ""))


def fp32_lanes(major, minor):
    """FP32 units per SM: 64 on Volta, Turing and the A100, 128 from then on."""
    return 64 if major < 8 or (major, minor) == (8, 0) else 128


def figures(dev, smi_extra):
    """Rates of the first device: {'fp32': ops/s, 'memory': B/s, 'bus': B/s}, each only where
    the device query (dev) or nvidia-smi's clock and link fields (smi_extra) give it."""
    out = {}
    sm_mhz = dev.get("sm_mhz") or smi_extra.get("clocks.max.sm")
    mem_mhz = dev.get("memory_mhz") or smi_extra.get("clocks.max.memory")
    if dev.get("sms") and sm_mhz and dev.get("cc"):
        major, minor = dev["cc"]
        out["fp32"] = dev["sms"] * fp32_lanes(major, minor) * sm_mhz * 1e6
    if mem_mhz and dev.get("bus_bits"):
        out["memory"] = 2 * mem_mhz * 1e6 * dev["bus_bits"] / 8  # double data rate
    gen, width = smi_extra.get("pcie.link.gen.max"), smi_extra.get("pcie.link.width.max")
    if gen in PCIE_LANE_GBS and width:
        out["bus"] = PCIE_LANE_GBS[gen] * width * 1e9
    return out


def quantities(name, math):
    """(bytes over the bus, bytes of device memory, FP32 operations) the napkin math names;
    None where it names none."""
    bus = mem = None
    for seg in re.split(r";|, ", math):
        for m in BYTES.finditer(seg):
            n = _num(m.group(1)) * BYTE_SCALE[m.group(2)]
            if BUS_WORDS.search(seg) or COPY_ROW.search(name):
                bus = (bus or 0) + n
            else:
                mem = (mem or 0) + n
    ops = None
    g = GFLOP.search(math)
    if g:
        ops = _num(g.group(1)) * 1e9
    else:
        for m in WORK.finditer(math):
            scale = {"M": 1e6, "G": 1e9}.get(m.group(2), 1)
            ops = (ops or 0) + _num(m.group(1)) * scale * OPS_PER_UNIT[m.group(3)]
    return bus, mem, ops


def median_ms(text):
    m = re.match(r"\s*" + NUM + r"\s*(ms|us|ns|s)\b", text)
    if not m:
        return None
    return _num(m.group(1)) * {"s": 1e3, "ms": 1, "us": 1e-3, "ns": 1e-6}[m.group(2)]


def table_rows(lines):
    """The data rows of every Markdown table with an "area" and a "napkin math" column,
    as dicts keyed by the header's names."""
    rows, header = [], None
    for line in lines:
        line = line.strip()
        if not line.startswith("|"):
            header = None
            continue
        cells = [c.strip() for c in line.strip("|").split("|")]
        if "area" in cells and "napkin math" in cells:
            header = cells
        elif header and not set(line) <= set("|-: ") and len(cells) == len(header):
            rows.append(dict(zip(header, cells)))
    return rows


def bound_rows(rows, rates):
    """[(area, row, median, bus ms, memory ms, compute ms, share)] for the rows run on the
    device whose napkin math gives at least one bound here; share is the largest bound
    over the median (how near the row runs to what the GPU allows)."""
    out, seen = [], set()
    for r in rows:
        area, name = r.get("area", ""), r.get("row", "")
        if area in HOST_GROUPS or HOST_ROW.search(name) or (area, name, r.get("median")) in seen:
            continue  # host rows; a row streamed as measured and printed again in the final table
        seen.add((area, name, r.get("median")))
        bus, mem, ops = quantities(name, r.get("napkin math", ""))
        times = [q / rates[k] * 1e3 if q is not None and k in rates else None
                 for q, k in ((bus, "bus"), (mem, "memory"), (ops, "fp32"))]
        if all(t is None for t in times):
            continue
        med = median_ms(r.get("median", ""))
        worst = max(t for t in times if t is not None)
        share = "%.0f%%" % (100 * worst / med) if med else ""
        out.append((area, name, r.get("median", "")) + tuple(times) + (share,))
    return out
