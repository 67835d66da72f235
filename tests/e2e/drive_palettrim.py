#!/usr/bin/python3
"""Drives the real palettrim as a user with a screen reader would: it finds buttons, lists and
text boxes through AT-SPI, presses them, answers the message boxes, and checks what the program
leaves on disk.

    drive_palettrim.py PALETTRIM SCRATCH_FOLDER HOME [SCREENSHOT_FOLDER]

HOME is an empty folder that serves as the user's home; the reduced files are saved below it.
Needs DISPLAY (an X server) and a session bus; run_e2e.sh provides both.
The path: start, load the samples, reduce to 16 colours, save into a folder picked in the folder
browser by typing its path, hover a row for its preview tooltip, go back, reduce to one palette
for all and to the palette of a sample file, each from the list's context menu with the mouse
and by its key, checking the palettes saved, reduce again to 4 colours, save under the other
naming rule into a folder typed into the results window, save again from the results list's
menu keeping subfolders, close the results window. On the way it reads the pointer as the X server shows it: the hand over a button,
steady while it moves there, the arrow over the list and the window, the busy pointer through a
run. Last it starts the program once more on a dark desktop, makes both palette runs there too
and takes the results window's picture.
"""

import ctypes
import io
import os
import subprocess
import sys
import time

import pyatspi
from PIL import Image

STEP_TIMEOUT = float(os.environ.get("PALETTRIM_E2E_TIMEOUT", "120"))

SAMPLES_QUESTION = "Would you like this software to open the folder where these sample files"
FOLDER_ENTRY = "Save File(s) To This Folder"
BROWSER_PATH = "Folder"


class Failure(Exception):
    pass


def log(text):
    print("e2e: " + text, flush=True)


# ---- the accessibility tree ------------------------------------------------------------------

def kids(acc):
    out = []
    try:
        for i in range(acc.childCount):
            c = acc.getChildAtIndex(i)
            if c is not None:
                out.append(c)
    except Exception:  # an object that vanished while we looked
        pass
    return out


def walk(acc):
    yield acc
    for c in kids(acc):
        yield from walk(c)


def role(acc):
    try:
        return acc.getRoleName()
    except Exception:
        return ""


def has_state(acc, state):
    try:
        return acc.getState().contains(state)
    except Exception:
        return False


def showing(acc):
    return has_state(acc, pyatspi.STATE_SHOWING)


def find(acc, role_name=None, name=None, contains=None):
    """The first object below acc that matches and shows: the form a window does not show
    stays in the tree."""
    for a in walk(acc):
        if role_name and role(a) != role_name:
            continue
        try:
            n = a.name or ""
        except Exception:
            continue
        if name is not None and n != name:
            continue
        if contains is not None and contains not in n:
            continue
        if showing(a):
            return a
    return None


def do_action(acc, *wanted):
    """Runs the first of the wanted actions that the object offers."""
    ai = acc.queryAction()
    names = [ai.getName(i) for i in range(ai.nActions)]
    for w in wanted:
        if w in names:
            ai.doAction(names.index(w))
            return
    raise Failure("%s %r offers none of %s (only %s)" % (role(acc), acc.name, wanted, names))


def text_of(acc):
    t = acc.queryText()
    return t.getText(0, t.characterCount)


def table_rows(tree):
    t = tree.queryTable()
    return [[t.getAccessibleAt(r, c).name for c in range(t.nColumns)] for r in range(t.nRows)]


# ---- the program under test ------------------------------------------------------------------

