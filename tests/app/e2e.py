#!/usr/bin/env python3
"""End-to-end test of the window, as a new user goes through it, on a real X server (Xvfb).

A seeded picture P is cut into an overlapping left and right scan; the right one is turned
by a known small angle. The test loads both through the real open dialogs, sets the red and
blue markers with mouse clicks in the two views at the true positions of one piece of
content, fine-tunes every marker with a click into its zoom window, starts the stitch,
shows the transition zone in the result dialog and saves TIFF and JPEG through the real
save dialog. The files are then read with libtiff and libjpeg-turbo tools and compared
with P over the seam.

Coordinates: "P" is the full picture; "left" is P's columns 0..919 unchanged; "right" is
P's columns 680..1599, turned clockwise by ANGLE about its centre (ImageMagick's SRT
distortion, pixel centres at +0.5); "screen" is the root window; "zoom" is a 200 x 200
zoom window, its centre (100, 100) showing its marker.

usage: e2e.py SEAMWRIGHT WORKDIR [--docs DIR]
"""

import math
import os
import shutil
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_screen as xs  # noqa: E402
from e2e_screen import TestFailure  # noqa: E402

P_W, P_H = 1600, 1200
LEFT_W = 920            # P's columns 0 .. 919 (57.5 %)
RIGHT_X0 = 680          # the right scan starts at P column 680 and is as wide as the left
ANGLE = 0.5             # degrees, clockwise, about the right scan's centre
LEFT_DPI, RIGHT_DPI = 300, 200
ZOOM = 200              # zoom window size in pixels (scale factor 1: one image pixel each)
HALF = ZOOM // 2        # the zoom window's centre, where its marker is
RED, BLUE = b"\xff\x00\x00", b"\x00\x00\xff"
ZONE_LINE = (9, 60, 139)
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"  # fonts-dejavu-core

started = time.monotonic()


def log(text):
    print("[%5.1f s] %s" % (time.monotonic() - started, text), flush=True)


def f32(v):
    """The value as the program's float arithmetic holds it."""
    return struct.unpack("f", struct.pack("f", v))[0]


def check(condition, text):
    """A check that the walk cannot go on without."""
    if not condition:
        raise TestFailure(text)


failures = []


def expect(condition, text):
    """A check of an outcome: a failure is reported, and the walk goes on to find more."""
    if not condition:
        log("FAILED: " + text)
        failures.append(text)


# ---- The picture and the two scans ----

def make_inputs(work):
    picture = os.path.join(work, "picture.png")
    # Plasma for texture everywhere, plus hard edges and print like a scanned sheet.
    xs.run(["convert", "-size", "%dx%d" % (P_W, P_H), "-seed", "7", "plasma:fractal",
            "-fill", "none", "-stroke", "rgb(20,20,40)", "-strokewidth", "3",
            "-draw", "circle 400,400 400,250", "-draw", "rectangle 900,150 1300,500",
            "-draw", "line 100,1100 1500,700",
            "-stroke", "none", "-font", FONT, "-fill", "rgb(250,250,235)", "-pointsize", "64",
            "-draw", "text 560,640 'SEAMWRIGHT'",
            "-fill", "rgb(15,15,15)", "-pointsize", "28",
            "-draw", "text 620,900 'sheet 12 - the quick brown fox jumps over the lazy dog'",
            "-depth", "8", picture], timeout=30)
    left = os.path.join(work, "left.png")
    right = os.path.join(work, "right.tif")
    xs.run(["convert", picture, "-crop", "%dx%d+0+0" % (LEFT_W, P_H), "+repage",
            "-units", "PixelsPerInch", "-density", str(LEFT_DPI), left])
    xs.run(["convert", picture, "-crop", "%dx%d+%d+0" % (P_W - RIGHT_X0, P_H, RIGHT_X0), "+repage",
            "-virtual-pixel", "black", "-interpolate", "catrom", "-filter", "point",
            "-distort", "SRT", "%g,%g 1 %g" % ((P_W - RIGHT_X0) / 2, P_H / 2, ANGLE),
            "-alpha", "off", "-units", "PixelsPerInch", "-density", str(RIGHT_DPI),
            "-depth", "8", "-compress", "none", right])
    return picture, left, right


def p_to_right(x, y):
    """A P pixel position to the right scan's pixel position, as the distortion maps it."""
    a = math.radians(ANGLE)
    cx, cy = (P_W - RIGHT_X0) / 2, P_H / 2
    dx, dy = x - RIGHT_X0 + 0.5 - cx, y + 0.5 - cy
    return (cx + math.cos(a) * dx - math.sin(a) * dy - 0.5,
            cy + math.sin(a) * dx + math.cos(a) * dy - 0.5)


