#!/usr/bin/env python3
# The realistic days of korva-sample that the benchmarks format: the network's device mix, read
# by the converter without a warning and with every trap linked, values busy all day.
# usage: realistic_day_test.py KORVA2CSV KORVA_SAMPLE

import collections
import filecmp
import os
import re
import struct
import subprocess
import sys
import tempfile

korva2csv, sample = sys.argv[1], sys.argv[2]
failures = 0


def check(what, ok):
    global failures
    failures += not ok
    print(("ok   - " if ok else "FAIL - ") + what)


def generate(folder, *options):
    # The day's data file and the count of its devices by type (of its name table).
    subprocess.run([sample, "--realistic", "-d", "1", *options, folder], check=True,
                   stdout=subprocess.DEVNULL)
    path = os.path.join(folder, "KORVA20S_20210501.DAT")
    data = open(path, "rb").read()
    names = int(re.search(rb"Number of Names = (\d+)", data).group(1))
    table = int(re.search(rb"Header Size = (\d+)", data).group(1))
    return path, collections.Counter(
        struct.unpack_from("<H", data, table + 27 * i + 19)[0] for i in range(names))


def share(values, test):
    return round(sum(1 for v in values if test(v)) / len(values), 2)


with tempfile.TemporaryDirectory() as work:
    _, types = generate(f"{work}/mix", "-n", "2000", "-p", "1")  # the layout ignores -p
    mix = [round(types[t] / 2000, 3) for t in (80, 84, 88, 261)]
    check(f"about 70 % loops, 15 % stations, 10 % traps, 5 % meters: {mix}",
          all(abs(got - want) < 0.025 for got, want in zip(mix, (0.70, 0.15, 0.10, 0.05))))
    day, types = generate(f"{work}/a", "-n", "150", "-s", "3")
    out = f"{work}/a/"
    run = subprocess.run([korva2csv, "-E", "-T", f"-I{out}", f"-O{out}", f"-F{out}"],
                         capture_output=True, text=True)
    log = "".join(open(out + f).read() for f in os.listdir(out) if f.startswith("CSVLog"))
    traps = types[88]
    check(f"the same seed, the same bytes; read without a warning, each of the {traps} traps "
          "finding its lane and speed lane",
          filecmp.cmp(day, generate(f"{work}/b", "-n", "150", "-s", "3")[0], shallow=False)
          and run.returncode == 0 and not re.search(r"^\s+W ", run.stdout, re.M)
          and f"Processed [{traps}] Traps into [{traps}] _x Lanes and Sx Lanes [{traps}]" in log)

    # Every quarter of the day busy: few empty periods, many two- and three-digit readings; trap
    # speeds of queues and of free flow.
    with open(f"{out}KORVA20Sec_Element_05012021.csv") as f:
        loops = [(int(r[-1][11:13]) // 6, int(r[2]), int(r[4]))
                 for r in (line.split(",") for line in list(f)[1:]) if r[1] == "1"]
    figures = [[share(at, lambda v: v[0] == 0), share(at, lambda v: v[0] >= 10), share(at, lambda v: v[1] >= 100)]
               for at in ([(v, s) for q, v, s in loops if q == quarter] for quarter in range(4))]
    with open(f"{out}KORVA20Sec_Trap_05012021.csv") as f:
        speeds = [float(line.split(",")[2]) for line in list(f)[1:]]
    check(f"each 6 hours: shares of empty periods, volumes from 10, scan counts from 100 {figures}; "
          "trap speeds below 30 and above 60", all(e < 0.1 and v > 0.1 and s > 0.4 for e, v, s in figures)
          and share(speeds, lambda s: 0 < s < 30) > 0.02 and share(speeds, lambda s: s > 60) > 0.3)

print(f"{failures} check(s) failed")
sys.exit(failures > 0)