class Program:
    def __init__(self, exe, env):
        self.app = None
        self.allowed_reports = 0
        self.reports = []
        # A start that cannot reach the X server (a busy machine) is tried again; any later
        # end of the program is a failure.
        for attempt in range(3):
            self.proc = subprocess.Popen([exe], env=env)
            try:
                self.wait(self._find_app, "the program to register with the accessibility bus", 30)
                return
            except Failure:
                if self.proc.poll() is None or attempt == 2:
                    raise
                log("the program did not come up (exit code %s); starting it again"
                    % self.proc.returncode)

    def _find_app(self):
        desktop = pyatspi.Registry.getDesktop(0)
        for a in kids(desktop):
            try:
                if a.name == "Palettrim" and a.get_process_id() == self.proc.pid:
                    self.app = a
                    return a
            except Exception:
                continue
        return None

    def windows(self):
        return [w for w in kids(self.app) if showing(w)]

    def window_with(self, button):
        for w in self.windows():
            if role(w) not in ("alert", "dialog") and find(w, "push button", button):
                return w
        return None

    def main_window(self):
        return self.window_with("Start Reducing")

    def results_window(self):
        return self.window_with("Save Results")

    def _alerts(self):
        return [w for w in self.windows() if role(w) in ("alert", "dialog")]

    @staticmethod
    def alert_text(alert):
        return "\n".join(a.name for a in walk(alert) if role(a) == "label" and a.name)

    def _handle_reports(self):
        """Error reports are answered as they come; more than the expected number fail."""
        for alert in self._alerts():
            if alert.name != "Application Error":
                continue
            text = self.alert_text(alert)
            if self.allowed_reports <= 0:
                raise Failure("unexpected error report:\n" + text)
            self.allowed_reports -= 1
            self.reports.append(text)
            log("error report (expected): " + text.splitlines()[0])
            do_action(find(alert, "push button", "OK"), "Press")
            self.wait(lambda: not showing(alert), "the error report to close", check_reports=False)

    def wait(self, predicate, what, timeout=STEP_TIMEOUT, check_reports=True):
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise Failure("the program ended (exit code %s) while waiting for %s"
                              % (self.proc.returncode, what))
            if check_reports and self.app is not None:
                self._handle_reports()
            result = predicate()
            if result:
                return result
            if time.monotonic() > deadline:
                raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))
            time.sleep(0.1)

    def answer(self, text_part, button):
        def question():
            for a in self._alerts():
                if a.name != "Application Error" and text_part in self.alert_text(a):
                    return a
            return None
        alert = self.wait(question, "the message %r" % text_part)
        do_action(find(alert, "push button", button), "Press")
        self.wait(lambda: not showing(alert), "the message %r to close" % text_part)

    def press(self, window, caption):
        button = find(window, "push button", caption)
        if button is None:
            raise Failure("no button %r" % caption)
        do_action(button, "Press")

    def choose_colours(self, caption):
        combo = find(self.main_window(), "combo box")
        if combo.name == caption:
            return
        # The drop-down opens like a click on it; the entry is then clicked with the mouse.
        do_action(combo, "ShowMenu")
        entry = self.wait(lambda: next((e for e in walk(combo) if role(e) == "list item"
                                        and e.name == caption and showing(e)), None),
                          "the entry %r to show" % caption)
        x, y, w, h = entry.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1"],
                       check=True)
        self.wait(lambda: combo.name == caption, "the colour box to show %r" % caption)

    def pick_folder(self, window, button, opens_at, folder):
        """Picks folder in the folder browser as a keyboard user does: Tab from the tree to the
        path line, type the path, Enter."""
        self.press(window, button)

        def browser():
            for w in self.windows():
                if role(w) == "dialog" and find(w, "text", BROWSER_PATH):
                    return w
            return None
        dialog = self.wait(browser, "the folder browser")
        field = find(dialog, "text", BROWSER_PATH)
        self.wait(lambda: has_state(find(dialog, "tree"), pyatspi.STATE_FOCUSED),
                  "the folder tree to have the keyboard")
        expect(text_of(field) == opens_at,
               "the folder browser opened at %r, not at %r" % (text_of(field), opens_at))
        subprocess.run(["xdotool", "key", "Tab"], check=True)
        self.wait(lambda: has_state(field, pyatspi.STATE_FOCUSED), "the path line to have the keyboard")
        subprocess.run(["xdotool", "type", "--delay", "40", folder], check=True)
        self.wait(lambda: text_of(field) == folder, "the typed path %r" % folder)
        subprocess.run(["xdotool", "key", "Return"], check=True)
        self.wait(lambda: not showing(dialog), "the folder browser to take %r" % folder)
        log("picked %s in the folder browser by typing its path" % folder)

    def visible_window_id(self):
        out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Palettrim$"],
                             capture_output=True, text=True).stdout.split()
        if len(out) != 1:
            raise Failure("expected one visible Palettrim window, found %d" % len(out))
        return int(out[0])

    def place(self):
        """The visible window's X id and its top-left corner on the screen."""
        window = self.visible_window_id()
        out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", str(window)],
                             capture_output=True, text=True, check=True).stdout
        g = dict(line.split("=") for line in out.split())
        return window, int(g["X"]), int(g["Y"])

    def screenshot(self, folder, name):
        if not folder:
            return
        os.makedirs(folder, exist_ok=True)
        time.sleep(0.5)  # let the last repaint land
        path = os.path.join(folder, name)
        subprocess.run(["import", "-window", str(self.visible_window_id()), path], check=True)
        log("screenshot " + path)

    def close_visible_window(self):
        """What the title bar's close button does: the window manager's close request."""
        send_close_request(self.visible_window_id())


def send_close_request(window_id):
    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                             ctypes.POINTER(Event)]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x.XOpenDisplay(None)
    if not display:
        raise Failure("cannot open the X display")
    ev = Event()
    ev.xclient.type = 33  # ClientMessage
    ev.xclient.window = window_id
    ev.xclient.message_type = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
    ev.xclient.format = 32
    ev.xclient.data[0] = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x.XSendEvent(display, window_id, 0, 0, ctypes.byref(ev))
    x.XFlush(display)
    x.XCloseDisplay(display)


