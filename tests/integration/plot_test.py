#!/usr/bin/python3
"""programs/korva2csv-plot on a sample weekday of 2000 periods with faults: the contour and network
data against the summary, the pictures, an empty day and bad input; with the reports of a run
joined to its cabinet list, the corridor figures against the corridor report, the miles axis,
the hatches of the stations not good, the incident marks, the arrow per side and the outages.

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

        # The reports of a run joined to the cabinet list: the summary's own cabinet columns,
        # the health, corridor and lane reports beside it.
        joined = temp / "joined"
        joined.mkdir()
        lists = sorted((temp / "in").glob("*LST*"))
        if run(korva2csv, "-L", "--aggregate=15", "--health", "--corridors",
               f"--cabinets={lists[0]}", f"-O{joined}", *common).returncode != 0:
            raise SystemExit("FAIL - the joined run failed")
        joined_path = joined / "KORVA15Min_Element_05042021.csv"
        inputs = plot.day_inputs(str(joined_path))
        summary_j, cabinets_j, health, corridors, incidents = inputs
        from_list = {(c.roadway, c.side): c for c in plot.contour_data(summary_j, cabinets)}
        contours = plot.contour_data(summary_j, cabinets_j, "speed", health, incidents, corridors)
        check(health is not None and corridors is not None and incidents is not None
              and {(c.roadway, c.side) for c in contours} == set(from_list) and all(
                  c.stations[["name", "milepost"]].equals(from_list[c.roadway, c.side]
                                                          .stations[["name", "milepost"]])
                  for c in contours),
              "the summary's cabinet columns give the corridors the cabinet CSV gives")

        # The day's corridor figures computed from the summary agree with the corridor report
        # within what the speed's rounding to 0.1 mph moves them.
        report = corridors.groupby(["roadway", "side"])[plot.CORRIDOR_SUMS].sum()
        off = []
        for c in contours:
            if c.roadway is None or (c.roadway, c.side) not in report.index:
                continue
            mine = plot.corridor_totals(rows=plot.join_cabinets(plot.stations_of(summary_j)[
                lambda f: (f["roadway"] == c.roadway) & (f["side"] == c.side)], cabinets_j))
            off += [(c.roadway, c.side, k, mine[k], report.loc[(c.roadway, c.side), k])
                    for k in plot.CORRIDOR_SUMS
                    if abs(mine[k] - report.loc[(c.roadway, c.side), k])
                    > 0.5 + 0.01 * report.loc[(c.roadway, c.side), k]]
        check(len(report) > 0 and not off and all(
                  c.totals["source"] == "report" for c in contours
                  if (c.roadway, c.side) in report.index),
              "corridor VMT, VHT, delays from the summary agree with the corridor report", off)

        # The miles axis: each station's row holds its milepost and reaches half way to its
        # neighbours, at most a mile; the ticks stand at mileposts.
        def rows_at_mileposts(c):
            s = c.stations[c.stations["milepost"].notna()]
            mp, low, high = (s[k].to_numpy() for k in ("milepost", "low", "high"))
            half = np.minimum(np.diff(mp) / 2, plot.MAX_REACH_MI)
            return (np.allclose(high[:-1], mp[:-1] + half) and np.allclose(low[1:], mp[1:] - half)
                    and (low <= mp).all() and (mp <= high).all())
        listed = [c for c in contours if c.roadway is not None]
        check(listed and all(rows_at_mileposts(c) for c in listed)
              and any((np.diff(c.stations["milepost"].dropna()) > 2).any() for c in listed) is
              any((c.stations["low"].to_numpy()[1:] - c.stations["high"].to_numpy()[:-1]
                   > 1e-9).any() for c in listed),
              "miles axis: rows half way to the neighbours, at most a mile; gaps beyond")

        # The drawn marks, read from the figures: the hatches at the stations not good, the
        # incident marks at the bins with a code, the arrow along the direction of travel, the
        # ticks at the mileposts.
        figures = {}
        plot.save = lambda figure, path: (real_save(figure, path), figures.update({path: figure}))
        with contextlib.redirect_stdout(io.StringIO()):
            status = plot.main(["--html", str(joined_path), str(temp / "marks")])
        plot.save = real_save
        status_of = dict(zip(health["name"], health["status"]))
        lanes = incidents.assign(station=incidents["name"].map(lambda n: n[:17] + "0"),
                                 bin=incidents["collection_time"].dt.floor("15min"))
        hatch_wrong, marks_wrong, arrows, ticks_wrong = [], [], {}, []
        for c in contours:
            axes = figures[str(temp / "marks" / plot.contour_file_name(c))].axes[0]
            drawn = sorted((p.get_gid()[7:], round(p.get_y(), 6), round(p.get_y() + p.get_height(), 6))
                           for p in axes.patches if (p.get_gid() or "").startswith("health:"))
            want = sorted((status_of[n], round(lo, 6), round(hi, 6))
                          for n, lo, hi in zip(c.stations["name"], c.stations["low"],
                                               c.stations["high"])
                          if status_of.get(n, "good") != "good")
            if drawn != want:
                hatch_wrong.append((c.roadway, c.side, drawn, want))
            middle = dict(zip(c.stations["name"], (c.stations["low"] + c.stations["high"]) / 2))
            mine = lanes[lanes["station"].isin(middle) & lanes["bin"].isin(c.bins)]
            want = {(round(((b - c.day) / pd.Timedelta(hours=1)) + 0.125, 6),
                     round(middle[s], 6)) for s, b in zip(mine["station"], mine["bin"])}
            got = {(round(x, 6), round(y, 6)) for col in axes.collections
                   if col.get_gid() == "incidents" for x, y in col.get_offsets()}
            if got != want:
                marks_wrong.append((c.roadway, c.side, len(got), len(want)))
            arrow = [a for a in axes.texts if a.get_gid() == "travel"]
            arrows[c.side] = [np.sign(a.xy[1] - a.xyann[1]) for a in arrow]
            placed = set(c.stations["milepost"].dropna().round(6))
            if c.roadway is not None and not {round(t, 6) for t in axes.get_yticks()} <= placed:
                ticks_wrong.append((c.roadway, c.side))
        check(status == 0 and not hatch_wrong and any(
                  s not in ("good", "") for c in contours for s in c.stations["status"]),
              "a hatch exactly at each station not good, by its status", hatch_wrong[:2])
        check(not marks_wrong and len(lanes) > 0, "incident marks at the bins with a code",
              marks_wrong)
        check(arrows.get("E") == [1] and arrows.get("W") == [-1] and arrows.get("") == [],
              "the sample's arrows: E up, W down, none for a blank side", arrows)
        # Every side, on a corridor of two stations: the arrow's way along the milepost axis.
        sides = {"N": 1, "E": 1, "S": -1, "W": -1, "n": 1, "X": None}
        rows = [{"name": f"{side}side{k:04d}:_MN___0", "bin_start": "2021-05-04 00:00:00",
                 "periods": 45, "observed": 45, "volume": 10, "occupancy_pct": 5.0,
                 "speed_mph": 60.0, "kind": "station", "roadway": "I-1", "side": side,
                 "milepost": f"{k}.00", "location": "AT MAIN ST"}
                for side in sides for k in (1, 2)]
        pd.DataFrame(rows).to_csv(temp / "sides.csv", index=False)
        figures.clear()
        plot.save = lambda figure, path: figures.update({path: figure})
        with contextlib.redirect_stdout(io.StringIO()):
            plot.main([str(temp / "sides.csv"), str(temp / "sides")])
        plot.save = real_save
        drawn = {}
        for path, figure in figures.items():
            if path.endswith("network.png"):
                continue
            side = Path(path).name.split("_")[2]
            drawn[side] = [int(np.sign(a.xy[1] - a.xyann[1])) for a in figure.axes[0].texts
                           if a.get_gid() == "travel"] or [None]
        check(drawn == {side: [way] for side, way in sides.items()},
              "the arrow per side: N, E towards rising mileposts, S, W falling, none else", drawn)
        check(not ticks_wrong, "row labels at the mileposts", ticks_wrong)

        # Outages: a cabinet made silent for four bins is found there, with its neighbours in
        # time; every cabinet of an outage is silent throughout its own run.
        cut = summary_j.copy()
        cabinet = cut["name"].str[:10].str.strip()
        quiet = sorted(set(cabinet) - {c for o in plot.outages(cut)[pd.Timestamp("2021-05-04")][0]
                                       for c in o.cabinets})[0]
        span = (cabinet == quiet) & cut["bin_start"].between("2021-05-04 02:30", "2021-05-04 03:15")
        cut.loc[span, "observed"] = 0
        found, all_day = plot.outages(cut)[pd.Timestamp("2021-05-04")]
        ours = [o for o in found if quiet in o.cabinets]
        check(len(ours) == 1 and ours[0].start <= pd.Timestamp("2021-05-04 02:30")
              and ours[0].end >= pd.Timestamp("2021-05-04 03:30") and quiet not in all_day,
              f"an outage made by hand ({quiet}, 02:30-03:30) is found", ours)

        # A day in one bin (--aggregate=1440) draws.
        write_summary(temp / "one-bin.csv", starts[:1], 4320, 60.0)
        result = run(script, temp / "one-bin.csv", legacy_path, temp / "one-bin")
        check(result.returncode == 0 and len(list((temp / "one-bin").glob("*.png"))) == 2,
              "a day in one bin: the station's picture and the network", result.stderr)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
