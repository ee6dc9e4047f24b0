#!/usr/bin/python3
# The pages of korva2csv-plot opened in headless Chromium: a sample archive of two days with
# faults converted by korva2csv-archive --report; the index and each day's page load from disk
# with every picture drawn, every link inside the archive resolving, the index linking each day,
# the tables and totals holding what the reports say, and no error on the console. Screenshots
# at phone (390 px) and desktop (1280 px) widths go into SCREENSHOT_DIR.
#
# usage: pages_test.py KORVA2CSV KORVA_SAMPLE ARCHIVE_SCRIPT SCREENSHOT_DIR
# (77: Chromium, GNU parallel, pandas or matplotlib missing)
#

import base64
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from checks import check, finish, need

(pd,) = need("python3-pandas python3-matplotlib", "pandas")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class Browser:
    # One page of headless Chromium, driven by the DevTools protocol over its pipe (fd 3 in,
    # fd 4 out, messages ended by NUL).

    def __init__(self, profile):
        down, self.up = os.pipe(), os.pipe()
        self.process = subprocess.Popen(
            ["bash", "-c", f'exec "$0" "$@" 3<&{down[0]} 4>&{self.up[1]}', CHROMIUM,
             "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--hide-scrollbars", f"--user-data-dir={profile}", "--remote-debugging-pipe"],
            pass_fds=(down[0], self.up[1]), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(down[0])
        os.close(self.up[1])
        self.out, self.buffer, self.next_id, self.events, self.session = down[1], b"", 0, [], None
        target = self.send("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    def receive(self):
        while b"\0" not in self.buffer:
            chunk = os.read(self.up[0], 1 << 20)
            self.buffer += chunk or sys.exit("FAIL - Chromium closed its DevTools pipe")
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params, "sessionId": self.session}
        os.write(self.out, json.dumps({k: v for k, v in message.items() if v}).encode() + b"\0")
        while (answer := self.receive()).get("id") != self.next_id:
            self.events.append(answer)
        return answer["result"] if "error" not in answer else sys.exit(f"FAIL - {method}: {answer['error']}")

    def wait(self, method):
        while not any(e.get("method") == method for e in self.events):
            self.events.append(self.receive())


# What the page tells of itself: its pictures, links, tables and totals.
SURVEY = """JSON.stringify({
  images: [...document.images].map(i => ({src: i.getAttribute('src'), alt: i.alt, width: i.naturalWidth})),
  links: [...document.querySelectorAll('a[href]')].map(a => a.getAttribute('href')),
  tables: [...document.querySelectorAll('table')].map(t => ({caption: t.caption ? t.caption.textContent : '',
    rows: [...t.tBodies[0].rows].map(r => [...r.cells].map(c => c.textContent)),
    heads: [...t.querySelectorAll('th')].every(h => h.hasAttribute('scope'))})),
  totals: [...document.querySelectorAll('dl.totals dd')].map(d => d.textContent),
  lang: document.documentElement.lang, width: document.documentElement.scrollWidth, viewport: window.innerWidth})"""


def open_page(tools, path, width):
    tools.send("Emulation.setDeviceMetricsOverride", width=width, height=900,
               deviceScaleFactor=1, mobile=width < 600)
    tools.events.clear()
    tools.send("Page.navigate", url=path.as_uri())
    tools.wait("Page.loadEventFired")
    # Lazy pictures load when asked to: every one is made eager and waited for.
    tools.send("Runtime.evaluate", awaitPromise=True, expression="Promise.all([...document."
               "images].map(i => { i.loading = 'eager'; return i.complete ? 0 : new Promise("
               "r => { i.onload = i.onerror = r; }); }))")
    seen = json.loads(tools.send("Runtime.evaluate", expression=SURVEY,
                                 returnByValue=True)["result"]["value"])
    # What the console said: a resource that failed to load, a script's error or exception.
    seen["errors"] = [e["params"] for e in tools.events if e.get("method") == "Runtime.exceptionThrown"
                      or e.get("method") == "Log.entryAdded" and e["params"]["entry"]["level"] == "error"
                      or e.get("method") == "Runtime.consoleAPICalled" and e["params"]["type"] == "error"]
    return seen


def main():
    if len(sys.argv) != 5:
        raise SystemExit("usage: pages_test.py KORVA2CSV KORVA_SAMPLE ARCHIVE_SCRIPT SCREENSHOT_DIR")
    korva2csv, korva_sample, archive_script, shots = sys.argv[1:]
    missing = [name for name, there in (("chromium", CHROMIUM),
                                        ("parallel", shutil.which("parallel"))) if not there]
    if missing:
        print(f"{', '.join(missing)} missing: apt-get install {' '.join(missing)}")
        return 1 if os.environ.get("CI") else 77
    shots = Path(shots)
    shots.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="korva-pages-") as temp:
        temp = Path(temp)
        subprocess.run([korva_sample, "-n", "200", "-p", "4320", "-d", "2", "-D", "05/03/2021",
                        "--faults", str(temp / "in")], check=True, capture_output=True)
        lists = sorted((temp / "in").glob("*LST*"))
        result = subprocess.run([archive_script, "--report", "-L", "--aggregate=15",
                                 "--health", "--corridors", f"--cabinets={lists[0]}",
                                 str(temp / "in"), str(temp / "out")],
                                env={**os.environ, "KORVA2CSV": korva2csv},
                                capture_output=True, text=True)
        index = temp / "out" / "index.html"
        days = sorted((temp / "out").glob("date=*/source=*"))
        pages = [index] + sorted((temp / "out" / "pages").glob("*/index.html"))
        check(result.returncode == 0 and len(days) == 2 and len(pages) == 3,
              "korva2csv-archive --report writes the index and a page per day",
              f"{result.stdout}{result.stderr}{pages}")
        (temp / "profile").mkdir()
        tools = Browser(temp / "profile")
        try:
            for domain in ("Page", "Log", "Runtime"):
                tools.send(f"{domain}.enable")
            vmt = {}
            for page in pages[::-1]:  # the days before the index, which shows their totals
                name = "index" if page == index else page.parent.name
                for width in (390, 1280):
                    seen = open_page(tools, page, width)
                    shot = tools.send("Page.captureScreenshot", captureBeyondViewport=True)
                    (shots / f"{name}-{width}.png").write_bytes(base64.b64decode(shot["data"]))
                    broken = [i["src"] for i in seen["images"] if not i["width"] or not i["alt"]]
                    check(seen["images"] and not broken and seen["lang"] == "en"
                          and all(t["heads"] for t in seen["tables"])
                          and seen["width"] <= seen["viewport"] and not seen["errors"],
                          f"{name} at {width} px: pictures drawn with alt texts, th scope, lang, "
                          "no page wider than the screen, no console error",
                          f"{broken} {seen['width']}/{seen['viewport']} {seen['errors'][:2]}")
                links = [link for link in seen["links"] if not re.match(r"[a-z]+:", link)]
                dead = [link for link in links if not (page.parent / link.split("#")[0]).is_file()]
                check(links and not dead, f"{name}: every link resolves", dead)
                if page == index:
                    rows = seen["tables"][0]["rows"]
                    check([(r[0], r[1], r[2]) for r in rows] ==
                          [(d.parent.name[5:], d.name[7:], vmt[d]) for d in days]
                          and {str(p.relative_to(index.parent)) for p in pages[1:]} <= set(links),
                          "index: a row per day in date order with its VMT, linking its page", rows)
                    continue
                folder = next(d for d in days if d.name[7:] in page.parent.name)
                health, corridor = (pd.read_csv(next(folder.glob(glob)), dtype=str,
                                                keep_default_na=False)
                                    for glob in ("KORVA20Sec_Health_*", "KORVA15Min_Corridor_*"))
                tables = {t["caption"]: t["rows"] for t in seen["tables"]}
                bad = health[health["status"] != "good"]
                shown = tables.get(f"{len(bad)} of {len(health)} detectors not good", [])
                check(sorted((r[0], r[2]) for r in shown) ==
                      sorted(zip(bad["name"].str.strip(), bad["status"])),
                      f"{name}: the detectors not good, each with its status", shown[:3])
                measures = tables.get("Corridor measures of the day", [])
                want = corridor.groupby(["roadway", "side"])["vmt"].apply(
                    lambda v: f"{v.astype(float).sum():,.0f}")
                got = {(r[0].rsplit(" ", 1)[0], r[1]): r[4] for r in measures}
                vmt[folder] = f"{corridor['vmt'].astype(float).sum():,.0f}"
                check(got == want.to_dict() and seen["totals"][:1] == [vmt[folder]]
                      and seen["totals"][4] == f"{len(bad)} of {len(health)}",
                      f"{name}: a corridor row per corridor of the report with its VMT; the "
                      "day's VMT and detectors not good", f"{got} {want.to_dict()} {seen['totals']}")
        finally:
            tools.process.terminate()
            tools.process.wait(timeout=30)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
