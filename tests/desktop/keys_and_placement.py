#!/usr/bin/python3
"""The real program on an X server of its own, without a window manager.

Keys: the checker window has the keyboard once shown; Return, Space and the
keypad's Enter check the mailbox as a press on the dot does, F2 opens the
settings as a press on the bar does, a key with Ctrl does nothing, and the
mouse works as before. Each check is counted by a small POP3 server on
127.0.0.1.

Placement: on screens too small for the windows' places (400 x 300, and
1024 x 768 at scale 2), each window is moved the least distance to lie inside
the screen; where a place fits it holds.

Usage: keys_and_placement.py PROGRAM"""

import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop as dt  # noqa: E402
from desktop import check  # noqa: E402


class CountingPop3Server:
    """Answers every login and counts the STAT commands: one per check."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.checks = 0
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                f = conn.makefile("rwb")
                f.write(b"+OK ready\r\n")
                f.flush()
                for line in f:
                    command = line.strip().split(b" ")[0].upper()
                    if command == b"STAT":
                        self.checks += 1
                        f.write(b"+OK 3 228\r\n")
                    elif command in (b"USER", b"PASS", b"QUIT"):
                        f.write(b"+OK\r\n")
                    else:
                        f.write(b"-ERR not here\r\n")
                    f.flush()
                    if command == b"QUIT":
                        break


# Each row: what the user does, and how many checks and settings windows
# follow. Every row starts with the checker window just shown and the
# pointer elsewhere.
KEY_ROWS = [
    ("Return", ["key Return"], 1, False),
    ("Space", ["key space"], 1, False),
    ("keypad Enter", ["key KP_Enter"], 1, False),
    ("Ctrl+Return does nothing, then Return", ["key ctrl+Return", "key Return"], 1, False),
    ("Return twice", ["key Return", "key Return"], 2, False),
    ("F2", ["key F2"], 0, True),
    ("F2, Escape, Return", ["key F2", "settings", "key Escape", "closed", "key Return"], 1, False),
    ("a press on the dot", ["click dot"], 1, False),
    ("a right-button press on the bar", ["click3 bar"], 0, True),
]
DOT = (24, 16)
BAR = (24, 4)


def run_keys(binary, work):
    server = CountingPop3Server()
    failed = 0
    for name, actions, checks, settings_open in KEY_ROWS:
        procs = dt.Processes()
        try:
            desk = dt.start_window_manager(procs, "none", work)
            desk.move_pointer(700, 550)
            before = server.checks
            program = dt.Program(procs, binary, desk, work, pop3_server="127.0.0.1", pop3_port=server.port)
            time.sleep(0.3)
            x, y, _, _ = desk.geometry(program.checker)
            settings = None
            for action in actions:
                verb, what = action.split(" ", 1) if " " in action else (action, "")
                if verb == "key":
                    desk.key(what)
                    # One check at a time: the next key waits for this one.
                    time.sleep(0.4)
                elif verb in ("click", "click3"):
                    place = DOT if what == "dot" else BAR
                    desk.click(x + place[0], y + place[1], 3 if verb == "click3" else 1)
                    time.sleep(0.4)
                elif verb == "settings":
                    settings = desk.find(title="Epost oppsett", timeout=5)
                    check(settings is not None, "no settings window")
                elif verb == "closed":
                    check(desk.gone(settings, 5), "the settings window did not close")
            dt.wait_for(lambda: server.checks - before >= checks, 5)
            settings = desk.find(title="Epost oppsett", timeout=3 if settings_open else 0)
            check(server.checks - before == checks, "%d checks, want %d" % (server.checks - before, checks))
            check((settings is not None) == settings_open,
                  "the settings window is %s" % ("open" if settings else "not open"))
            dt.log("PASS: keys: %s" % name)
        except dt.Failure as e:
            failed += 1
            dt.log("FAIL: keys: %s: %s" % (name, e))
        finally:
            procs.stop_all()
    return failed


# Each row: screen size, scale, and where each window's top left corner
# must be, in the screen's pixels: the checker (294,273 at 96 dpi, 215 x 62)
# and the settings window (271,240, 426 x 277), moved inside the screen
# where they do not fit.
PLACEMENT_ROWS = [
    ("800 x 600: the places hold", "800x600", 1, (294, 273), (271, 240)),
    ("400 x 300", "400x300", 1, (400 - 215, 300 - 62), (0, 300 - 277)),
    ("1024 x 768 at scale 2", "1024x768", 2, (588, 546), (1024 - 852, 768 - 554)),
]


def run_placement(binary, work):
    failed = 0
    for name, size, scale, checker_at, settings_at in PLACEMENT_ROWS:
        procs = dt.Processes()
        try:
            view = dt.start_xvfb(procs, size)
            env = dict(os.environ, DISPLAY=view)
            desk = dt.Desktop("none", view, view, env)
            desk.move_pointer(0, 0)
            program = dt.Program(procs, binary, desk, work, scale=scale if scale != 1 else None)
            time.sleep(0.3)
            got = desk.geometry(program.checker)[:2]
            check(got == checker_at, "the checker window is at %s, want %s" % (got, checker_at))
            desk.key("F2")
            settings = desk.find(title="Epost oppsett", timeout=5)
            check(settings is not None, "F2 opened no settings window")
            got = desk.geometry(settings)[:2]
            check(got == settings_at, "the settings window is at %s, want %s" % (got, settings_at))
            dt.log("PASS: placement: %s" % name)
        except dt.Failure as e:
            failed += 1
            dt.log("FAIL: placement: %s: %s" % (name, e))
        finally:
            procs.stop_all()
    return failed


# Under a window manager the frame counts: each window, frame and all, lies
# inside the screen, or with its top left corner on it where it is larger;
# where the places fit (800 x 600) they hold.
FRAMED_ROWS = [
    ("800 x 600: the places hold", "800x600", 1, True),
    ("400 x 300", "400x300", 1, False),
    ("1024 x 768 at scale 2", "1024x768", 2, False),
]


def on_screen(frame, size):
    x, y, w, h = frame
    sw, sh = (int(v) for v in size.split("x"))
    inside_x = (0 <= x and x + w <= sw) if w <= sw else 0 <= x < sw // 4
    inside_y = (0 <= y and y + h <= sh) if h <= sh else 0 <= y < sh // 4
    return inside_x and inside_y


def run_framed_placement(binary, work):
    failed = 0
    for wm in ("openbox", "xfwm4"):
        for name, size, scale, places_hold in FRAMED_ROWS:
            procs = dt.Processes()
            try:
                desk = dt.start_window_manager(procs, wm, work, size)
                desk.move_pointer(0, 0)
                program = dt.Program(procs, binary, desk, work, scale=scale if scale != 1 else None)
                desk.key("F2")
                settings = desk.find(title="Epost oppsett", timeout=5)
                check(settings is not None, "F2 opened no settings window")
                time.sleep(0.5)  # the window manager's frame, and any move after it
                for window, what, place in ((program.checker, "checker", (294, 273)),
                                            (settings, "settings window", (271, 240))):
                    frame = desk.frame(window)
                    check(on_screen(frame, size), "the %s (frame %s) does not lie on the %s screen" % (what, frame, size))
                    if places_hold:
                        check(frame[:2] == place, "the %s is at %s, not at its place %s" % (what, frame[:2], place))
                dt.log("PASS: placement under %s: %s" % (wm, name))
            except dt.Skip as e:
                dt.log("SKIP: placement under %s: %s" % (wm, e))
            except dt.Failure as e:
                failed += 1
                dt.log("FAIL: placement under %s: %s: %s" % (wm, name, e))
            finally:
                procs.stop_all()
    return failed


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    work = dt.work_folder()
    failed = run_keys(argv[1], work) + run_placement(argv[1], work) + run_framed_placement(argv[1], work)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
