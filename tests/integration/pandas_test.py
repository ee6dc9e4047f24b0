#!/usr/bin/python3
# Reads the reports of reports.sh with the Python blocks of docs/reports.md: documented dtypes
# and every row; compressed and --clean reports give the same frames; summarise_element gives the
# summary; the documented refusals.
# usage: pandas_test.py KORVA2CSV KORVA_SAMPLE   (77: pandas or zstandard missing, unless CI is set)

import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
DOCS = HERE.parent.parent / "docs" / "reports.md"

from checks import check, finish, need

# zstandard: what pandas reads .zst reports with.
pd, _ = need("python3-pandas python3-zstandard", "pandas", "zstandard")


def refused(read, path, what):
    try:
        check(read(path) is None, what, "read without an error")
    except ValueError:
        check(True, what)


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: pandas_test.py KORVA2CSV KORVA_SAMPLE")
    blocks = re.findall(r"^```python\n(.*?)^```", DOCS.read_text(), re.S | re.M)
    docs = {}
    exec(compile("\n".join(blocks), f"<python blocks of {DOCS}>", "exec"), docs)
    table = [line.split() for line in (HERE / "reports.tsv").read_text().splitlines()
             if line and not line.startswith("#")]
    with tempfile.TemporaryDirectory(prefix="korva-pandas-") as temp:
        temp = Path(temp)
        if subprocess.run(["bash", HERE / "reports.sh", *sys.argv[1:], temp]).returncode:
            return 1
        plain = {}
        for folder in ("plain", "variants", "empty", "gzip", "zstd", "clean"):
            for pattern, kind, reader, above, below in table:
                for path in sorted((temp / folder).glob(pattern)):
                    name = f"{folder}/{path.name}"
                    if folder in ("gzip", "zstd"):
                        check(docs[reader](path).equals(plain[kind]), f"{name}: the plain frame")
                        continue
                    if folder == "clean":
                        # Plain read_csv as docs/reports.md shows it: the documented names, dtypes
                        # of the documented kinds and the legacy report's values.
                        frame, want = pd.read_csv(path, **(
                            {"parse_dates": ["collection_time"]} if kind in ("element", "lane", "trap")
                            else {"dtype": {"address": "string"}} if kind == "cabinet" else {})), plain[kind]
                        kinds = [(a.kind, b.kind) for a, b in zip(frame.dtypes, want.dtypes)]
                        check(list(frame.columns) == list(want.columns)
                              and all(a == b for a, b in kinds)
                              and frame.astype(want.dtypes.to_dict()).equals(want),
                              f"{name}: names, dtype kinds and values of the legacy report", kinds)
                        continue
                    frame = docs[reader](path)
                    columns = docs[f"{kind.upper()}_COLUMNS"]
                    want = {n: "datetime64[ns]" if t == "time" else t for n, t in columns.values()}
                    dtypes = {n: str(t) for n, t in frame.dtypes.items()}
                    lines = path.read_text().splitlines()[int(above):-int(below) or None]
                    check(dtypes == want and len(frame) == len(lines),
                          f"{name}: documented dtypes, {len(lines)} rows", f"{dtypes} {len(frame)}")
                    if folder == "plain":
                        plain[kind] = frame

        periods = list(pd.date_range("2021-05-01", periods=360, freq="20s"))
        check(all(list(plain[k]["collection_time"].drop_duplicates()) == periods
                  for k in ("element", "lane", "trap")),
              "element, lane, trap: the 360 periods of 2021-05-01 in time order, month first")
        summary = pd.read_csv(temp / "plain" / "KORVA15Min_Element_05012021.csv",
                              parse_dates=["bin_start"])
        recomputed = docs["summarise_element"](plain["element"], 15)
        check(recomputed.equals(summary[list(recomputed.columns)]),
              "summarise_element of the element report: the 15-minute summary")
        corridor = docs["read_corridor"](temp / "plain" / "KORVA15Min_Corridor_05012021.csv")
        check(len(corridor) > 0 and str(corridor["bin_start"].dtype) == "datetime64[ns]"
              and (corridor["covered_mi"] <= corridor["length_mi"] + 1e-9).all()
              and (corridor["travel_time_min"].isna()
                   | (corridor["covered_mi"] >= corridor["length_mi"] - 1e-9)).all(),
              "read_corridor: times, a travel time only where every station has a speed")
        health = docs["read_health"](temp / "plain" / "KORVA20Sec_Health_05012021.csv")
        check(len(health) > 0 and str(health["lanes_not_good"].dtype) == "Int64"
              and health["lanes_not_good"].isna().sum() == (health["kind"] != "station").sum(),
              "read_health: nullable counts, lanes_not_good empty but for stations")

        # Files the documented loaders refuse rather than misread: a cabinet whose side is a
        # comma (written unchanged) past the first row; a count beyond int16.
        text = next((temp / "in").glob("*.LST")).read_text().splitlines(keepends=True)
        at = [i for i, line in enumerate(text) if line[3:5] == "es"][2]
        text[at] = text[at][:44] + "," + text[at][45:]
        folder = temp / "comma"
        folder.mkdir()
        (folder / "CABINETS.LST").write_text("".join(text))
        subprocess.run([sys.argv[1], "-M", f"-I{folder}", f"-O{folder}", f"-F{folder}"],
                       stdout=subprocess.DEVNULL)
        refused(docs["read_cabinets"], folder / "RMDC_05_01_2021.CSV",
                "cabinet CSV with a comma in a later cabinet's side refused")
        lines = (temp / "plain" / "KORVA20Sec_Trap_05012021.csv").read_text().splitlines()
        fields = lines[1].split(",")
        fields[4] = "40000"  # bin1 beyond int16
        (temp / "wide.csv").write_text(f"{lines[0]}\n{','.join(fields)}\n")
        refused(docs["read_trap"], temp / "wide.csv", "a count beyond its dtype refused, not wrapped")
    return finish()


if __name__ == "__main__":
    sys.exit(main())
