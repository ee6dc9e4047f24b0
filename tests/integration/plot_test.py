#!/usr/bin/python3
"""programs/korva2csv-plot on a sample weekday of 2000 periods with faults: the contour and network
data against the summary, the pictures, an empty day and bad input.

usage: plot_test.py KORVA2CSV KORVA_SAMPLE KORVA2CSV_PLOT   (77: pandas or matplotlib missing)
"""

import contextlib
import gzip
import io
import struct
import subprocess
import sys
import tempfile
from importlib.machinery import SourceFileLoader
from pathlib import Path

from checks import check, finish, need

# matplotlib: what the script draws with.
np, pd, _, image = need("python3-pandas python3-matplotlib", "numpy", "pandas", "matplotlib",
                       "matplotlib.image")
STATION = "999xx00001:_MN___0"  # a station of a cabinet no list holds


def run(*args):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True)


def write_summary(path, starts, periods, speeds):
    """A summary of STATION: a bin per start, every period observed."""
    pd.DataFrame({"name": STATION, "bin_start": [s.strftime("%Y-%m-%d %H:%M:%S") for s in starts],
                  "periods": periods, "observed": periods, "volume": 10, "occupancy_pct": 5.0,
                  "speed_mph": speeds}).to_csv(path, index=False)


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    korva2csv, korva_sample, script = sys.argv[1:]
    plot = SourceFileLoader("korva2csv_plot", script).load_module()
    with tempfile.TemporaryDirectory(prefix="korva-plot-") as temp:
        temp = Path(temp)
        (temp / "legacy").mkdir()
        common = (f"-I{temp / 'in'}", f"-F{temp}")
        for args in ((korva_sample, "-n", 200, "-p", 2000, "-D", "05/04/2021", "--faults", temp / "in"),
                     (korva2csv, "--aggregate=15", f"-O{temp / 'legacy'}", *common),
                     (korva2csv, "-M", f"-O{temp / 'legacy'}", *common)):
            if run(*args).returncode != 0:
                raise SystemExit(f"FAIL - {args} failed")
        summary_path = temp / "legacy" / "KORVA15Min_Element_05042021.csv"
        summary = plot.read_summary(str(summary_path))
        summary.loc[summary.index[::7], "observed"] = 0  # a speed of no observed period is none
        legacy_path = temp / "legacy" / "RMDC_05_04_2021.CSV"
        cabinets = plot.read_cabinets(str(legacy_path))
        stations = summary[summary["name"].str.len().eq(18) & summary["name"].str.endswith("__0")]

        # The matrices: every cell the summary's value where a period was observed, NaN where
        # none was or the file holds no such bin (past its 2000 periods); rows by milepost, every
        # station in one plot.
        seen = stations[stations["observed"] > 0].set_index(["name", "bin_start"])
        for measure, column in (("speed", "speed_mph"), ("occupancy", "occupancy_pct")):
            contours = plot.contour_data(summary, cabinets, measure)
            wrong = [c.roadway for c in contours if not np.array_equal(c.matrix, seen[column].reindex(
                pd.MultiIndex.from_product([c.stations["name"], c.bins])).to_numpy().reshape(
                    c.matrix.shape), equal_nan=True)]
            check(not wrong and (stations["observed"] == 0).any(),
                  f"{measure}: every cell the summary's {column} or NaN", wrong)
            check(all(c.stations["milepost"].dropna().is_monotonic_increasing for c in contours),
                  f"{measure}: rows ordered by milepost")
            names = sorted(n for c in contours for n in c.stations["name"])
            check(names == sorted(stations["name"].unique()) and len(contours[0].bins) == 96
                  and contours[0].bins[0] == pd.Timestamp("2021-05-04")
                  and np.isnan(contours[0].matrix[:, 45:]).all(),
                  f"{measure}: each station in one plot, 96 bins of the day, NaN past the file")
        # The network: the stations' volume and every device's share of observed periods per bin.
        day, network = plot.network_data(summary)[0]
        by_bin = summary.groupby("bin_start")
        check(network["volume"].dropna().astype("int64").equals(
                  stations.groupby("bin_start")["volume"].sum().rename_axis(None))
              and np.allclose(network["observed_share"].dropna(),
                              by_bin["observed"].sum() / by_bin["periods"].sum())
              and len(network) == 96 and network["observed_share"][45:].isna().all(),
              "network: stations' volume and observed share per bin, NaN past the file")

        # The command: a picture per roadway and side, the unlisted stations (the first cabinet
        # left out of the list) in a picture of their own, the network picture; sizes fixed.
        lines = legacy_path.read_text().splitlines(keepends=True)
        short = temp / "short.CSV"
        short.write_text("".join(lines[:1] + lines[2:]))
        out = temp / "png"
        result = run(script, summary_path, short, out)
        contours = plot.contour_data(summary, plot.read_cabinets(str(short)))
        want = {plot.contour_file_name(c) for c in contours} | {"2021-05-04_network.png"}
        check(result.returncode == 0 and {p.name for p in out.iterdir()} == want,
              "a picture per roadway and side, the unlisted one, the network",
              f"{result.returncode} {result.stderr} {sorted(p.name for p in out.iterdir())}")
        unlisted = [c for c in contours if c.roadway is None]
        first = lines[1].split(",")[0].strip()
        check(len(unlisted) == 1 and "2021-05-04_unlisted_speed.png" in want and
              {n[:10].strip() for n in unlisted[0].stations["name"]} == {first},
              f"the stations of the cabinet left out ({first}) are unlisted")
        # Width and height are the first two fields of the PNG's IHDR chunk.
        sizes = {p.name: struct.unpack(">II", p.read_bytes()[16:24]) for p in out.iterdir()}
        check(all(size == ((1600, 800) if name.endswith("network.png") else (1600, 900))
                  for name, size in sizes.items()), "PNG sizes 1600x900, network 1600x800", sizes)

        # An empty day and bad input: status, a one-line message, no picture.
        header_only = temp / "empty.csv"
        header_only.write_text(summary_path.read_text().splitlines()[0] + "\n")
        write_summary(temp / "overfull.csv", [pd.Timestamp("2021-05-04")], 4500, 60.0)
        write_summary(temp / "last-day.csv", [pd.Timestamp("2262-04-11 12:00")], 45, 60.0)
        packed = gzip.compress(summary_path.read_bytes())
        (temp / "cut.csv.gz").write_bytes(packed[:len(packed) // 2])
        (temp / "garbage.zst").write_bytes(b"\x28\xb5\x2f\xfd not zstd")
        for what, args, status, message in (
                ("an empty day", (header_only, legacy_path), 0, "no plot written"),
                ("a missing file", (temp / "none.csv", legacy_path), 1, "none.csv"),
                ("one bin of more periods than a day", (temp / "overfull.csv", legacy_path), 1,
                 "4500 periods"),
                ("a day past 2262-04-11", (temp / "last-day.csv", legacy_path), 1, "2262-04-11"),
                ("a cut .gz summary", (temp / "cut.csv.gz", legacy_path), 1, "cut.csv.gz"),
                ("a garbage .zst summary", (temp / "garbage.zst", legacy_path), 1, "garbage.zst"),
                ("a garbage .zst cabinet CSV", (summary_path, temp / "garbage.zst"), 1,
                 "garbage.zst")):
            folder = temp / what.replace(" ", "_")
            result = run(script, *args, folder)
            check(result.returncode == status and result.stderr.startswith(f"{plot.PROGRAM}: ")
                  and result.stderr.count("\n") == 1 and message in result.stderr
                  and not list(folder.glob("*.png")),
                  f"{what}: status {status}, one-line message, no picture",
                  f"{result.returncode} {result.stderr}")

        # The speed colours, read from the PNG where the axes put the bins: a station slow from
        # 06:00 to 12:00 is red there and blue at free flow (RdYlBu: red low, blue high).
        starts = pd.date_range("2021-05-04", periods=96, freq="15min")
        write_summary(temp / "jam.csv", starts, 45,
                      np.where((starts.hour >= 6) & (starts.hour < 12), 8.0, 70.0))
        figures, real_save = {}, plot.save
        plot.save = lambda figure, path: (real_save(figure, path), figures.update({path: figure}))
        with contextlib.redirect_stdout(io.StringIO()):
            status = plot.main([str(temp / "jam.csv"), str(legacy_path), str(temp / "jam")])
        plot.save = real_save
        path = str(temp / "jam" / "2021-05-04_unlisted_speed.png")
        pixels, axes = image.imread(path), figures[path].axes[0]

        def colour(hour):
            x, y = axes.transData.transform((hour, 0))
            return pixels[int(pixels.shape[0] - y), int(x), :3]
        red, blue = [colour(h) for h in (6.2, 9, 11.8)], [colour(h) for h in (1, 5.8, 12.2, 22)]
        check(status == 0 and all(r > 0.6 and b < 0.3 for r, _, b in red)
              and all(b > r + 0.3 for r, _, b in blue),
              "speed colours: a jam red, free flow blue", f"{red} {blue}")

        # A day in one bin (--aggregate=1440) draws.
        write_summary(temp / "one-bin.csv", starts[:1], 4320, 60.0)
        result = run(script, temp / "one-bin.csv", legacy_path, temp / "one-bin")
        check(result.returncode == 0 and len(list((temp / "one-bin").glob("*.png"))) == 2,
              "a day in one bin: the station's picture and the network", result.stderr)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