def right_to_p(x, y):
    """The inverse of p_to_right."""
    a = math.radians(ANGLE)
    cx, cy = (P_W - RIGHT_X0) / 2, P_H / 2
    dx, dy = x + 0.5 - cx, y + 0.5 - cy
    return (cx + math.cos(a) * dx + math.sin(a) * dy - 0.5 + RIGHT_X0,
            cy - math.sin(a) * dx + math.cos(a) * dy - 0.5)


def choose_markers():
    """Marker rows and the seam column in P whose places in the turned right scan lie
    within a few hundredths of whole pixels, so that the pixel positions that the stitch
    takes from the markers are the true ones on both sides."""
    def off(v):
        return abs(v - round(v))

    best = None
    for x in range(770, 851):
        red = min(range(250, 351), key=lambda y: max(map(off, p_to_right(x, y))))
        blue = min(range(850, 951), key=lambda y: max(map(off, p_to_right(x, y))))
        score = max(max(map(off, p_to_right(x, red))), max(map(off, p_to_right(x, blue))))
        if best is None or score < best[0]:
            best = (score, x, red, blue)
    score, x, red, blue = best
    check(score < 0.1, "no marker position near whole pixels (%.3f)" % score)
    return x, red, blue


# ---- The views on the screen ----

class View:
    """A marker view showing its image fitted: the rendered screen image (found by its grey
    bands) lies one frame pixel inside the widget, and a click at widget position (mx, my)
    lands on image position (mx * scale + originX, my * scale + originY)."""

    def __init__(self, bounds, width, height):
        self.x0, self.y0, x1, y1 = bounds
        self.vw, self.vh = x1 - self.x0 + 1, y1 - self.y0 + 1
        self.W, self.H = width, height
        self.scale = f32(max(f32(height / self.vh), f32(width / self.vw)))
        self.origin_x = f32(f32(width - f32(self.vw * self.scale)) * 0.5)
        self.origin_y = f32(f32(height - f32(self.vh * self.scale)) * 0.5)

    def widget_origin(self):
        return self.x0 - 1, self.y0 - 1

    def to_screen(self, ix, iy):
        """Where a marker at image position (ix, iy) is drawn: the dirty image's pixel."""
        return (self.x0 + int((ix - self.origin_x) / self.scale + 0.5),
                self.y0 + int((iy - self.origin_y) / self.scale + 0.5))

    def click_for(self, ix, iy):
        """The widget pixel nearest to image position (ix, iy), moved by up to 3 pixels to one
        that lands within a third of an image pixel of a whole pixel offset: the zoom window
        then corrects the rest by whole pixels. Returns widget (mx, my) and the image
        position that the click sets."""
        def axis(target, origin):
            ideal = round((target - origin) / self.scale)
            cands = [m for m in range(ideal - 3, ideal + 4)]
            def miss(m):
                d = f32(f32(m * self.scale) + origin) - target
                return abs(d - round(d))
            m = min(cands, key=lambda c: (miss(c), abs(c - ideal)))
            return m, f32(f32(m * self.scale) + origin)
        mx, px = axis(ix, self.origin_x)
        my, py = axis(iy, self.origin_y)
        return mx, my, px, py


def settle(work, before, timeout=5.0, need_change=True):
    """Screenshots until the screen has changed from `before` (when asked) and then stays
    the same for two shots in a row: renders run on pool threads behind 25 ms timers."""
    path = os.path.join(work, "screen.ppm")
    deadline = time.monotonic() + timeout
    last = None
    changed = not need_change
    while True:
        shot = xs.screenshot(path)
        if not changed and before is not None and shot.data != before.data:
            changed = True
        elif changed and last is not None and shot.data == last.data:
            return shot
        last = shot
        if time.monotonic() > deadline:
            raise TestFailure("the screen did not settle within %.0f s" % timeout)
        time.sleep(0.08)


def zoom_windows(shot, region):
    """The red and blue zoom windows in a screen region, by the 42-pixel boxes drawn round
    their centres (zoom pixels 80..121): top left corners of the 200 x 200 windows."""
    red = xs.hollow_squares(shot, RED, 42, region)
    blue = xs.hollow_squares(shot, BLUE, 42, region)
    check(len(red) == 1 and len(blue) == 1,
          "expected one red and one blue zoom window in %s, found %s and %s" % (region, red, blue))
    return (red[0][0] - 80, red[0][1] - 80), (blue[0][0] - 80, blue[0][1] - 80)


