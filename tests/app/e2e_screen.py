"""Screen and X helpers for the end-to-end test: screenshots of the root window as 8-bit
PPM, the widgets found in them by their drawn colours, mouse and keyboard through xdotool,
and the window manager's close request (there is no window manager under Xvfb).
Only the Python standard library; every wait has a deadline."""

import ctypes
import ctypes.util
import os
import re
import subprocess
import time

GREY_BG = b"\x80\x80\x80"  # colGrey: what the views render outside the image


class TestFailure(Exception):
    pass


def run(args, timeout=20, check=True):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
    if check and result.returncode != 0:
        raise TestFailure("%s failed (%d): %s" % (" ".join(args), result.returncode,
                                                  result.stderr.decode(errors="replace").strip()))
    return result.stdout.decode(errors="replace")


def wait_for(what, probe, timeout, interval=0.1):
    """Polls probe() until it returns something true; fails with `what` at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TestFailure("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


# ---- PPM images (screenshots and reference pictures) ----

class Image:
    """An 8-bit RGB raster read from a binary PPM (P6, maxval 255)."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        fields = []
        pos = 0
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            if data[pos:pos + 1] == b"#":
                pos = data.index(b"\n", pos)
                continue
            end = pos
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[pos:end])
            pos = end
        if fields[0] != b"P6" or fields[3] != b"255":
            raise TestFailure("%s: not an 8-bit binary PPM" % path)
        self.width, self.height = int(fields[1]), int(fields[2])
        self.data = data[pos + 1:pos + 1 + self.width * self.height * 3]
        if len(self.data) != self.width * self.height * 3:
            raise TestFailure("%s: pixel data cut short" % path)
        self.path = path

    def row(self, y, x0=0, x1=None):
        x1 = self.width if x1 is None else x1
        base = y * self.width * 3
        return self.data[base + 3 * x0:base + 3 * x1]

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def grey(self, x, y):
        # The grey level that Seamwright uses everywhere: (11 r + 16 g + 5 b) >> 5.
        i = (y * self.width + x) * 3
        d = self.data
        return (11 * d[i] + 16 * d[i + 1] + 5 * d[i + 2]) >> 5

    def grey_patch(self, x0, y0, w, h):
        return [[self.grey(x0 + j, y0 + i) for j in range(w)] for i in range(h)]


def read_image(path):
    """Any picture file as an Image: PPM directly, anything else through ImageMagick."""
    if not path.endswith(".ppm"):
        ppm = path + ".ppm"
        run(["convert", path, "-depth", "8", "ppm:" + ppm])
        path = ppm
    return Image(path)


def screenshot(path):
    run(["import", "-window", "root", "-depth", "8", "ppm:" + path])
    return Image(path)


# ---- Finding widgets by their colours ----

def colour_runs(row, colour, min_len, max_len=None):
    """Runs of one exact colour in a row of RGB bytes: [(x0, x1)), only pixel-aligned ones."""
    pattern = re.compile(b"(?:" + re.escape(colour) + b"){%d,}" % min_len)
    runs = []
    for m in pattern.finditer(row):
        start = m.start()
        skip = (-start) % 3  # a run that starts inside a pixel is shifted to the next one
        x0 = (start + skip) // 3
        x1 = m.end() // 3
        if x1 - x0 >= min_len and (max_len is None or x1 - x0 <= max_len):
            runs.append((x0, x1))
    return runs


def grey_bounds(shot, x0, y0, x1, y1, min_run):
    """Bounding box (x0, y0, x1, y1 inclusive) of all runs of the views' grey background at
    least min_run long inside the region, or None. A fitted image view shows the image with
    grey bands beside it, so the box is exactly the rendered screen image."""
    box = None
    for y in range(y0, y1):
        for a, b in colour_runs(shot.row(y, x0, x1), GREY_BG, min_run):
            a, b = a + x0, b + x0 - 1
            if box is None:
                box = [a, y, b, y]
            else:
                box = [min(box[0], a), min(box[1], y), max(box[2], b), max(box[3], y)]
    return tuple(box) if box else None


