#!/usr/bin/python3
# programs/korva2csv-plot on a sample weekday of 2000 periods with faults: the contour and network
# data, the pictures, bad input; joined to the cabinet list, the corridor figures against the
# corridor report, the miles axis, hatches, incident marks, arrows, outages and the week view.
# usage: plot_test.py KORVA2CSV KORVA_SAMPLE KORVA2CSV_PLOT   (77: pandas or matplotlib missing)

import contextlib
import gzip
import io
import re
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
    # A summary of STATION: a bin per start, every period observed.
    pd.DataFrame({"name": STATION, "bin_start": [s.strftime("%Y-%m-%d %H:%M:%S") for s in starts],
                  "periods": periods, "observed": periods, "volume": 10, "occupancy_pct": 5.0,
                  "speed_mph": speeds}).to_csv(path, index=False)


def drawn(plot, *argv):
    # plot.main's status and the figures it saved, by path.
    figures, real_save = {}, plot.save
    plot.save = lambda figure, path: (real_save(figure, path), figures.update({path: figure}))
    with contextlib.redirect_stdout(io.StringIO()):
        status = plot.main([str(a) for a in argv])
    plot.save = real_save
    return status, figures


def main():
    if len(sys.argv) != 4:
        raise SystemExit("usage: plot_test.py KORVA2CSV KORVA_SAMPLE KORVA2CSV_PLOT")
    korva2csv, korva_sample, script = sys.argv[1:]
    plot = SourceFileLoader("korva2csv_plot", script).load_module()
    with tempfile.TemporaryDirectory(prefix="korva-plot-") as temp:
        temp = Path(temp)
        legacy, joined = temp / "legacy", temp / "joined"
        common = (f"-I{temp / 'in'}", f"-F{temp}")
        legacy.mkdir(), joined.mkdir()
        for args in ((korva_sample, "-n", 200, "-p", 2000, "-D", "05/04/2021", "--faults", temp / "in"),
                     (korva2csv, "--aggregate=15", f"-O{legacy}", *common),
                     (korva2csv, "-M", f"-O{legacy}", *common),
                     (korva2csv, "-L", "--aggregate=15", "--health", "--corridors",
                      f"--cabinets={temp / 'in' / 'CABINETS_20210504.LST'}", f"-O{joined}", *common)):
            if run(*args).returncode != 0:
                raise SystemExit(f"FAIL - {args} failed")
        summary_path, legacy_path = legacy / "KORVA15Min_Element_05042021.csv", legacy / "RMDC_05_04_2021.CSV"
        summary = plot.read_summary(str(summary_path))
        summary.loc[summary.index[::7], "observed"] = 0  # a speed of no observed period is none
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
            names = sorted(n for c in contours for n in c.stations["name"])
            check(not wrong and (stations["observed"] == 0).any()
                  and all(c.stations["milepost"].dropna().is_monotonic_increasing for c in contours)
                  and names == sorted(stations["name"].unique()) and len(contours[0].bins) == 96
                  and contours[0].bins[0] == pd.Timestamp("2021-05-04")
                  and np.isnan(contours[0].matrix[:, 45:]).all(),
                  f"{measure}: every cell the summary's {column} or NaN, rows by milepost, each "
                  "station in one plot, 96 bins of the day, NaN past the file", wrong)
        # The network: the stations' volume and every device's share of observed periods per bin.
        (day, network), by_bin = plot.network_data(summary)[0], summary.groupby("bin_start")
        check(network["volume"].dropna().astype("int64").equals(stations.groupby("bin_start")["volume"].sum()
                                                                .rename_axis(None))
              and np.allclose(network["observed_share"].dropna(), by_bin["observed"].sum() / by_bin["periods"].sum())
              and len(network) == 96 and network["observed_share"][45:].isna().all(),
              "network: stations' volume and observed share per bin, NaN past the file")

        # The command: a picture per roadway and side, the unlisted stations (the first cabinet
        # left out of the list) in a picture of their own, the network picture; sizes fixed
        # (width and height are the first two fields of the PNG's IHDR chunk).
        lines = legacy_path.read_text().splitlines(keepends=True)
        short, out = temp / "short.CSV", temp / "png"
        short.write_text("".join(lines[:1] + lines[2:]))
        result = run(script, summary_path, short, out)
        contours = plot.contour_data(summary, plot.read_cabinets(str(short)))
        want = {plot.contour_file_name(c) for c in contours} | {"2021-05-04_network.png"}
        unlisted = [c for c in contours if c.roadway is None]
        sizes = {p.name: struct.unpack(">II", p.read_bytes()[16:24]) for p in out.iterdir()}
        check(result.returncode == 0 and set(sizes) == want and len(unlisted) == 1
              and "2021-05-04_unlisted_speed.png" in want
              and {n[:10].strip() for n in unlisted[0].stations["name"]} == {lines[1][:10].strip()}
              and all(size == ((1600, 800) if name.endswith("network.png") else (1600, 900))
                      for name, size in sizes.items()),
              "a picture per roadway and side, the cabinet left out unlisted, the network; "
              "1600x900, network 1600x800", f"{result.returncode} {result.stderr} {sizes}")

        # An empty day and bad input: status, a one-line message, no picture.
        (temp / "empty.csv").write_text(summary_path.read_text().splitlines()[0] + "\n")
        write_summary(temp / "overfull.csv", [pd.Timestamp("2021-05-04")], 4500, 60.0)
        write_summary(temp / "last-day.csv", [pd.Timestamp("2262-04-11 12:00")], 45, 60.0)
        packed = gzip.compress(summary_path.read_bytes())
        (temp / "cut.csv.gz").write_bytes(packed[:len(packed) // 2])
        (temp / "garbage.zst").write_bytes(b"\x28\xb5\x2f\xfd not zstd")
        for what, summary_file, cabinet_file, status, message in (
                ("an empty day", "empty.csv", legacy_path, 0, "no plot written"),
                ("a missing file", "none.csv", legacy_path, 1, "none.csv"),
                ("one bin of more periods than a day", "overfull.csv", legacy_path, 1, "4500 periods"),
                ("a day past 2262-04-11", "last-day.csv", legacy_path, 1, "2262-04-11"),
                ("a cut .gz summary", "cut.csv.gz", legacy_path, 1, "cut.csv.gz"),
                ("a garbage .zst summary", "garbage.zst", legacy_path, 1, "garbage.zst"),
                ("a garbage .zst cabinet CSV", summary_path, temp / "garbage.zst", 1, "garbage.zst")):
            folder = temp / what.replace(" ", "_")
            result = run(script, temp / summary_file, cabinet_file, folder)
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
        status, figures = drawn(plot, temp / "jam.csv", legacy_path, temp / "jam")
        path = str(temp / "jam" / "2021-05-04_unlisted_speed.png")
        pixels, axes = image.imread(path), figures[path].axes[0]
        at = [axes.transData.transform((hour, 0)) for hour in (6.2, 9, 11.8, 1, 5.8, 12.2, 22)]
        colours = [pixels[int(pixels.shape[0] - y), int(x), :3] for x, y in at]
        check(status == 0 and all(r > 0.6 and b < 0.3 for r, _, b in colours[:3])
              and all(b > r + 0.3 for r, _, b in colours[3:]),
              "speed colours: a jam red, free flow blue", colours)

        # The reports of a run joined to the cabinet list: the summary's own cabinet columns give
        # the corridors of the cabinet CSV; the health, corridor and lane reports beside it.
        joined_path = joined / "KORVA15Min_Element_05042021.csv"
        summary_j, cabinets_j, health, corridors, incidents = plot.day_inputs(str(joined_path))
        from_list = {(c.roadway, c.side): c for c in plot.contour_data(summary_j, cabinets)}
        contours = plot.contour_data(summary_j, cabinets_j, "speed", health, incidents, corridors)
        check(health is not None and corridors is not None and incidents is not None
              and {(c.roadway, c.side) for c in contours} == set(from_list) and all(
                  c.stations[["name", "milepost"]].equals(
                      from_list[c.roadway, c.side].stations[["name", "milepost"]]) for c in contours),
              "the summary's cabinet columns give the corridors the cabinet CSV gives")

        # The day's corridor figures computed from the summary agree with the corridor report
        # within what the speed's rounding to 0.1 mph moves them.
        report = corridors.groupby(["roadway", "side"])[plot.CORRIDOR_SUMS].sum()
        off = []
        for c in (c for c in contours if (c.roadway, c.side) in report.index):
            mine = plot.corridor_totals(rows=plot.join_cabinets(plot.stations_of(summary_j)[
                lambda f: (f["roadway"] == c.roadway) & (f["side"] == c.side)], cabinets_j))
            theirs = report.loc[(c.roadway, c.side)]
            off += [(c.roadway, c.side, k, mine[k], theirs[k]) for k in plot.CORRIDOR_SUMS
                    if abs(mine[k] - theirs[k]) > 0.5 + 0.01 * theirs[k]]
            off += [] if c.totals["source"] == "report" else [(c.roadway, c.side, "source")]
        check(len(report) > 0 and not off, "corridor VMT, VHT, delays from the summary as in the corridor report", off)

        # The miles axis: each station's row holds its milepost and reaches half way to its
        # neighbours, at most a mile; gaps only between stations more than two miles apart.
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
        # incident marks at the bins with a code, each in the legend; the ticks at the mileposts.
        status, figures = drawn(plot, "--html", joined_path, temp / "marks")
        status_of = dict(zip(health["name"], health["status"]))
        lanes = incidents.assign(station=incidents["name"].map(lambda n: n[:17] + "0"),
                                 bin=incidents["collection_time"].dt.floor("15min"))
        hatch_wrong, marks_wrong, ticks_wrong, legends = [], [], [], {}
        for c in contours:
            axes = figures[str(temp / "marks" / plot.contour_file_name(c))].axes[0]
            labels = legends[c.roadway, c.side] = {t.get_text() for t in axes.get_legend().get_texts()}
            hatched = sorted((p.get_gid()[7:], round(p.get_y(), 6), round(p.get_y() + p.get_height(), 6),
                              bool(p.get_hatch()))
                             for p in axes.patches if (p.get_gid() or "").startswith("health:"))
            want = sorted((status_of[n], round(lo, 6), round(hi, 6), True) for n, lo, hi in zip(
                c.stations["name"], c.stations["low"], c.stations["high"])
                if status_of.get(n, "good") != "good")
            if hatched != want or not {f"health: {s}" for s, *_ in want} <= labels:
                hatch_wrong.append((c.roadway, c.side, hatched, want, labels))
            middle = dict(zip(c.stations["name"], (c.stations["low"] + c.stations["high"]) / 2))
            mine = lanes[lanes["station"].isin(middle) & lanes["bin"].isin(c.bins)]
            want = {(round(((b - c.day) / pd.Timedelta(hours=1)) + 0.125, 6), round(middle[s], 6))
                    for s, b in zip(mine["station"], mine["bin"])}
            got = {(round(x, 6), round(y, 6)) for col in axes.collections
                   if col.get_gid() == "incidents" for x, y in col.get_offsets()}
            if got != want or bool(want) != ("incident code reported" in labels):
                marks_wrong.append((c.roadway, c.side, len(got), len(want)))
            placed = set(c.stations["milepost"].dropna().round(6))
            if c.roadway is not None and not {round(t, 6) for t in axes.get_yticks()} <= placed:
                ticks_wrong.append((c.roadway, c.side))
        check(status == 0 and not hatch_wrong and any(
                  s not in ("good", "") for c in contours for s in c.stations["status"]),
              "a hatch exactly at each station not good, by its status, in the legend",
              hatch_wrong[:2])
        check(not marks_wrong and len(lanes) > 0, "incident marks at the bins with a code, in legend", marks_wrong)
        check(not ticks_wrong, "row labels at the mileposts", ticks_wrong)
        # Every side, on a corridor of two stations: the arrow's way along the milepost axis.
        sides = {"N": 1, "E": 1, "S": -1, "W": -1, "n": 1, "X": None, "": None}
        pd.DataFrame([{"name": f"{side}side{k:04d}:_MN___0", "bin_start": "2021-05-04 00:00:00",
                       "periods": 45, "observed": 45, "volume": 10, "occupancy_pct": 5.0,
                       "speed_mph": 60.0, "kind": "station", "roadway": "I-1", "side": side,
                       "milepost": f"{k}.00", "location": "AT MAIN ST"}
                      for side in sides for k in (1, 2)]).to_csv(temp / "sides.csv", index=False)
        arrows = {Path(path).name.split("_")[2]: [
            int(np.sign(a.xy[1] - a.xyann[1])) for a in figure.axes[0].texts
            if a.get_gid() == "travel"] or [None] for path, figure in
            drawn(plot, temp / "sides.csv", temp / "sides")[1].items() if "network" not in path}
        check(arrows == {plot.safe_part(side, "noside"): [way] for side, way in sides.items()},
              "the arrow per side: N, E towards rising mileposts, S, W falling, none else", arrows)

        # Outages: a cabinet made silent for four bins is found there, with its neighbours in
        # time, and named under the network picture by its number, times and name.
        cut = summary_j.copy()
        cabinet = cut["name"].str[:10].str.strip()
        quiet = sorted(set(cabinet) - {c for o in plot.outages(cut)[pd.Timestamp("2021-05-04")][0]
                                       for c in o.cabinets})[0]
        cut.loc[(cabinet == quiet) & cut["bin_start"].between("2021-05-04 02:30",
                                                              "2021-05-04 03:15"), "observed"] = 0
        found, all_day = plot.outages(cut)[pd.Timestamp("2021-05-04")]
        ours = [o for o in found if quiet in o.cabinets]
        check(len(ours) == 1 and ours[0].start <= pd.Timestamp("2021-05-04 02:30")
              and ours[0].end >= pd.Timestamp("2021-05-04 03:30") and quiet not in all_day,
              f"an outage made by hand ({quiet}, 02:30-03:30) is found", ours)
        cut.to_csv(temp / "cut.csv", index=False)
        network = drawn(plot, temp / "cut.csv", temp / "cut")[1][str(temp / "cut" / "2021-05-04_network.png")]
        at = found.index(ours[0]) + 1
        notes = " ".join(t.get_text() for a in network.axes for t in a.texts)
        check(re.search(fr"(^|\s){at}\. {ours[0].start:%H:%M}-{ours[0].end:%H:%M} .*\b{quiet}\b", notes)
              and any(p.get_gid() == f"outage:{at}" for a in network.axes for p in a.patches),
              f"the network picture marks outage {at} and names its cabinets", notes)

        # The week view of one corridor (of the summaries alone: no hatches, no marks): a panel
        # per day in day order, each legend entry once.
        week = pd.read_csv(joined_path, dtype=str, keep_default_na=False)
        week["bin_start"] = (pd.to_datetime(week["bin_start"]) + pd.Timedelta(days=1)).astype(str)
        week.to_csv(temp / "next-day.csv", index=False)
        road = next(c.roadway for c in contours if c.side == "E" and c.roadway)
        status, figures = drawn(plot, f"--week={road},E", temp / "next-day.csv", joined_path, temp / "week")
        name = str(temp / "week" / f"2021-05-04_2021-05-05_{plot.safe_part(road, '')}_E_speed_week.png")
        figure = figures.get(name)
        check(status == 0 and list(figures) == [name]
              and [a.get_title() for a in figure.axes if a.get_title()] == ["Tue 2021-05-04", "Wed 2021-05-05"]
              and sorted(t.get_text() for t in figure.legends[0].get_texts()) == sorted(
                  k for k in legends[road, "E"] if not k.startswith(("health", "incident"))),
              f"week view of {road} E: its name, the days in order, the day's legend entries once",
              list(figures))

        # A day in one bin (--aggregate=1440) draws.
        write_summary(temp / "one-bin.csv", starts[:1], 4320, 60.0)
        result = run(script, temp / "one-bin.csv", legacy_path, temp / "one-bin")
        check(result.returncode == 0 and len(list((temp / "one-bin").glob("*.png"))) == 2,
              "a day in one bin: the station's picture and the network", result.stderr)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