# ---- the pointer as the X server shows it ----------------------------------------------------

class PointerImages:
    """Reads the pointer's current image from the X server (XFixes), as a user sees it."""

    class _Image(ctypes.Structure):
        _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short),
                    ("width", ctypes.c_ushort), ("height", ctypes.c_ushort),
                    ("xhot", ctypes.c_ushort), ("yhot", ctypes.c_ushort),
                    ("cursor_serial", ctypes.c_ulong), ("pixels", ctypes.POINTER(ctypes.c_ulong)),
                    ("atom", ctypes.c_ulong), ("name", ctypes.c_char_p)]

    def __init__(self):
        self.x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
        self.xfixes = ctypes.cdll.LoadLibrary("libXfixes.so.3")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XFree.argtypes = [ctypes.c_void_p]
        self.x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.xfixes.XFixesQueryExtension.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                                     ctypes.POINTER(ctypes.c_int)]
        self.xfixes.XFixesGetCursorImage.restype = ctypes.POINTER(self._Image)
        self.xfixes.XFixesGetCursorImage.argtypes = [ctypes.c_void_p]
        self.display = self.x11.XOpenDisplay(None)
        base, error = ctypes.c_int(), ctypes.c_int()
        if not self.display or not self.xfixes.XFixesQueryExtension(
                self.display, ctypes.byref(base), ctypes.byref(error)):
            raise Failure("the X server offers no XFixes, so the pointer cannot be read")

    def close(self):
        self.x11.XCloseDisplay(self.display)

    def sample(self):
        """The pointer now: (size, hot spot, the pixels' alpha values)."""
        image = self.xfixes.XFixesGetCursorImage(self.display)
        if not image:
            raise Failure("the X server did not give the pointer's image")
        c = image.contents
        alpha = bytes((c.pixels[i] >> 24) & 0xFF for i in range(c.width * c.height))
        shape = ((c.width, c.height), (c.xhot, c.yhot), alpha)
        self.x11.XFree(image)
        return shape


def blank(shape):
    return not any(shape[2])


def hand_shape(path):
    """The shape the program's hand pointer file gives, as the X server keeps it."""
    with open(path, "rb") as f:
        head = f.read(14)
    hot = (int.from_bytes(head[10:12], "little"), int.from_bytes(head[12:14], "little"))
    with Image.open(path) as im:
        im = im.convert("RGBA")
        return (im.size, hot, bytes(a for (_, _, _, a) in im.getdata()))


def same_outline(a, b):
    """True when two shapes are one pointer: size, hot spot and where it is opaque."""
    if a[0] != b[0] or a[1] != b[1]:
        return False
    return all((x >= 128) == (y >= 128) for x, y in zip(a[2], b[2]))


def centre(acc):
    x, y, w, h = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return x + w // 2, y + h // 2


def move_pointer(x, y):
    subprocess.run(["xdotool", "mousemove", str(x), str(y)], check=True)


def steady_shape(pointer, want, what, timeout=10):
    """Waits until the pointer's shape is want(shape) and returns it."""
    deadline = time.monotonic() + timeout
    while True:
        shape = pointer.sample()
        if want(shape):
            return shape
        if time.monotonic() > deadline:
            raise Failure("the pointer never became %s" % what)
        time.sleep(0.02)


