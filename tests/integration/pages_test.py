#!/usr/bin/python3
"""The pages of korva2csv-plot opened in headless Chromium: a sample archive of two days with
faults converted by korva2csv-archive --report; the index and each day's page load from disk
with every picture drawn, every link inside the archive resolving, the tables holding the rows
of the reports they show, and no console error. Screenshots at phone (390 px) and desktop
(1280 px) widths go into SCREENSHOT_DIR.

usage: pages_test.py KORVA2CSV KORVA_SAMPLE ARCHIVE_SCRIPT SCREENSHOT_DIR
(77: Chromium, GNU parallel, pandas or matplotlib missing)
"""

import base64
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from pathlib import Path

from checks import check, finish, need

(pd,) = need("python3-pandas python3-matplotlib", "pandas")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class DevTools:
    """Chrome DevTools protocol over a WebSocket to one page (text frames, client frames
    masked, as RFC 6455 says)."""

    def __init__(self, url):
        parts = urllib.parse.urlparse(url)
        self.sock = socket.create_connection((parts.hostname, parts.port), timeout=60)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {parts.path} HTTP/1.1\r\nHost: {parts.netloc}\r\n"
                           "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                           f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n")
                          .encode())
        answer = b""
        while b"\r\n\r\n" not in answer:
            answer += self.sock.recv(1)
        if b" 101 " not in answer.split(b"\r\n")[0]:
            raise RuntimeError(f"no WebSocket: {answer[:80]!r}")
        self.next_id, self.events = 0, []

    def read(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise RuntimeError("DevTools closed the connection")
            data += chunk
        return data

    def send(self, method, **params):
        self.next_id += 1
        payload = json.dumps({"id": self.next_id, "method": method, "params": params}).encode()
        size = len(payload)
        head = bytes([0x81]) + (bytes([0x80 | size]) if size < 126 else
                                bytes([0x80 | 126]) + struct.pack(">H", size) if size < 65536
                                else bytes([0x80 | 127]) + struct.pack(">Q", size))
        mask = os.urandom(4)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
        while True:
            message = self.receive()
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def receive(self):
        data = b""
        while True:
            first, second = self.read(2)
            size = second & 0x7F
            if size == 126:
                size = struct.unpack(">H", self.read(2))[0]
            elif size == 127:
                size = struct.unpack(">Q", self.read(8))[0]
            data += self.read(size)
            if first & 0x80:  # the last fragment
                return json.loads(data)

    def wait(self, method, seconds=60):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for i, event in enumerate(self.events):
                if event.get("method") == method:
                    return self.events.pop(i)
            self.events.append(self.receive())
        raise RuntimeError(f"no {method} within {seconds} s")


# What the page tells of itself: its pictures, links and tables.
SURVEY = """JSON.stringify({
  images: [...document.images].map(i => ({src: i.getAttribute('src'), alt: i.alt,
           width: i.naturalWidth, complete: i.complete})),
  links: [...document.querySelectorAll('a[href]')].map(a => a.getAttribute('href')),
  tables: [...document.querySelectorAll('table')].map(t => ({
           caption: t.caption ? t.caption.textContent : '',
           rows: [...t.tBodies[0].rows].map(r => [...r.cells].map(c => c.textContent)),
           heads: [...t.querySelectorAll('th')].every(h => h.hasAttribute('scope'))})),
  lang: document.documentElement.lang,
  width: document.documentElement.scrollWidth, viewport: window.innerWidth})"""


def open_page(tools, path, width):
    tools.send("Emulation.setDeviceMetricsOverride", width=width, height=900,
               deviceScaleFactor=1, mobile=width < 600)
    tools.send("Page.navigate", url=path.as_uri())
    tools.wait("Page.loadEventFired")
    # Lazy pictures load when scrolled to: every one is brought into view once.
    tools.send("Runtime.evaluate", expression="document.querySelectorAll('img').forEach(i => "
               "{ i.loading = 'eager'; })", awaitPromise=False)
    tools.send("Runtime.evaluate", awaitPromise=True, expression="Promise.all([...document."
               "images].map(i => i.complete ? 0 : new Promise(r => { i.onload = i.onerror = r; "
               "})))")
    return json.loads(tools.send("Runtime.evaluate", expression=SURVEY,
                                 returnByValue=True)["result"]["value"])


def screenshot(tools, path):
    shot = tools.send("Page.captureScreenshot", format="png", captureBeyondViewport=True)
    path.write_bytes(base64.b64decode(shot["data"]))


def main():
    if len(sys.argv) != 5:
        raise SystemExit(__doc__)
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
        check(result.returncode == 0 and index.is_file(), "korva2csv-archive --report writes "
              "the index", result.stdout + result.stderr)
        days = sorted((temp / "out").glob("date=*/source=*"))
        pages = [index] + sorted((temp / "out" / "pages").glob("*/index.html"))
        check(len(pages) == len(days) + 1 and len(days) == 2, "a page per day", pages)
        profile = temp / "profile"
        profile.mkdir()
        browser = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--hide-scrollbars", f"--user-data-dir={profile}",
             "--remote-debugging-port=0", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            port = None
            for line in browser.stderr:
                found = re.search(r"DevTools listening on ws://127\.0\.0\.1:(\d+)/", line)
                if found:
                    port = found.group(1)
                    break
            if port is None:
                raise SystemExit("FAIL - Chromium did not start its DevTools")
            targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list"))
            target = next(t for t in targets if t["type"] == "page")
            tools = DevTools(target["webSocketDebuggerUrl"])
            for domain in ("Page", "Runtime", "Log"):
                tools.send(f"{domain}.enable")
            for page in pages:
                name = "index" if page == index else page.parent.name
                for width in (390, 1280):
                    tools.events.clear()
                    seen = open_page(tools, page, width)
                    screenshot(tools, shots / f"{name}-{width}.png")
                    errors = [e for e in tools.events if
                              e.get("method") == "Runtime.exceptionThrown" or
                              (e.get("method") == "Runtime.consoleAPICalled"
                               and e["params"]["type"] == "error") or
                              (e.get("method") == "Log.entryAdded"
                               and e["params"]["entry"]["level"] == "error")]
                    broken = [i["src"] for i in seen["images"] if not i["width"] or not i["alt"]]
                    check(seen["images"] and not broken and not errors and seen["lang"] == "en"
                          and all(t["heads"] for t in seen["tables"])
                          and seen["width"] <= seen["viewport"],
                          f"{name} at {width} px: pictures drawn with alt texts, th scope, lang, "
                          "no console error, no page wider than the screen",
                          f"{broken} {errors[:2]} {seen['width']}/{seen['viewport']}")
                links = [l for l in seen["links"] if not re.match(r"[a-z]+:", l)]
                dead = [l for l in links if not (page.parent / l.split("#")[0]).is_file()]
                check(links and not dead, f"{name}: every link resolves", dead)
                if page == index:
                    rows = seen["tables"][0]["rows"]
                    check([r[0] for r in rows] == [d.parent.name[5:] for d in days]
                          and [r[1] for r in rows] == [d.name[7:] for d in days],
                          "index: a row per day, in date order", rows)
                    continue
                folder = next(d for d in days if d.name[7:] in page.parent.name)
                health = pd.read_csv(next(folder.glob("KORVA20Sec_Health_*")), dtype=str,
                                     keep_default_na=False)
                corridor = pd.read_csv(next(folder.glob("KORVA15Min_Corridor_*")), dtype=str,
                                       keep_default_na=False)
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
                check(got == want.to_dict(), f"{name}: a corridor row per corridor of the "
                      "report, with its VMT", f"{got} {want.to_dict()}")
        finally:
            browser.terminate()
            browser.wait(timeout=30)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