def locate_in_picture(shot, zoom_origin, picture, guess):
    """Where a zoom window's content lies in P: two patches, above and below the centre,
    each matched against P around the guessed P position of the window's centre (least
    squares over whole pixel shifts, then a parabola). Returns the two (x, y) estimates;
    they differ when the window shows P turned."""
    zx, zy = zoom_origin
    estimates = []
    for (pj, pi) in ((108, 8), (12, 132)):  # zoom pixels of the patch corners, clear of the marks
        pw, ph = 80, 60
        patch = shot.grey_patch(zx + pj, zy + pi, pw, ph)
        gx, gy = int(round(guess[0])), int(round(guess[1]))
        ssd = {}
        for sy in range(-3, 4):
            for sx in range(-3, 4):
                ref = picture.grey_patch(gx + sx - HALF + pj, gy + sy - HALF + pi, pw, ph)
                ssd[(sx, sy)] = sum((a - b) ** 2 for ra, rb in zip(patch, ref) for a, b in zip(ra, rb))
        bx, by = min(ssd, key=ssd.get)
        check(abs(bx) < 3 and abs(by) < 3, "zoom content not found near %s (best shift %d,%d)" % (guess, bx, by))

        def vertex(m, c, p):
            den = m - 2 * c + p
            return 0.0 if den <= 0 else 0.5 * (m - p) / den
        ex = gx + bx + vertex(ssd[(bx - 1, by)], ssd[(bx, by)], ssd[(bx + 1, by)])
        ey = gy + by + vertex(ssd[(bx, by - 1)], ssd[(bx, by)], ssd[(bx, by + 1)])
        mad = (ssd[(bx, by)] / (pw * ph)) ** 0.5
        estimates.append((ex, ey, mad))
    return estimates


def small_png(work, screen, crop, dest):
    """A screenshot for docs/: 1000 pixels wide, 256 colours. The palette holds the exact
    colours of the flat areas (view background, window, text, markers), so that only the
    pictures are dithered."""
    scaled = os.path.join(work, "docs-scaled.png")
    palette = os.path.join(work, "docs-palette.png")
    xs.run(["convert", screen] + (["-crop", "%dx%d+%d+%d" % crop, "+repage"] if crop else [])
           + ["-resize", "1000x", scaled])
    xs.run(["convert", scaled, "+dither", "-colors", "247", "-unique-colors", "-size", "1x1"]
           + ["xc:" + c for c in ("rgb(128,128,128)", "rgb(37,37,37)", "rgb(45,45,45)", "rgb(212,212,212)",
                                  "white", "black", "red", "blue", "rgb(9,60,139)")]
           + ["+append", "-unique-colors", palette])
    xs.run(["convert", scaled, "-dither", "FloydSteinberg", "-remap", palette, "-strip", "PNG8:" + dest])


# ---- The test ----

class App:
    def __init__(self, binary, work):
        env = dict(os.environ, QT_QPA_PLATFORM="xcb")
        self.log = open(os.path.join(work, "seamwright.log"), "w")
        # In the test's own process group, so that a runner that kills the group ends it too.
        self.proc = subprocess.Popen([binary], env=env, stdout=self.log, stderr=subprocess.STDOUT)

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.log.close()


def find_window(app, name, timeout):
    def probe():
        check(app.alive(), "Seamwright ended unexpectedly (exit status %s) while waiting for '%s'"
              % (app.proc.returncode, name))
        return xs.window_named(name)
    return xs.wait_for("the window '%s'" % name, probe, timeout)


def window_gone(app, name, timeout):
    xs.wait_for("the window '%s' to close" % name, lambda: xs.window_named(name) is None, timeout)


def use_file_dialog(app, title, path, timeout=10):
    """Types a path into Qt's own file dialog (its file name field has the focus) and
    accepts it with Enter."""
    dialog = find_window(app, title, timeout)
    xs.focus(dialog[0])
    xs.type_text(path)
    xs.key("Return")
    window_gone(app, title, timeout)


def bottom_buttons(shot, window):
    """Push buttons in a horizontal strip of a window: (x0, y0, x1, y1) sorted by x."""
    wid, name, x, y, w, h = window
    region = (x, y + h - 120, x + w, y + h)
    return sorted(xs.outlined_boxes(shot, region, 40, 300, 18, 34))