def hollow_squares(shot, colour, size, region=None):
    """Top left corners of square outlines of `size` pixels drawn in an exact colour."""
    x0, y0, x1, y1 = region or (0, 0, shot.width, shot.height)
    found = []
    for y in range(y0, min(y1, shot.height - size + 1)):
        for a, b in colour_runs(shot.row(y, x0, x1), colour, size, size):
            bottom = shot.row(y + size - 1, x0 + a, x0 + b)
            left = bytes(shot.pixel(x0 + a, y + size // 2))
            right = bytes(shot.pixel(x0 + b - 1, y + size // 2))
            if bottom == colour * size and left == colour and right == colour:
                found.append((x0 + a, y))
    return found


def row_runs(shot, y, x0, x1, min_len, max_len):
    """Runs of any one colour in a row: [(x0, x1, colour)]."""
    row = shot.row(y, x0, x1)
    runs = []
    x = 0
    n = x1 - x0
    while x < n:
        c = row[3 * x:3 * x + 3]
        s = x
        x += 1
        while x < n and row[3 * x:3 * x + 3] == c:
            x += 1
        if min_len <= x - s <= max_len:
            runs.append((x0 + s, x0 + x, c))
    return runs


def outlined_boxes(shot, region, min_w, max_w, min_h, max_h, ignore=(b"\x25\x25\x25", GREY_BG)):
    """Rectangles whose top and bottom edges are runs of one colour (buttons, check boxes,
    spin boxes in the Fusion style): [(x0, y0, x1, y1)], x1 and y1 inclusive. Runs in the
    `ignore` colours (the window's background, the views' grey) are no edges."""
    x0, y0, x1, y1 = region
    by_row = {y: row_runs(shot, y, x0, x1, min_w, max_w) for y in range(y0, y1)}
    boxes = []
    for y, runs in by_row.items():
        for a, b, c in runs:
            if c in ignore:
                continue
            for dy in range(min_h, max_h + 1):
                for a2, b2, c2 in by_row.get(y + dy, ()):
                    if c2 == c and abs(a2 - a) <= 1 and abs(b2 - b) <= 1:
                        boxes.append((a, y, b - 1, y + dy))
    # A focus frame draws a second outline round a button: keep the outermost box.
    boxes.sort(key=lambda r: (r[2] - r[0]) * (r[3] - r[1]), reverse=True)
    kept = []
    for r in boxes:
        if not any(k[0] <= r[0] + 2 and r[2] <= k[2] + 2 and k[1] <= r[1] + 2 and r[3] <= k[3] + 2 for k in kept):
            kept.append(r)
    return kept


# ---- Mouse, keyboard and windows ----

def xdotool(*args, timeout=10):
    return run(["xdotool"] + [str(a) for a in args], timeout=timeout)


def click(x, y, button=1):
    # mousemove --sync waits for the pointer to move, which it never does when it is
    # already there.
    here = dict(v.split("=", 1) for v in xdotool("getmouselocation", "--shell").split() if "=" in v)
    if (int(here["X"]), int(here["Y"])) != (int(x), int(y)):
        xdotool("mousemove", "--sync", int(x), int(y))
    xdotool("click", button)


def type_text(text):
    xdotool("type", "--delay", 3, text)


def key(name):
    xdotool("key", name)


def windows():
    """The visible top-level windows: [(id, name, x, y, width, height)]."""
    out = run(["xdotool", "search", "--onlyvisible", "--name", ""], check=False)
    found = []
    for wid in out.split():
        name = run(["xdotool", "getwindowname", wid], check=False).rstrip("\n")
        geometry = run(["xdotool", "getwindowgeometry", "--shell", wid], check=False)
        values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
        if "WIDTH" not in values:
            continue  # gone meanwhile
        found.append((int(wid), name, int(values["X"]), int(values["Y"]),
                      int(values["WIDTH"]), int(values["HEIGHT"])))
    return found


def window_named(name):
    """The visible window whose title is exactly `name` (case counts), or None."""
    for w in windows():
        if w[1] == name and w[4] > 10 and w[5] > 10:
            return w
    return None


def focus(wid):
    xdotool("windowfocus", "--sync", wid)


def request_close(wid):
    """What a window manager's close button does: a WM_DELETE_WINDOW client message."""
    xlib = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XInternAtom.restype = ctypes.c_ulong
    xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    xlib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    xlib.XFlush.argtypes = [ctypes.c_void_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):  # XClientMessageEvent, format 32
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):  # XEvent is a union padded to 24 longs
        _fields_ = [("client", ClientMessage), ("pad", ctypes.c_long * 24)]

    display = xlib.XOpenDisplay(os.environ["DISPLAY"].encode())
    if not display:
        raise TestFailure("cannot open the X display")
    try:
        event = Event()
        event.client.type = 33  # ClientMessage
        event.client.window = wid
        event.client.message_type = xlib.XInternAtom(display, b"WM_PROTOCOLS", 0)
        event.client.format = 32
        event.client.data[0] = xlib.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        event.client.data[1] = 0  # CurrentTime
        if not xlib.XSendEvent(display, wid, 0, 0, ctypes.byref(event)):
            raise TestFailure("XSendEvent failed")
        xlib.XFlush(display)
    finally:
        xlib.XCloseDisplay(display)