def check_pointer(pointer, main, hand):
    """Over a button the hand, steady while it moves within; over the list and the window's
    background the arrow."""
    tree = find(main, "tree") or find(main, "table")
    move_pointer(*centre(tree))
    arrow = steady_shape(pointer, lambda s: not blank(s) and not same_outline(s, hand),
                         "the arrow over the list")
    x, y, w, h = main.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    move_pointer(x + 3, centre(tree)[1])  # the window's margin beside the list
    steady_shape(pointer, lambda s: s == arrow, "the arrow over the window's background")

    for caption in ("Start Reducing", "Clear List"):
        button = find(main, "push button", caption)
        bx, by, bw, bh = button.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        move_pointer(bx + 3, by + bh // 2)
        steady_shape(pointer, lambda s: same_outline(s, hand), "the hand over %r" % caption)
        seen = {"hand": 0, "arrow": 0, "blank": 0, "other": 0}
        for step in range(40):
            move_pointer(bx + 3 + (bw - 6) * step // 39, by + 2 + (bh - 4) * (step % 5) // 4)
            for _ in range(3):
                s = pointer.sample()
                kind = ("hand" if same_outline(s, hand) else "arrow" if s == arrow
                        else "blank" if blank(s) else "other")
                seen[kind] += 1
        expect(seen["hand"] == sum(seen.values()),
               "moving across %r the pointer was %s" % (caption, seen))
        move_pointer(*centre(tree))
        steady_shape(pointer, lambda s: s == arrow, "the arrow over the list again")
    log("pointer: the hand stays over the buttons while it moves; the arrow over list and window")
    return arrow


class BusyWatch:
    """Samples the pointer on a thread of its own while the program works."""

    def __init__(self, arrow, hand, outside):
        import threading
        self.shapes = []
        self.stop = threading.Event()
        self.known = (arrow, hand, outside)
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        pointer = PointerImages()
        try:
            while not self.stop.is_set():
                self.shapes.append(pointer.sample())
                time.sleep(0.002)
        finally:
            pointer.close()

    def check(self):
        """The busy pointer showed, and nothing else between its first and its last showing
        (the window it covers hides at the end of the run, so what follows may differ)."""
        self.stop.set()
        self.thread.join()
        arrow, hand, outside = self.known
        busy = [i for i, s in enumerate(self.shapes) if s not in (arrow, outside)
                and not blank(s) and not same_outline(s, hand)]
        expect(busy, "the pointer never showed busy during the run (%d samples)" % len(self.shapes))
        # The busy pointer may be animated: any frame of it counts, none of the others.
        during = self.shapes[busy[0]:busy[-1] + 1]
        others = sum(1 for s in during if s == arrow or blank(s) or same_outline(s, hand))
        expect(others == 0, "while busy the pointer was the arrow, the hand or blank %d times "
               "of %d" % (others, len(during)))
        log("pointer: busy through the run (%d samples)" % len(during))


# ---- checks on disk --------------------------------------------------------------------------

def colour_count(path):
    try:
        with Image.open(path) as im:
            return len(im.convert("RGB").getcolors(maxcolors=1 << 24))
    except OSError:
        pass  # a PCX layout this Pillow does not read (2 or 4 bits packed): ask ImageMagick
    r = subprocess.run(["identify", "-format", "%k", path], capture_output=True, text=True)
    if r.returncode != 0 or not r.stdout.strip().isdigit():
        raise Failure("%s cannot be read back: %s" % (path, r.stderr.strip()))
    return int(r.stdout.strip())


def work_copies(folder):
    return sorted(n for n in os.listdir(folder) if n.startswith("tavrik"))


def expect(condition, text):
    if not condition:
        raise Failure(text)


def saved_name(name, reduced):
    if not reduced:
        return name
    stem, dot, ext = name.rpartition(".")
    return stem + "-reduced." + ext if dot else name + "-reduced"


def run_and_save(prog, colours, folder, reduced, samples, browse_from=None, busy_watch=None):
    """Reduces, then saves into folder: picked in the folder browser (which must open at
    browse_from) when browse_from is given, else typed into the folder text. busy_watch(), when
    given, starts watching the pointer over the list just before the run and gives the watch."""
    main = prog.main_window()
    prog.choose_colours("%d colors" % colours)
    watch = None
    if busy_watch:
        move_pointer(*centre(find(main, "tree") or find(main, "table")))
        watch = busy_watch()
    prog.press(main, "Start Reducing")
    results = prog.wait(lambda: prog.results_window() if prog.main_window() is None else None,
                        "the results window after reducing to %d colours" % colours)
    if watch:
        watch.check()
    rows = table_rows(find(results, "tree") or find(results, "table"))
    expect([r[0] for r in rows] == [os.path.basename(s) for s in samples],
           "results rows %s do not match the samples" % [r[0] for r in rows])
    failed = [r[0] for r in rows if r[2] == "Fail to reduce"]
    good = [r[0] for r in rows if r[2] != "Fail to reduce"]
    log("%d colours: %d reduced, %d failed (%s)" % (colours, len(good), len(failed), failed))
    expect(good, "no sample could be reduced")

    entry = find(results, "text", FOLDER_ENTRY)
    if browse_from:
        prog.pick_folder(results, "...", browse_from, folder)
        prog.wait(lambda: text_of(entry) == folder + "/", "the browsed folder in the folder text")
    else:
        entry.queryEditableText().setTextContents(folder)
        prog.wait(lambda: text_of(entry) == folder, "the output folder text")
    if not reduced:
        option = find(results, "radio button", "Save x.pcx as x.pcx")
        do_action(option, "Toggle", "Press")
        prog.wait(lambda: has_state(option, pyatspi.STATE_CHECKED), "the own-name rule")

    prog.allowed_reports = len(failed)
    prog.press(results, "Save Results")
    prog.answer("Done.", "OK")
    expect(prog.allowed_reports == 0, "fewer error reports than failed rows")

    saved = sorted(os.listdir(folder))
    expect(saved == sorted(saved_name(n, reduced) for n in good),
           "saved files %s do not match the reduced rows %s" % (saved, good))
    for name in saved:
        n = colour_count(os.path.join(folder, name))
        expect(n <= colours, "%s has %d colours, more than %d" % (name, n, colours))
    return results


def show_preview(prog, results, row_name, folder, name):
    """Hovers the row row_name until its tooltip shows the original and the reduced picture,
    saves the window with the tooltip over it, and moves the pointer away again."""
    tree = find(results, "tree") or find(results, "table")
    rows = table_rows(tree)
    row = [r[0] for r in rows].index(row_name)
    window = prog.visible_window_id()
    # Tooltips show over the active window only; without a window manager nobody activates it.
    subprocess.run(["xdotool", "windowfocus", "--sync", str(window)], check=True)
    x, y, w, h = tree.queryTable().getAccessibleAt(row, 0).queryComponent().getExtents(
        pyatspi.DESKTOP_COORDS)
    started = time.monotonic()
    subprocess.run(["xdotool", "mousemove", str(x + w // 8), str(y + h // 2)], check=True)

    def tooltip():
        for t in kids(prog.app):
            if role(t) == "tool tip" and showing(t) and "Reduced" in (t.name or ""):
                return t
        return None
    # It may say "Preparing preview..." first; the pictures replace that while it shows.
    tip = prog.wait(tooltip, "the preview tooltip of %s" % row_name)
    log("preview of %s after %.2f s: %s" % (row_name, time.monotonic() - started,
                                           " | ".join(tip.name.split())))
    text = tip.name
    expect(text.count("\ufffc") == 2, "the tooltip does not hold two pictures: %r" % text)
    expect("Original" in text and rows[row][1] in text and rows[row][2] in text and "%" in text,
           "the tooltip's captions do not match the row %s: %r" % (rows[row], text))

    if folder:
        time.sleep(0.5)  # let the last repaint land
        save_with_popup(folder, name, window, tip)

    subprocess.run(["xdotool", "mousemove", "0", "0"], check=True)
    prog.wait(lambda: not showing(tip), "the preview tooltip to hide")


def save_with_popup(folder, name, window, popup):
    """The window and a popup of its own (a menu, a tooltip) as one picture."""
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", str(window)],
                         capture_output=True, text=True, check=True).stdout
    g = dict(line.split("=") for line in out.split())
    save_composite(folder, name, [(int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])),
                                  tuple(popup.queryComponent().getExtents(pyatspi.DESKTOP_COORDS))])


def save_composite(folder, name, parts):
    """The screen's rectangles parts on a transparent ground: a window with its tooltip."""
    os.makedirs(folder, exist_ok=True)
    screen = subprocess.run(["import", "-window", "root", "png:-"], capture_output=True,
                            check=True).stdout
    with Image.open(io.BytesIO(screen)) as shot:
        shot = shot.convert("RGBA")
        left = min(p[0] for p in parts)
        top = min(p[1] for p in parts)
        right = max(p[0] + p[2] for p in parts)
        bottom = max(p[1] + p[3] for p in parts)
        out = Image.new("RGBA", (right - left, bottom - top), (0, 0, 0, 0))
        for x, y, w, h in parts:
            out.paste(shot.crop((x, y, x + w, y + h)), (x - left, y - top))
    path = os.path.join(folder, name)
    out.save(path)
    log("screenshot " + path)


# ---- the palette runs of the list's context menu ----------------------------------------------

ONE_PALETTE = "Start Reducing with One Palette for All"
PALETTE_OF_FILE = "Start Reducing to the Palette of a File\u2026"


def palette_block(path):
    """The 256-entry palette at the end of an 8-bit PCX file, with its marker byte."""
    with open(path, "rb") as f:
        data = f.read()
    expect(len(data) > 128 + 769 and data[3] == 8 and data[65] == 1 and data[-769] == 12,
           "%s is not an 8-bit PCX file with its palette at the end" % path)
    return data[-768:]


class FocusEvents:
    """What takes the focus, as a screen reader hears it: a popup menu is in no window's tree,
    its items announce themselves as they become current."""

    def __init__(self):
        self.sources = []
        pyatspi.Registry.registerEventListener(self._on, "object:state-changed:focused")

    def _on(self, event):
        if event.detail1:
            self.sources.append(event.source)

    def latest(self, wanted_role):
        from gi.repository import GLib
        context = GLib.MainContext.default()
        while context.iteration(False):
            pass
        for source in reversed(self.sources):
            if role(source) == wanted_role:
                return source
        return None


FOCUS = None


def open_list_menu(prog, main):
    """A right click on the list, then the pointer into the menu: the menu, as its first item
    under the pointer shows it."""
    global FOCUS
    if FOCUS is None:
        FOCUS = FocusEvents()
    tree = find(main, "tree") or find(main, "table")
    x, y, w, h = tree.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    FOCUS.sources.clear()
    subprocess.run(["xdotool", "mousemove", str(x + 40), str(y + h // 2), "click", "3"], check=True)
    time.sleep(0.3)
    move_pointer(x + 60, y + h // 2 + 8)
    item = prog.wait(lambda: FOCUS.latest("menu item"), "the list's context menu")
    menu = item.parent
    expect(menu is not None and find(menu, "menu item", ONE_PALETTE),
           "the list's menu has no item %r" % ONE_PALETTE)
    return menu


def click_menu_item(prog, menu, caption):
    item = find(menu, "menu item", caption)
    expect(item is not None, "the menu has no item %r" % caption)
    move_pointer(*centre(item))
    time.sleep(0.3)  # let the highlight follow the pointer
    subprocess.run(["xdotool", "click", "1"], check=True)
    prog.wait(lambda: not showing(item), "the menu to close after %r" % caption)


def palette_run(prog, start, samples, palette_file=None, folder=None):
    """Starts a palette run with start(), gives the dialog palette_file when it asks, checks the
    results and, with folder, saves them there and checks their palettes; back to the main
    window after."""
    start()
    if palette_file:
        def dialog():
            for w in prog.windows():
                if role(w) in ("dialog", "file chooser") and w.name == "Choose the palette":
                    return w
            return None
        d = prog.wait(dialog, "the dialog \"Choose the palette\"")
        time.sleep(0.5)  # the file name line takes the keyboard as the dialog opens
        subprocess.run(["xdotool", "type", "--delay", "20", palette_file], check=True)
        subprocess.run(["xdotool", "key", "Return"], check=True)
        prog.wait(lambda: not showing(d), "the palette dialog to take %s" % palette_file)
    results = prog.wait(lambda: prog.results_window() if prog.main_window() is None else None,
                        "the results window of a palette run")
    rows = table_rows(find(results, "tree") or find(results, "table"))
    expect([r[0] for r in rows] == [os.path.basename(s) for s in samples],
           "results rows %s do not match the samples" % [r[0] for r in rows])
    failed = [r[0] for r in rows if r[2] == "Fail to reduce"]
    expect(not failed, "a palette run failed %s" % failed)
    if folder:
        entry = find(results, "text", FOLDER_ENTRY)
        entry.queryEditableText().setTextContents(folder)
        prog.wait(lambda: text_of(entry) == folder, "the output folder text")
        prog.press(results, "Save Results")
        prog.answer("Done.", "OK")
        blocks = [palette_block(os.path.join(folder, n)) for n in sorted(os.listdir(folder))]
        expect(len(blocks) == len(samples), "saved %d files of %d" % (len(blocks), len(samples)))
        wanted = palette_block(palette_file) if palette_file else blocks[0]
        expect(all(b == wanted for b in blocks),
               "the saved palettes are not all %s" % ("the file's" if palette_file else "one"))
    prog.press(results, "< Back")
    return prog.wait(lambda: prog.main_window() if prog.results_window() is None else None,
                     "the main window after a palette run")


def palette_choices(prog, main, samples, palette_file, folders=None, shots=None, shot_name=None):
    """Both palette runs from the list's menu with the mouse, then by their keys. With folders
    (one palette, a file's) the first two are saved there and checked; with shots the menu's
    picture is taken first."""
    menu = open_list_menu(prog, main)
    if shots:
        item = find(menu, "menu item", ONE_PALETTE)
        move_pointer(*centre(item))
        time.sleep(0.5)  # let the highlight land
        save_with_popup(shots, shot_name, prog.visible_window_id(), menu)
    main = palette_run(prog, lambda: click_menu_item(prog, menu, ONE_PALETTE), samples,
                       folder=folders[0] if folders else None)
    main = palette_run(prog, lambda: click_menu_item(prog, open_list_menu(prog, main), PALETTE_OF_FILE),
                       samples, palette_file, folders[1] if folders else None)
    log("both palette runs from the list's menu with the mouse")

    def key(keys):
        def press():
            subprocess.run(["xdotool", "windowfocus", "--sync", str(prog.visible_window_id())], check=True)
            subprocess.run(["xdotool", "key", keys], check=True)
        return press
    main = palette_run(prog, key("ctrl+shift+Return"), samples)
    main = palette_run(prog, key("ctrl+shift+p"), samples, palette_file)
    log("both palette runs by their keys")
    return main


SAVE_TREE = "Save Keeping Subfolders"


def save_from_results_menu(prog, results, folder, names, shots=None, shot_name=None):
    """The results list's menu from the keyboard alone (Shift+F10, then Down to each item, as a
    screen reader hears them) holds both saves and "< Back"; "Save Keeping Subfolders" saves
    into folder: files added on their own land in the folder itself, under their own names (the
    rule chosen last). With shots the menu's picture is taken, that item under the keyboard."""
    global FOCUS
    if FOCUS is None:
        FOCUS = FocusEvents()
    entry = find(results, "text", FOLDER_ENTRY)
    entry.queryEditableText().setTextContents(folder)
    prog.wait(lambda: text_of(entry) == folder, "the output folder text")
    tree = find(results, "tree") or find(results, "table")
    x, y, w, h = tree.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    subprocess.run(["xdotool", "mousemove", str(x + 40), str(y + 28), "click", "1"], check=True)
    move_pointer(0, 0)  # no item under the pointer, no tooltip in the picture
    FOCUS.sources.clear()
    subprocess.run(["xdotool", "key", "shift+F10"], check=True)
    menu = None
    for caption in ("Save Results", SAVE_TREE):
        subprocess.run(["xdotool", "key", "Down"], check=True)
        item = prog.wait(lambda: (lambda f: f if f is not None and f.name == caption else None)(
            FOCUS.latest("menu item")), "%r under the keyboard" % caption)
        menu = item.parent
    expect(menu is not None and find(menu, "menu item", "< Back"),
           "the results list's menu has no item \"< Back\"")
    if shots:
        time.sleep(0.5)  # let the highlight land
        save_with_popup(shots, shot_name, prog.visible_window_id(), menu)
    rows = table_rows(tree)
    prog.allowed_reports = len([r for r in rows if r[2] == "Fail to reduce"])
    subprocess.run(["xdotool", "key", "Return"], check=True)
    prog.answer("Done.", "OK")
    expect(prog.allowed_reports == 0, "fewer error reports than failed rows")
    saved = sorted(os.listdir(folder))
    expect(saved == sorted(names), "saved keeping subfolders %s, not the rows %s" % (saved, names))
    log("saved from the results list's menu by the keyboard, keeping subfolders")


# Breeze Dark, as a KDE desktop keeps it; Qt reads it without any plug-in.
KDE_DARK = """[Colors:Button]
BackgroundNormal=49,54,59
ForegroundNormal=252,252,252
[Colors:Selection]
BackgroundNormal=61,174,233
ForegroundNormal=252,252,252
[Colors:Tooltip]
BackgroundNormal=49,54,59
ForegroundNormal=252,252,252
[Colors:View]
BackgroundNormal=27,30,32
BackgroundAlternate=35,38,41
ForegroundNormal=252,252,252
[Colors:Window]
BackgroundNormal=42,46,50
ForegroundNormal=252,252,252
"""


def dark_desktop_pictures(exe, env, config, shots, palette_file):
    """Starts the program again on a dark desktop, makes both palette runs, reduces the samples
    and takes the results window's picture: its ground follows the desktop, its buttons and
    lists stay light."""
    with open(os.path.join(config, "kdeglobals"), "w") as f:
        f.write(KDE_DARK)
    dark = dict(env, QT_QPA_PLATFORMTHEME="kde", KDE_SESSION_VERSION="5", XDG_CURRENT_DESKTOP="KDE")
    prog = Program(exe, dark)
    try:
        main = prog.wait(prog.main_window, "the main window on a dark desktop")
        prog.press(main, "Load Sample/Example Files")
        prog.answer(SAMPLES_QUESTION, "No")
        tree = find(main, "tree") or find(main, "table")
        listed = prog.wait(lambda: [r[0] for r in table_rows(tree)] or None,
                           "the sample rows on a dark desktop")
        main = palette_choices(prog, main, listed, palette_file)
        prog.press(main, "Start Reducing")
        prog.wait(lambda: prog.results_window() if prog.main_window() is None else None,
                  "the results window on a dark desktop")
        time.sleep(0.5)  # let the last repaint land
        shot = subprocess.run(["import", "-window", str(prog.visible_window_id()), "png:-"],
                              capture_output=True, check=True).stdout
        with Image.open(io.BytesIO(shot)) as im:
            ground = im.convert("RGB").getpixel((2, 2))
            expect(sum(ground) < 3 * 96, "the results window's ground %s is not the dark desktop's"
                   % (ground,))
            if shots:
                os.makedirs(shots, exist_ok=True)
                im.save(os.path.join(shots, "results-window-dark.png"))
                log("screenshot " + os.path.join(shots, "results-window-dark.png"))
        prog.close_visible_window()
        deadline = time.monotonic() + 30
        while prog.proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.1)
        expect(prog.proc.returncode == 0, "the program on a dark desktop ended with %s"
               % prog.proc.returncode)
        log("dark desktop: the results window takes its ground")
    finally:
        if prog.proc.poll() is None:
            prog.proc.kill()
            prog.proc.wait()


def main():
    exe = os.path.abspath(sys.argv[1])
    scratch = sys.argv[2]
    home = sys.argv[3]
    shots = os.path.abspath(sys.argv[4]) if len(sys.argv) > 4 else None

    # Never a real home: the run fills it with settings and saved files.
    expect(os.path.isdir(home) and not os.listdir(home), "HOME %s is not an empty folder" % home)
    config = os.path.join(home, ".config")
    work = os.path.join(scratch, "work")
    runtime = os.path.join(scratch, "runtime")
    out16 = os.path.join(home, "Pictures", "reduced-16")
    out4 = os.path.join(home, "Pictures", "reduced-4")
    out_shared = os.path.join(home, "Pictures", "one-palette")
    out_given = os.path.join(home, "Pictures", "cat-palette")
    out_tree = os.path.join(home, "Pictures", "kept-subfolders")
    for d in (config, work, out16, out4, out_shared, out_given, out_tree):
        os.makedirs(d)
    os.makedirs(runtime, mode=0o700)

    env = dict(os.environ)
    env.update({
        "HOME": home, "XDG_CONFIG_HOME": config, "XDG_CACHE_HOME": os.path.join(home, ".cache"),
        "XDG_RUNTIME_DIR": runtime, "TEMP": work,
        "QT_QPA_PLATFORM": "xcb", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
        "LANG": "C.UTF-8",
    })
    samples_dir = os.path.join(os.path.dirname(exe), "Samples")
    samples = sorted(os.path.join(samples_dir, n) for n in os.listdir(samples_dir)
                     if os.path.isfile(os.path.join(samples_dir, n)))
    expect(samples, "no sample files beside the program in " + samples_dir)

    # The pointer as the X server shows it, first where no window of the program is.
    pointer = PointerImages()
    move_pointer(0, 0)
    outside = pointer.sample()
    hand = hand_shape(os.path.join(os.path.dirname(exe), "HAND-M.CUR"))

    prog = Program(exe, env)
    try:
        main = prog.wait(prog.main_window, "the main window")
        log("main window is up")

        prog.press(main, "Load Sample/Example Files")
        prog.answer(SAMPLES_QUESTION, "No")
        tree = find(main, "tree") or find(main, "table")
        listed = prog.wait(lambda: [r[0] for r in table_rows(tree)] or None, "the sample rows")
        expect(sorted(os.path.realpath(p) for p in listed) == [os.path.realpath(s) for s in samples],
               "listed %s, expected the samples %s" % (listed, samples))
        log("%d samples listed" % len(listed))

        arrow = check_pointer(pointer, main, hand)
        prog.choose_colours("16 colors")
        prog.screenshot(shots, "main-window.png")
        place = prog.place()

        results = run_and_save(prog, 16, out16, True, listed, browse_from=home,
                               busy_watch=lambda: BusyWatch(arrow, hand, outside))
        expect(prog.place() == place, "the results are not where the main window was: %s, not %s"
               % (prog.place(), place))
        show_preview(prog, results, "coffee-photo-24bit.pcx", shots, "results-window.png")
        expect(work_copies(work), "the work copies are gone before leaving the results window")

        prog.press(results, "< Back")
        main = prog.wait(lambda: prog.main_window() if prog.results_window() is None else None,
                         "the main window after going back")
        expect([r[0] for r in table_rows(find(main, "tree") or find(main, "table"))] == listed,
               "the file list changed while the results were shown")
        expect(not work_copies(work), "work copies left after going back: %s" % work_copies(work))
        expect(prog.place() == place, "the main window came back at %s, not %s"
               % (prog.place(), place))
        log("back in the main window with the same %d rows, in the same window and place"
            % len(listed))

        palette_file = os.path.join(samples_dir, "cat-256-colors.pcx")
        main = palette_choices(prog, main, listed, palette_file, (out_shared, out_given), shots,
                               "list-menu.png")
        expect(not work_copies(work), "work copies left after the palette runs: %s" % work_copies(work))

        results = run_and_save(prog, 4, out4, False, listed)
        expect(len(os.listdir(out16)) > 0, "the first save was lost")
        save_from_results_menu(prog, results, out_tree, os.listdir(out4), shots, "results-menu.png")

        prog.close_visible_window()
        deadline = time.monotonic() + 30
        while prog.proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.1)
        expect(prog.proc.poll() is not None, "the program did not end when its window was closed")
        expect(prog.proc.returncode == 0, "the program ended with code %d" % prog.proc.returncode)
        expect(not work_copies(work), "work copies left after closing: %s" % work_copies(work))
        log("closed; the program ended and left no work copies")
    finally:
        if prog.proc.poll() is None:
            prog.proc.kill()
            prog.proc.wait()
        pointer.close()
    dark_desktop_pictures(exe, env, config, shots, os.path.join(samples_dir, "cat-256-colors.pcx"))
    log("PASS")


if __name__ == "__main__":
    try:
        main()
    except Failure as e:
        log("FAIL: %s" % e)
        sys.exit(1)
