#!/usr/bin/python3
"""Reads every report of a sample day with the pandas code that docs/reports.md documents.

usage: pandas_test.py KORVA2CSV KORVA_SAMPLE

Runs the Python blocks of docs/reports.md as they stand, then reads the reports of a sample day
(all four data reports, their -S/-C/-R variants, header-only -D reports and the cabinet CSV) and
checks dtypes, row counts, sums against the numbers in the files' own text, timestamps and a few
values across reports; the reports written with --compress=gzip and --compress=zstd read as the
same frames, and those written with --clean read with plain pd.read_csv into the same values.
Exits 77 (skipped) when pandas or zstandard is missing, unless CI is set.
"""

import os
import re
import subprocess
import sys
import tempfile
from decimal import Decimal
from pathlib import Path

HERE = Path(__file__).resolve().parent
DOCS = HERE.parent.parent / "docs" / "reports.md"
DAY = "05012021"
PERIODS = 360
DEVICES = 60

try:
    import pandas as pd
    import zstandard  # noqa: F401 -- what pandas reads .zst reports with
except ImportError as missing:
    print(f"{missing.name} is missing: apt-get install python3-pandas python3-zstandard")
    sys.exit(1 if os.environ.get("CI") else 77)

passed = 0
failed = 0


def check(ok, what, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print(f"ok   - {what}")
    else:
        failed += 1
        print(f"FAIL - {what}{': ' + str(detail) if detail else ''}")
    return ok


def documented_code():
    """The Python blocks of docs/reports.md, run in one namespace."""
    blocks = re.findall(r"^```python\n(.*?)^```", DOCS.read_text(), re.S | re.M)
    namespace = {}
    exec(compile("\n".join(blocks), f"<python blocks of {DOCS}>", "exec"), namespace)
    return namespace


def run(*args):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        print(result.stdout)
        raise SystemExit(f"FAIL - {' '.join(args)} exited {result.returncode}")
    return result.stdout


def data_lines(path, skip_first=0, skip_last=0):
    """The lines of a report below its header, as the converter wrote them."""
    lines = path.read_text().splitlines()
    return lines[1 + skip_first:len(lines) - skip_last]


def text_sum(lines, index):
    fields = (line.split(",")[index] for line in lines)
    return sum(Decimal(field) for field in fields if field)


def expected_dtypes(columns):
    return {name: ("datetime64[ns]" if dtype == "time" else dtype)
            for name, dtype in columns.values()}


def check_frame(frame, path, columns, lines, numeric_fields):
    """Dtypes as documented, one row per data line, and column sums equal to the text's."""
    dtypes = {name: str(dtype) for name, dtype in frame.dtypes.items()}
    check(dtypes == expected_dtypes(columns), f"{path.name}: dtypes as documented", dtypes)
    check(len(frame) == len(lines), f"{path.name}: {len(lines)} rows", len(frame))
    names = [name for name, dtype in columns.values()]
    wrong = {}
    for index in numeric_fields:
        want = text_sum(lines, index)
        got = Decimal(str(round(float(frame[names[index]].sum()), 2)))
        if got != want:
            wrong[names[index]] = f"{got}, text {want}"
    check(not wrong, f"{path.name}: sums of {len(numeric_fields)} number columns as in the text",
          wrong)


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    korva2csv, korva_sample = sys.argv[1], sys.argv[2]
    docs = documented_code()
    print(f"pandas {pd.__version__}; code of {DOCS}")

    with tempfile.TemporaryDirectory(prefix="korva-pandas-") as temp:
        temp = Path(temp)
        archive, log = temp / "in", temp / "log"
        plain, variants, empty = temp / "plain", temp / "variants", temp / "empty"
        for folder in (log, plain, variants, empty):
            folder.mkdir()
        run(korva_sample, "-n", str(DEVICES), "-p", str(PERIODS), "-d", "1", str(archive))
        common = [f"-I{archive}", f"-F{log}"]
        run(korva2csv, "-E", "-L", "-T", "-A", f"-O{plain}", *common)
        run(korva2csv, "-M", f"-O{plain}", *common)
        run(korva2csv, "-E", "-L", "-T", "-A", "-S", "-C", "-R", f"-O{variants}", *common)
        run(korva2csv, "-E", "-L", "-T", "-A", "-D417es99999:_MW___1", f"-O{empty}", *common)

        # Plain reports: every column read with its documented dtype and summed as in the text.
        element_path = plain / f"KORVA20Sec_Element_{DAY}.csv"
        lane_path = plain / f"KORVA20Sec_Lane_{DAY}.csv"
        trap_path = plain / f"KORVA20Sec_Trap_{DAY}.csv"
        content_path = plain / f"KORVA20Sec_Content_{DAY}.csv"
        cabinet_path = plain / "RMDC_05_01_2021.CSV"
        element = docs["read_element"](element_path)
        lane = docs["read_lane"](lane_path)
        trap = docs["read_trap"](trap_path)
        content = docs["read_content"](content_path)
        cabinets = docs["read_cabinets"](cabinet_path)
        check_frame(element, element_path, docs["ELEMENT_COLUMNS"], data_lines(element_path),
                    range(1, 22))
        check_frame(lane, lane_path, docs["LANE_COLUMNS"], data_lines(lane_path),
                    range(2, 9))
        check_frame(trap, trap_path, docs["TRAP_COLUMNS"], data_lines(trap_path), range(2, 10))
        check_frame(content, content_path, docs["CONTENT_COLUMNS"],
                    data_lines(content_path, skip_first=1, skip_last=1), [1])
        check_frame(cabinets, cabinet_path, docs["CABINET_COLUMNS"], data_lines(cabinet_path),
                    [5, 7, 8, 9, 10, 11])

        # Compressed reports: the same functions read them by their names' suffix (.gz, .zst)
        # into the frames of the plain reports.
        frames = ((element_path, element, "read_element"), (lane_path, lane, "read_lane"),
                  (trap_path, trap, "read_trap"), (content_path, content, "read_content"),
                  (cabinet_path, cabinets, "read_cabinets"))
        for compression, suffix in (("gzip", ".gz"), ("zstd", ".zst")):
            packed = temp / compression
            packed.mkdir()
            option = f"--compress={compression}"
            run(korva2csv, "-E", "-L", "-T", "-A", option, f"-O{packed}", *common)
            run(korva2csv, "-M", option, f"-O{packed}", *common)
            check(sorted(p.name for p in packed.iterdir())
                  == sorted(path.name + suffix for path, _, _ in frames),
                  f"{option}: every report named with {suffix}",
                  sorted(p.name for p in packed.iterdir()))
            for path, frame, reader in frames:
                name = path.name + suffix
                check(docs[reader](packed / name).equals(frame),
                      f"{name}: the frame of {path.name}")

        # Clean reports (--clean): plain read_csv, as docs/reports.md shows it, gives the
        # documented column names, dtypes of the documented kinds and the values of the legacy
        # report read by the documented function.
        clean = temp / "clean"
        clean.mkdir()
        run(korva2csv, "-E", "-L", "-T", "-A", "--clean", f"-O{clean}", *common)
        run(korva2csv, "-M", "--clean", f"-O{clean}", *common)
        for path, frame, reader in frames:
            name = f"{clean.name}/{path.name}"
            options = ({"parse_dates": ["collection_time"]} if "collection_time" in frame
                       else {"dtype": {"address": "string"}} if reader == "read_cabinets"
                       else {})
            read = pd.read_csv(clean / path.name, **options)
            if not check(list(read.columns) == list(frame.columns),
                         f"{name}: documented column names", list(read.columns)):
                continue
            kinds = [(str(a), str(b)) for a, b in zip(read.dtypes, frame.dtypes)
                     if a.kind != b.kind]
            if check(not kinds, f"{name}: dtypes of the documented kinds", kinds):
                check(read.astype(frame.dtypes.to_dict()).equals(frame),
                      f"{name}: the values of {path.name}")

        # Collection times: every period of the sample, month first, the element report's
        # trailing blank dropped.
        for name, frame in (("element", element), ("lane", lane), ("trap", trap)):
            times = frame["collection_time"]
            check(times.notna().all() and times.nunique() == PERIODS
                  and times.min() == pd.Timestamp("2021-05-01 00:00:00")
                  and times.max() == pd.Timestamp("2021-05-01 01:59:40"),
                  f"{name}: {PERIODS} periods from 2021-05-01 00:00:00 to 01:59:40",
                  f"{times.nunique()} periods, {times.min()} to {times.max()}")
        check(len(element) == PERIODS * element["name"].nunique(),
              "element: one row per device and period")

        # The converter's own numbers: the contents counts and the log's trap count.
        lines = content_path.read_text().splitlines()
        check(lines[0] == f"Input element count = {DEVICES}", "content: input element count",
              lines[0])
        check(lines[-1] == f"Contents listed = {len(content)}", "content: rows = listed count",
              lines[-1])
        log_text = "".join(p.read_text() for p in log.iterdir())
        traps = re.search(r"Processed \[(\d+)\] Traps", log_text)
        check(traps is not None and trap["name"].nunique() == int(traps.group(1)),
              "trap: as many traps as the log counts", traps and traps.group(0))

        # Values across reports: the lane report shows the element report's measures, and
        # every lane beside a trap carries the trap's speed.
        both = lane.merge(element, on=["name", "collection_time"], suffixes=("", "_e"))
        check(len(both) == len(lane), "lane rows match element rows by name and time",
              len(both))
        check(((both["volume"] == both["volume_e"]) & (both["lanes"] == both["num_lanes"])
               & (both["speed_mph"] == both["speed_mph_e"])
               & ((both["occupancy_pct"] - both["scan_cnt"] / 12).abs() < 0.0051)).all(),
              "lane volume, lanes, speed and occupancy agree with element volume, lanes, "
              "speed and scan count / 12")
        check((element["scan_cnt_sum"] == element["num_lanes"].astype("int32")
               * element["scan_cnt"]).all(), "element ScanCntSum = NumLanes x ScanCnt")
        partner = trap.assign(name=trap["name"].str.slice_replace(16, 17, "_"))
        beside = partner.merge(lane, on=["name", "collection_time"], suffixes=("_t", ""))
        check(len(beside) > 0 and (beside["speed_mph_t"] == beside["speed_mph"]).all(),
              "lanes beside a trap carry its speed", len(beside))

        # Cabinet texts: the untrimmed name and side, the empty status, the mended comma.
        row = cabinets.set_index("device")
        check("417es2970 " in row.index, "cabinet: nine-character name keeps its blank",
              list(row.index))
        check((cabinets["side"] == " ").sum() == 1, "cabinet: blank side stays one blank")
        check(cabinets["status"].isna().sum() == 1, "cabinet: empty status is missing")
        check(row.loc["417es2970 ", "alias"] == "97-98"
              and row.loc["417es2970 ", "address"] == "0267",
              "cabinet: alias comma mended, address keeps its leading zero")

        # Variants: same columns, rows by device first with -R.
        for path in sorted(variants.iterdir()):
            kind = path.name.split("_")[1]
            reader = {"Element": "read_element", "Lane": "read_lane", "Trap": "read_trap",
                      "Content": "read_content"}[kind]
            frame = docs[reader](path)
            skip = (1, 1) if kind == "Content" else (0, 0)
            check(len(frame) == len(data_lines(path, *skip)), f"{path.name}: every row read",
                  len(frame))
            if kind in ("Lane", "Trap"):
                first = frame["name"].iloc[:PERIODS]
                check(first.nunique() == 1 and frame["collection_time"].iloc[:PERIODS].is_unique,
                      f"{path.name}: ordered by device, then by time")
        check(len(list(variants.iterdir())) == 4, "variants: four reports",
              sorted(p.name for p in variants.iterdir()))

        # Header-only reports (a device the file does not hold) read as empty frames.
        for path in sorted(empty.iterdir()):
            kind = path.name.split("_")[1]
            reader = {"Element": "read_element", "Lane": "read_lane", "Trap": "read_trap",
                      "Content": "read_content"}[kind]
            check(len(docs[reader](path)) == 0, f"{path.name}: header only, no rows")

        # Files the documented loaders must refuse rather than misread: a cabinet whose side
        # is a comma, which the converter writes unchanged, and a count beyond its dtype.
        list_path = next(archive.glob("*.LST"))
        listing = list_path.read_text().splitlines(keepends=True)
        cabinets_at = [i for i, line in enumerate(listing) if line[3:5] == "es"]
        for which, at in (("first", cabinets_at[0]), ("third", cabinets_at[2])):
            folder = temp / f"comma_{which}"
            folder.mkdir()
            text = list(listing)
            text[at] = text[at][:44] + "," + text[at][45:]
            (folder / list_path.name).write_text("".join(text))
            run(korva2csv, "-M", f"-I{folder}", f"-O{folder}", f"-F{log}")
            try:
                docs["read_cabinets"](folder / cabinet_path.name)
                check(False, f"cabinet CSV with a comma in the {which} row's Side is refused")
            except ValueError as error:
                check(True, f"cabinet CSV with a comma in the {which} row's Side is refused",
                      error)
        wide = temp / "trap_wide.csv"
        lines = trap_path.read_text().splitlines(keepends=True)
        fields = lines[1].split(",")
        fields[4] = "40000"  # bin1 beyond int16
        wide.write_text(lines[0] + ",".join(fields))
        try:
            docs["read_trap"](wide)
            check(False, "a count beyond its dtype is refused, not wrapped")
        except ValueError as error:
            check("bin1" in str(error), "a count beyond its dtype is refused, not wrapped", error)

    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
