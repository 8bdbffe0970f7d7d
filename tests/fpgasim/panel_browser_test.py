#!/usr/bin/python3
"""The live board panel in a real browser (headless chromium through
selenium): the page follows a program that drives the board, the page's
inputs reach a program that reads the board through the library, a page
of another origin in the same browser cannot set inputs, and a simulator
file cut short is shown on the page until it is whole again.

Usage: panel_browser_test.py --fpgasim F --camsel C --probe P [--screenshot FILE]
"""
import argparse
import functools
import http.server
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import zlib

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

# The fill colour of each camera's tiles in the board picture.
CAMERA_COLOURS = [
    (0xD6, 0x27, 0x28), (0x1F, 0x77, 0xB4), (0x2C, 0xA0, 0x2C), (0xFF, 0x7F, 0x0E),
    (0x94, 0x67, 0xBD), (0x17, 0xBE, 0xCF), (0x8C, 0x56, 0x4B), (0xE3, 0x77, 0xC2),
    (0xBC, 0xBD, 0x22), (0x39, 0x3B, 0x79), (0x63, 0x79, 0x39), (0x7B, 0x41, 0x73),
    (0xE7, 0xBA, 0x52), (0x6B, 0x6E, 0xCF), (0xAD, 0x49, 0x4A), (0x17, 0x80, 0x6D),
]
# Where the picture puts output 0's screen and the recording selection.
SCREEN_X, SCREEN_Y = 20, 60
RECORD_X, RECORD_Y = 20, 636
# Generous: waits end as soon as the page shows what is awaited.
PATIENCE = 60


def decode_png(data):
    """8-bit RGB or RGBA PNG (as a browser's screenshot) -> (width, rows of pixel tuples)."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, idat, width, height, channels = 8, b"", 0, 0, 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0, "unexpected PNG form"
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, prev = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(line)
        prev = line
    return width, channels, rows


class Page:
    def __init__(self, driver):
        self.driver = driver

    def text(self, element_id):
        # Read in the page in one step: the page may redraw between a
        # look-up and a read from here.
        return self.driver.execute_script(
            "const e = document.getElementById(arguments[0]); return e ? e.textContent : null;", element_id)

    def wait(self, what, condition):
        try:
            return WebDriverWait(self.driver, PATIENCE, poll_frequency=0.05).until(lambda d: condition())
        except Exception:
            raise AssertionError("the page never showed " + what)

    def picture_pixels(self, points):
        """The screenshot's colours at points given in board-picture coordinates."""
        img = self.driver.find_element(By.ID, "board")
        left = self.driver.execute_script("return arguments[0].getBoundingClientRect().left;", img)
        top = self.driver.execute_script("return arguments[0].getBoundingClientRect().top;", img)
        width, channels, rows = decode_png(self.driver.get_screenshot_as_png())
        out = []
        for x, y in points:
            px, py = int(left) + x, int(top) + y
            line = rows[py]
            out.append(tuple(line[px * channels:px * channels + 3]))
        return out

    def picture_current(self):
        """True once the picture shown is the one of the page's last board version."""
        return self.driver.execute_script(
            "const i = document.getElementById('board');"
            "return i.complete && i.naturalWidth > 0 && document.body.dataset.version !== undefined &&"
            " i.src.endsWith('?v=' + document.body.dataset.version);")


# A page of another origin that tries what any page may do without the
# browser asking first: a no-cors fetch with a text/plain body and an
# auto-submitted form, both posting alarm inputs to the panel. The title
# says when both have been answered.
HOSTILE_PAGE = """<!DOCTYPE html>
<html><body>
<iframe name="sink" id="sink"></iframe>
<form id="form" method="POST" target="sink" action="%(panel)sapi/input">
<input type="hidden" name="name" value="alarm"><input type="hidden" name="mask" value="0x0F00">
</form>
<script>
let fetched = false, posted = false, submitted = false;
function check() { if (fetched && posted) document.title = "sent"; }
fetch("%(panel)sapi/input?name=alarm&mask=0x00F0",
      {method: "POST", mode: "no-cors", headers: {"Content-Type": "text/plain"}, body: "name=alarm&mask=0x00F0"})
  .catch(() => null).then(() => { fetched = true; check(); });
document.getElementById("sink").addEventListener("load", () => { if (submitted) { posted = true; check(); } });
submitted = true;
document.getElementById("form").submit();
</script>
</body></html>
"""