def load_image(app, work, button, path, side_region, label):
    xs.click((button[0] + button[2]) // 2, (button[1] + button[3]) // 2)
    use_file_dialog(app, "Open File", path)

    def shown():
        shot = xs.screenshot(os.path.join(work, "screen.ppm"))
        bounds = xs.grey_bounds(shot, *side_region, min_run=150)
        reds = xs.hollow_squares(shot, RED, 42, side_region)
        return (shot, bounds) if bounds and reds else None
    shot, bounds = xs.wait_for("the %s image in its view" % label, shown, 15)
    log("%s image shown, screen image %s" % (label, bounds))
    return bounds


def main():
    args = sys.argv[1:]
    docs = None
    if "--docs" in args:
        i = args.index("--docs")
        docs = args[i + 1]
        del args[i:i + 2]
    if len(args) != 2:
        sys.exit(__doc__)
    binary, work = os.path.abspath(args[0]), os.path.abspath(args[1])
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    picture_png, left_png, right_tif = make_inputs(work)
    picture = xs.read_image(picture_png)
    left_img = xs.read_image(left_png)
    mx_p, red_p, blue_p = choose_markers()
    left_red, left_blue = (mx_p, red_p), (mx_p, blue_p)
    right_red = tuple(round(v) for v in p_to_right(mx_p, red_p))
    right_blue = tuple(round(v) for v in p_to_right(mx_p, blue_p))
    log("inputs made; markers: left x %d, red y %d, blue y %d; right red %s, blue %s"
        % (mx_p, red_p, blue_p, right_red, right_blue))

    # The X server of xvfb-run must answer before the program connects to it: right after
    # another run's server has gone, the display can refuse connections for a moment.
    xs.wait_for("the X server", lambda: xs.run(["xdotool", "getdisplaygeometry"], check=False).strip(), 10,
                interval=0.2)
    app = App(binary, work)
    # Right after another test's X server has gone, the new one can refuse a client for a
    # moment although it answered: a program that could not connect is started again.
    for _ in range(3):
        time.sleep(1.0)
        if app.alive():
            break
        app.stop()
        with open(os.path.join(work, "seamwright.log")) as f:
            refused = "could not connect to display" in f.read()
        check(refused, "Seamwright ended at start (exit status %s)" % app.proc.returncode)
        log("the X server refused the program; starting it again")
        app = App(binary, work)
    try:
        run_window(app, work, docs, picture, left_png, right_tif,
                   left_red, left_blue, right_red, right_blue)
        # The window manager's close button: the event loop ends, the program exits cleanly.
        main_window = xs.window_named("Seamwright")
        xs.request_close(main_window[0])
        try:
            status = app.proc.wait(10)
        except subprocess.TimeoutExpired:
            raise TestFailure("Seamwright did not end within 10 s of closing its window")
        check(status == 0, "Seamwright ended with status %d after closing its window" % status)
        log("window closed, exit status 0")
    finally:
        app.stop()

    check_files(work, picture, left_img, left_red, right_red)
    if not failures:
        for name in os.listdir(work):  # the decoded copies are only worth keeping to look into a failure
            if name.endswith(".ppm"):
                os.remove(os.path.join(work, name))
    if failures:
        raise TestFailure("%d check(s) failed:\n  " % len(failures) + "\n  ".join(failures))
    log("passed")


def run_window(app, work, docs, picture, left_png, right_tif, left_red, left_blue, right_red, right_blue):
    main_window = find_window(app, "Seamwright", 15)
    sw, sh = map(int, xs.xdotool("getdisplaygeometry").split())
    # Bigger views, finer clicks: the window gets the whole screen (no window manager here).
    xs.xdotool("windowmove", "--sync", main_window[0], 0, 0)
    xs.xdotool("windowsize", "--sync", main_window[0], sw, sh)
    main_window = xs.wait_for("the resized window",
                              lambda: (lambda w: w if w and w[4] == sw and w[5] == sh else None)(
                                  xs.window_named("Seamwright")), 5)
    shot = settle(work, None, need_change=False)
    buttons = bottom_buttons(shot, main_window)
    check(len(buttons) == 3, "expected 'Load Image', 'Start Stitching', 'Load Image' at the bottom, found %s"
          % (buttons,))
    load_left, start, load_right = buttons
    half = sw // 2
    left_region = (0, 0, half, sh)
    right_region = (half, 0, sw, sh)

    # Load both scans through the open dialog.
    lb = load_image(app, work, load_left, left_png, left_region, "left")
    rb = load_image(app, work, load_right, right_tif, right_region, "right")
    left_view = View(lb, LEFT_W, P_H)
    right_view = View(rb, P_W - RIGHT_X0, P_H)
    shot = settle(work, None, need_change=False)

    # The left view draws its initial markers (x 0.5, y 0.25 and 0.75) where the fitted
    # geometry puts them: 22-pixel squares round the marker pixel.
    for colour, fy in ((RED, 0.25), (BLUE, 0.75)):
        sx, sy = left_view.to_screen(0.5 * LEFT_W, fy * P_H)
        found = xs.hollow_squares(shot, colour, 22, (left_view.x0 - 20, left_view.y0 - 20,
                                                     left_view.x0 + left_view.vw + 20, left_view.y0 + left_view.vh + 20))
        check(found == [(sx - 10, sy - 10)],
              "initial %s marker of the left view: expected its square at %s, found %s"
              % ("red" if colour == RED else "blue", (sx - 10, sy - 10), found))
    left_zooms = zoom_windows(shot, left_region)
    right_zooms = zoom_windows(shot, right_region)
    log("views: left %s scale %.4f, right %s scale %.4f; zoom windows %s %s"
        % (lb, left_view.scale, rb, right_view.scale, left_zooms, right_zooms))

    # "Find Markers" (Ctrl+M) sets all four markers on the same content: then each left zoom
    # window shows the picture of its right one (the right one turned upright), which the
    # initial markers do not. The clicks below set the markers anew.
    def zoom_difference(s):
        """Mean absolute difference of the left and right zoom windows, red and blue."""
        out = []
        for lz, rz in zip(left_zooms, right_zooms):
            total = 0
            for y in range(10, ZOOM - 10):
                a = s.row(lz[1] + y, lz[0] + 10, lz[0] + ZOOM - 10)
                b = s.row(rz[1] + y, rz[0] + 10, rz[0] + ZOOM - 10)
                total += sum(abs(p - q) for p, q in zip(a, b))
            out.append(total / ((ZOOM - 20) ** 2 * 3))
        return out

    before = zoom_difference(shot)
    xs.focus(main_window[0])
    xs.key("ctrl+m")

    # The zoom windows agree once the markers are set; the progress dialog has closed by
    # then, and the message box that follows is answered with Return.
    xs.wait_for("the markers found", lambda: max(zoom_difference(xs.screenshot(os.path.join(work, "screen.ppm"))))
                < 12, 30, interval=0.3)
    box = find_window(app, "seamwright", 10)
    xs.focus(box[0])
    xs.key("Return")
    xs.wait_for("the message box to close", lambda: xs.window_named("seamwright") is None, 10)
    shot = settle(work, None, need_change=False)
    after = zoom_difference(shot)
    log("zoom windows differ by %.1f and %.1f before 'Find Markers', %.1f and %.1f after" % (*before, *after))
    check(min(before) > 20 and max(after) < 12, "'Find Markers' did not put the zoom windows on the same content")
    log("'Find Markers' placed both pairs on the same content")
    if docs:
        small_png(work, shot.path, None, os.path.join(docs, "walkthrough-found-markers.png"))

    # Markers by mouse clicks in the views: left button red, right button blue.
    ox, oy = left_view.widget_origin()
    mx, my, lx, lry = left_view.click_for(*left_red)
    xs.click(ox + mx, oy + my, 1)
    mx, my, _, lby = left_view.click_for(*left_blue)
    xs.click(ox + mx, oy + my, 3)
    ox, oy = right_view.widget_origin()
    mx, my, rrx, rry = right_view.click_for(*right_red)
    xs.click(ox + mx, oy + my, 1)
    mx, my, rbx, rby = right_view.click_for(*right_blue)
    xs.click(ox + mx, oy + my, 3)
    shot = settle(work, shot)
    markers = {"left": [lx, lry, lby], "right": [rrx, rry, rbx, rby]}
    log("view clicks set left x %.2f red y %.2f blue y %.2f, right red (%.2f, %.2f) blue (%.2f, %.2f)"
        % (lx, lry, lby, rrx, rry, rbx, rby))

    # Fine-tuning: a click into a zoom window moves its marker by the click's offset from the
    # window centre (scale factor 1: one image pixel per window pixel); on the right the
    # offset is first turned by the marker line's angle, as the window shows the image.
    def zoom_click(origin, dx, dy):
        xs.click(origin[0] + HALF + dx, origin[1] + HALF + dy, 1)

    ex, ey = round(left_red[0] - lx), round(left_red[1] - lry)
    zoom_click(left_zooms[0], ex, ey)
    markers["left"][0] += ex
    markers["left"][1] += ey
    ey = round(left_blue[1] - lby)
    zoom_click(left_zooms[1], 0, ey)  # the blue window moves the row only
    markers["left"][2] += ey

    def right_fine_tune(index, target, origin):
        r = markers["right"]
        theta = math.atan2((r[3] - r[1]), (r[2] - r[0])) - math.pi / 2
        x, y = r[index], r[index + 1]
        c, s = math.cos(theta), math.sin(theta)
        best = None
        ux = (target[0] - x) * c + (target[1] - y) * s     # the wanted move, turned back
        uy = -(target[0] - x) * s + (target[1] - y) * c
        for dx in range(round(ux) - 1, round(ux) + 2):
            for dy in range(round(uy) - 1, round(uy) + 2):
                nx, ny = x + dx * c - dy * s, y + dx * s + dy * c
                miss = max(abs(nx - target[0]), abs(ny - target[1]))
                if best is None or miss < best[0]:
                    best = (miss, dx, dy, nx, ny)
        miss, dx, dy, nx, ny = best
        check(miss < 0.45, "no zoom click reaches %s (best miss %.2f)" % (target, miss))
        zoom_click(origin, dx, dy)
        r[index], r[index + 1] = nx, ny

    right_fine_tune(0, right_red, right_zooms[0])
    right_fine_tune(2, right_blue, right_zooms[1])
    shot = settle(work, shot)
    log("zoom clicks set left x %.2f red y %.2f blue y %.2f, right red (%.2f, %.2f) blue (%.2f, %.2f)"
        % tuple(markers["left"] + markers["right"]))
    xs.run(["convert", shot.path, os.path.join(work, "markers.png")])
    if docs:
        small_png(work, shot.path, None, os.path.join(docs, "walkthrough-markers.png"))

    # All four zoom windows now show P centred on the one piece of content that the markers
    # mark, the right ones turned upright again.
    # Where each window's centre should be in P, from the marker positions set above.
    lm, rm = markers["left"], markers["right"]
    for name, origin, target in (("left red", left_zooms[0], (lm[0], lm[1])),
                                 ("left blue", left_zooms[1], (lm[0], lm[2])),
                                 ("right red", right_zooms[0], right_to_p(rm[0], rm[1])),
                                 ("right blue", right_zooms[1], right_to_p(rm[2], rm[3]))):
        for ex, ey, mad in locate_in_picture(shot, origin, picture, target):
            log("%s zoom window shows P at (%.2f, %.2f), expected (%.2f, %.2f), rms difference %.1f"
                % (name, ex, ey, target[0], target[1], mad))
            check(abs(ex - target[0]) < 0.4 and abs(ey - target[1]) < 0.4,
                  "%s zoom window: centred on P (%.2f, %.2f), expected (%.2f, %.2f)"
                  % (name, ex, ey, target[0], target[1]))

    # Stitch and show the result.
    xs.click((start[0] + start[2]) // 2, (start[1] + start[3]) // 2)
    result = find_window(app, "Result", 60)
    log("result dialog %s" % (result[2:],))
    rx, ry, rw, rh = result[2:]

    def result_view():
        s = xs.screenshot(os.path.join(work, "screen.ppm"))
        b = xs.grey_bounds(s, rx, ry, rx + rw, ry + rh, min_run=40)
        return (s, b) if b else None
    shot, res_bounds = xs.wait_for("the stitched image in the result dialog", result_view, 15)
    shot = settle(work, shot, need_change=False)

    bx0, by0, bx1, by1 = res_bounds
    # Below the image: the buttons, the radio buttons, the scale box and the check box. The
    # stacked buttons stand 32 pixels apart: a taller box would join the edges of two.
    controls = xs.outlined_boxes(shot, (rx, by1 + 3, rx + rw, ry + rh), 40, 300, 18, 30)
    stacked = sorted(c for c in controls if any(o is not c and abs(o[0] - c[0]) <= 1 and abs(o[2] - c[2]) <= 1
                                                for o in controls))
    check(len(stacked) == 3, "expected the stacked 'Save', 'Cancel' and 'Use as Left Image' buttons, found %s"
          % (controls,))
    save_button, cancel_button, _ = sorted(stacked, key=lambda c: c[1])
    boxes = xs.outlined_boxes(shot, (save_button[2], by1 + 3, rx + rw, ry + rh), 9, 18, 9, 18)
    boxes = [b for b in boxes if abs((b[2] - b[0]) - (b[3] - b[1])) <= 2]
    check(len(boxes) == 1, "expected one check box ('Show Stitch'), found %s" % (boxes,))
    show_stitch = boxes[0]

    def zone_columns(s):
        return sorted(x for x in range(bx0, bx1 + 1)
                      if all(s.pixel(x, y) == ZONE_LINE for y in range(by0, by1 + 1, 7)))
    expect(zone_columns(shot) == [], "the result dialog opens with zone lines drawn, 'Show Stitch' is off")

    # "Show Stitch": two lines mark the transition zone, columns xL and xL + 100 of the result.
    xs.click((show_stitch[0] + show_stitch[2]) // 2, (show_stitch[1] + show_stitch[3]) // 2)
    xl = left_red[0]
    res_w = xl + (P_W - RIGHT_X0) - right_red[0]
    vw, vh = bx1 - bx0 + 1, by1 - by0 + 1
    scale = f32(max(f32(P_H / vh), f32(res_w / vw)))
    origin = f32(f32(res_w - f32(vw * scale)) * 0.5)
    expected_cols = [bx0 + math.floor((c - float(origin)) / float(scale) + 0.5) for c in (xl, xl + 100)]

    def zone_lines():
        s = xs.screenshot(os.path.join(work, "screen.ppm"))
        cols = zone_columns(s)
        return (s, cols) if cols else None
    shot, cols = xs.wait_for("the zone lines of 'Show Stitch'", zone_lines, 10)
    # A zone edge e lies where the view samples it: view column (e - originX) / scale, rounded
    # to the nearest column, with the fitted view's fractional origin (negative here: the
    # image is centred).
    expect(cols == expected_cols, "'Show Stitch' draws the zone lines at screen columns %s, expected %s "
           "(view origin %.2f, scale %.4f: zone edges %d and %d)"
           % (cols, expected_cols, origin, scale, xl, xl + 100))
    shot = settle(work, shot, need_change=False)
    log("'Show Stitch' marks columns %s of the screen" % cols)
    xs.run(["convert", shot.path, "-crop", "%dx%d+%d+%d" % (rw, rh, rx, ry), "+repage",
            os.path.join(work, "result.png")])
    if docs:
        small_png(work, shot.path, (rw, rh, rx, ry), os.path.join(docs, "walkthrough-result.png"))

    # Save twice through the save dialog: a TIFF by its suffix, then a name without one,
    # which gets the dialog's default suffix ".jpg" (a name that no file in the folder
    # starts with, so that the dialog's completer offers nothing). Each success shows a
    # message box.
    for typed, written in (("stitched.tif", "stitched.tif"), ("joined", "joined.jpg")):
        xs.click((save_button[0] + save_button[2]) // 2, (save_button[1] + save_button[3]) // 2)
        use_file_dialog(app, "Save As", os.path.join(work, typed))
        box = find_window(app, "seamwright", 30)
        check(os.path.isfile(os.path.join(work, written)), "%s was not written" % written)
        xs.screenshot(os.path.join(work, "saved-%s.ppm" % written))
        xs.focus(box[0])
        xs.key("Return")
        xs.wait_for("the message box to close", lambda: xs.window_named("seamwright") is None, 10)
        log("saved %s" % written)

    xs.click((cancel_button[0] + cancel_button[2]) // 2, (cancel_button[1] + cancel_button[3]) // 2)
    window_gone(app, "Result", 10)


# ---- The files ----

def psnr_and_mad(a, b, x0, x1, y0, y1, ax=0, bx=0, step=3):
    """Over columns x0..x1-1 and every step-th row of y0..y1-1 (offset by ax in a, by bx
    in b): PSNR in dB and the mean absolute difference per sample."""
    se = 0
    ae = 0
    n = 0
    for y in range(y0, y1, step):
        ra = a.row(y, x0 + ax, x1 + ax)
        rb = b.row(y, x0 + bx, x1 + bx)
        for p, q in zip(ra, rb):
            d = p - q
            se += d * d
            ae += abs(d)
        n += len(ra)
    mse = se / n
    return (99.0 if mse == 0 else 10 * math.log10(255 * 255 / mse)), ae / n


def check_files(work, picture, left_img, left_red, right_red):
    xl = left_red[0]
    res_w = xl + (P_W - RIGHT_X0) - right_red[0]
    tif = os.path.join(work, "stitched.tif")
    jpg = os.path.join(work, "joined.jpg")

    # TIFF: the header and the baseline RGB tags as libtiff reads them.
    with open(tif, "rb") as f:
        head = f.read(4)
    check(head in (b"II*\x00", b"MM\x00*"), "stitched.tif starts with %r, not a TIFF header" % head)
    info = xs.run(["tiffinfo", tif])
    for expected in ("Image Width: %d Image Length: %d" % (res_w, P_H), "Bits/Sample: 8",
                     "Samples/Pixel: 3", "Compression Scheme: None", "Photometric Interpretation: RGB color"):
        check(expected in info, "tiffinfo of stitched.tif lacks '%s':\n%s" % (expected, info))
    resolution = [line for line in info.splitlines() if "Resolution:" in line]
    check(resolution, "stitched.tif has no resolution:\n%s" % info)
    values = resolution[0].split(":", 1)[1].replace(",", " ").split()
    dpi = float(values[0]) * (2.54 if "centimeter" in resolution[0] else 1.0)
    check(abs(dpi - LEFT_DPI) < 0.5, "stitched.tif: %s, expected the left scan's %d dpi" % (resolution[0], LEFT_DPI))
    dump = xs.run(["tiffdump", tif])
    check("StripOffsets" in dump and "StripByteCounts" in dump, "tiffdump finds no strips:\n%s" % dump)
    log("TIFF %dx%d, 8-bit RGB, uncompressed, %s" % (res_w, P_H, resolution[0].strip()))

    # JPEG: libjpeg-turbo decodes it, with the left scan's density in its JFIF header.
    jpg_ppm = jpg + ".ppm"
    verbose = subprocess.run(["djpeg", "-verbose", "-ppm", "-outfile", jpg_ppm, jpg],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
    check(verbose.returncode == 0, "djpeg failed: %s" % verbose.stderr.decode(errors="replace"))
    text = verbose.stderr.decode(errors="replace")
    check("density %dx%d" % (LEFT_DPI, LEFT_DPI) in text,
          "joined.jpg: JFIF density is not %d dpi:\n%s" % (LEFT_DPI, text))
    check("Start Of Frame 0xc0: width=%d, height=%d, components=3" % (res_w, P_H) in text,
          "joined.jpg: not a %d x %d baseline colour JPEG:\n%s" % (res_w, P_H, text))

    tif_ppm = tif + ".ppm"
    with open(tif_ppm, "wb") as out:
        r = subprocess.run(["tifftopnm", tif], stdout=out, stderr=subprocess.PIPE, timeout=30)
    check(r.returncode == 0, "tifftopnm failed: %s" % r.stderr.decode(errors="replace"))
    result = xs.Image(tif_ppm)
    decoded = xs.Image(jpg_ppm)
    check((result.width, result.height) == (res_w, P_H) and (decoded.width, decoded.height) == (res_w, P_H),
          "sizes of the decoded files: %dx%d and %dx%d" % (result.width, result.height, decoded.width, decoded.height))

    # Left of the seam the result is the left scan, byte for byte.
    for y in range(P_H):
        if result.row(y, 0, xl) != left_img.row(y, 0, xl):
            xs_bad = next(x for x in range(xl) if result.pixel(x, y) != left_img.pixel(x, y))
            raise TestFailure("stitched.tif differs from the left scan at (%d, %d): %s, expected %s"
                              % (xs_bad, y, result.pixel(xs_bad, y), left_img.pixel(xs_bad, y)))

    # From the seam on, the result is P again: the turned right scan put back. The rows
    # near the top and bottom and the columns near the right edge are left out, where the
    # turn brought in black corners. The yardstick: P against P shifted by one pixel.
    y0, y1 = 40, P_H - 40
    right_end = min(res_w, P_W) - 30
    zone = psnr_and_mad(result, picture, xl, xl + 100, y0, y1)
    rest = psnr_and_mad(result, picture, xl + 100, right_end, y0, y1)
    one_px = psnr_and_mad(picture, picture, xl, right_end, y0, y1, ax=1)
    jpeg = psnr_and_mad(decoded, result, 0, res_w, 0, P_H, step=4)
    log("against P: zone %.1f dB (mean difference %.2f), right part %.1f dB (%.2f); "
        "P against P one pixel over: %.1f dB (%.2f)" % (zone + rest + one_px))
    log("JPEG against TIFF: %.1f dB (mean difference %.2f)" % jpeg)
    # The search works in half pixels and its zero offset lies half a pixel beside the
    # marker line, so the zone starts up to half a pixel off and fades that out; after the
    # zone only the two resamplings of the turn remain. Markers one pixel off give about
    # 0.7 and 0.9 of the one-pixel figure there.
    for name, (psnr, mad), share in (("transition zone", zone, 0.6), ("right part", rest, 0.4)):
        expect(mad < share * one_px[1],
               "stitched.tif, %s: mean difference to P %.2f, not below %.1f of a one-pixel shift's %.2f"
               % (name, mad, share, one_px[1]))
    # Quality 100 with halved chroma: the noisy colours of the plasma cost some decibels.
    expect(jpeg[0] > 35.0, "joined.jpg: %.1f dB against stitched.tif, expected over 35 dB" % jpeg[0])


if __name__ == "__main__":
    try:
        main()
    except TestFailure as failure:
        log("FAILED: %s" % failure)
        sys.exit(1)
    except subprocess.TimeoutExpired as timeout:
        log("FAILED: %s" % timeout)
        sys.exit(1)