def run(argv, env):
    r = subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
    if r.returncode != 0:
        raise AssertionError("%s failed (%d): %s%s" % (" ".join(argv), r.returncode, r.stdout, r.stderr))
    return r.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--fpgasim", required=True)
    ap.add_argument("--camsel", required=True)
    ap.add_argument("--probe", required=True)
    ap.add_argument("--screenshot", help="keep the screenshot after fpga_init and the 3x3 layout here")
    args = ap.parse_args()

    tmp = tempfile.mkdtemp(prefix="panel-browser-")
    server = driver = hostile = None
    try:
        sim = os.path.join(tmp, "board.sim")
        env = dict(os.environ, DVRPLAT_FPGA_SIM=sim)
        run([args.probe, "alarm"], env)  # a fresh board file, as the library makes it
        server = subprocess.Popen([args.fpgasim, "--sim", sim, "serve", "--port", "0"],
                                  stdout=subprocess.PIPE, text=True)
        line = server.stdout.readline()
        m = re.search(r"(http://127\.0\.0\.1:\d+/)", line)
        assert m, "the server printed no address on loopback: %r" % line
        url = m.group(1)

        opts = Options()
        opts.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                  "--force-device-scale-factor=1", "--window-size=1600,1400",
                  "--user-data-dir=" + os.path.join(tmp, "profile")):
            opts.add_argument(a)
        driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                                  options=opts)
        page = Page(driver)
        driver.get(url)
        page.wait("the board", lambda: "no paths" in page.text("tiles-0"))

        # A program sets up the display: the page follows without a reload.
        run([args.probe, "init3x3"], env)
        page.wait("the 3x3 layout", lambda: "camera 8 3x3" in page.text("tiles-0"))
        page.wait("the new picture", page.picture_current)
        if args.screenshot:
            driver.save_screenshot(args.screenshot)
        # A tile's fill is its camera's colour: path p of a 3x3 layout shows
        # camera p at column p % 3, row p // 3 of 240 x 160 pixel tiles
        # (sampled near the bottom-right corner, clear of the labels).
        tiles = [(0, 0), (4, 4), (8, 8)]
        points = [(SCREEN_X + (p % 3) * 240 + 226, SCREEN_Y + (p // 3) * 160 + 146) for p, _ in tiles]
        got = page.picture_pixels(points)
        for (p, cam), colour in zip(tiles, got):
            assert colour == CAMERA_COLOURS[cam], "tile %d shows %s, camera %d is %s" % (
                p, colour, cam, CAMERA_COLOURS[cam])

        # The camera-selection command changes the recording selection.
        rec = lambda: [page.text("rec-cam-%d" % p) for p in range(16)]
        assert rec() == ["0"] * 16, rec()
        run([args.camsel, "-m", "3"], env)
        mode3 = [str(c) for c in (1, 1, 1, 1, 5, 5, 5, 5, 9, 9, 9, 9, 13, 13, 13, 13)]
        page.wait("the recording selection of mode 3", lambda: rec() == mode3)
        page.wait("the new picture", page.picture_current)
        boxes = [0, 5, 15]
        got = page.picture_pixels([(RECORD_X + (p % 4) * 56 + 46, RECORD_Y + (p // 4) * 26 + 11) for p in boxes])
        for p, colour in zip(boxes, got):
            cam = int(mode3[p])
            assert colour == CAMERA_COLOURS[cam], "recording position %d shows %s, camera %d is %s" % (
                p, colour, cam, CAMERA_COLOURS[cam])

        # A page of another origin (another port) posts alarm inputs: the
        # panel takes none of them.
        site = os.path.join(tmp, "site")
        os.mkdir(site)
        with open(os.path.join(site, "hostile.html"), "w") as f:
            f.write(HOSTILE_PAGE % {"panel": url})
        hostile = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(http.server.SimpleHTTPRequestHandler, directory=site))
        threading.Thread(target=hostile.serve_forever, daemon=True).start()
        driver.get("http://127.0.0.1:%d/hostile.html" % hostile.server_address[1])
        Page(driver).wait("the hostile page's requests answered", lambda: driver.title == "sent")
        alarm = int(run([args.probe, "alarm"], env).strip(), 16)
        assert alarm == 0xFFFF0000, "a page of another origin set alarm inputs: 0x%08X" % alarm
        driver.get(url)
        page.wait("the board", lambda: "camera 8 3x3" in page.text("tiles-0"))

        # Alarm input 5 from the page, read back through the library.
        driver.find_element(By.ID, "alarm-5").click()
        page.wait("alarm input 5 on", lambda: driver.execute_script(
            "return document.getElementById('alarm-5').classList.contains('on');"))
        alarm = int(run([args.probe, "alarm"], env).strip(), 16)
        assert alarm == 0xFFFF0020, "the library reads alarm inputs 0x%08X" % alarm  # bits 16-31 always set

        # A key held on the page is a key map for fpga_read_keymap once
        # debounced; let go, the key is released.
        key = driver.find_element(By.ID, "key-32-6")
        ActionChains(driver).click_and_hold(key).perform()
        page.wait("key 0x32 bit 6 down", lambda: page.text("keymap").startswith("0xFFFFBFFFFFFFFFFF"))
        got = run([args.probe, "keymap"], env).split()[0]
        assert got == "0xFFFFBFFFFFFFFFFF", "fpga_read_keymap returned " + got
        ActionChains(driver).release().perform()
        page.wait("every key up", lambda: "(no key)" in page.text("keymap"))
        show = run([args.fpgasim, "--sim", sim, "show"], env)
        assert "key registers  0xFFFFFFFFFFFFFFFF (no key)" in show, show

        # A loaded font: the text cell shows its glyph's bitmap, a
        # checkerboard, not the character's shape.
        run([args.probe, "font"], env)
        page.wait("the text written", lambda: "|  F" in page.text("text"))
        page.wait("the new picture", page.picture_current)
        x, y = SCREEN_X + 2 * 16, SCREEN_Y + 1 * 16
        lit, dark, lit_below = page.picture_pixels([(x, y), (x + 1, y), (x + 1, y + 1)])
        assert dark == (0, 0, 0), "an unlit glyph pixel shows %s" % (dark,)
        assert lit != (0, 0, 0) and lit == lit_below, "lit glyph pixels show %s and %s" % (lit, lit_below)

        # The file cut short under the panel: the page says so until a
        # program opens the board again (which makes the file whole).
        with open(sim, "r+b") as f:
            f.truncate(0)
        page.wait("the file is not a board file",
                  lambda: page.text("problem") == "the simulator file is not a board file")
        run([args.probe, "alarm"], env)
        page.wait("the board again", lambda: page.text("problem") == "")
        assert server.poll() is None, "the panel ended (%s)" % server.returncode

        print("panel browser test: passed")
        return 0
    finally:
        if driver is not None:
            driver.quit()
        if hostile is not None:
            hostile.shutdown()
        if server is not None:
            server.terminate()
            server.wait(timeout=30)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
