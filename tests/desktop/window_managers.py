#!/usr/bin/python3
"""The real program's windows under real window managers (openbox, xfwm4,
weston's X11 backend with Xwayland) and without one, each on an X server of
its own: one table of sequences run under each. Every window must be drawn,
lie in front of the window it was opened from, have the keyboard, and be
owned by it; the ping window must show its waiting text while the ping
waits. What the screen shows is read back from the X server; keys and clicks
go in through it. A window manager that cannot start here is skipped with the
reason. The pings go to an address in a network namespace of the test's own
that does not answer.

Usage: window_managers.py PROGRAM [WM...]   (screenshots go to
$KORVELIN_SHOTS/<wm>/ when that is set)"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import desktop as dt  # noqa: E402
from desktop import check  # noqa: E402

QUIET_HOST = "203.0.113.7"
PANEL = (192, 192, 240)  # the ping window's colour
# Places inside the windows, from their layouts (client coordinates).
DOT = (24, 16)  # the checker's green dot
EMPTY = (190, 50)  # a part of the checker that does nothing
PING_BUTTON = (369, 85)  # the settings window's "ping", on "Motta"
OK_BUTTON = (205, 18)  # the ping window's "O&k"
PING_SIZE = (235, 37)

SEQUENCES = [
    # Each step: "error" presses Return on the checker (no server answers:
    # the error box) and closes the box with Escape; "open" presses F2 on the
    # checker; "ping" goes to "Motta" by keys (if not there yet) and clicks
    # "ping"; "ok" clicks "O&k", "return" presses Return on the ping
    # result; "escape" closes the settings window with Escape; "close" closes
    # it as a desktop does, the ping result left up.
    ("error box, then ping, O&k, Escape", ["error", "open", "ping", "ok", "escape"]),
    ("ping twice, the result left up, settings reopened, ping",
     ["open", "ping", "ok", "ping", "close", "open", "ping", "return", "escape"]),
]


def rendered_icon(size):
    """The program's icon drawn from its SVG, as ARGB values; None when the
    tools for it are missing."""
    svg = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "dist", "no.korvelin.sjekker.svg")
    try:
        png = subprocess.run(["rsvg-convert", "--width=%d" % size, "--height=%d" % size, svg], check=True,
                             capture_output=True).stdout
        raw = subprocess.run(["convert", "png:-", "-depth", "8", "rgba:-"], input=png, check=True,
                             capture_output=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    return [raw[i + 3] << 24 | raw[i] << 16 | raw[i + 1] << 8 | raw[i + 2] for i in range(0, len(raw), 4)]


def same_argb(a, b):
    # Fully transparent pixels may carry any colour; half transparent ones
    # lose a little in Qt's premultiplied form.
    alpha_a, alpha_b = a >> 24 & 255, b >> 24 & 255
    if alpha_a < 16 and alpha_b < 16:
        return True
    tolerance = 3 if min(alpha_a, alpha_b) >= 128 else 24
    return all(abs((a >> s & 255) - (b >> s & 255)) <= tolerance for s in (24, 16, 8, 0))


ICON_32 = rendered_icon(32)


def near(a, b, tolerance=8):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def share_differing(a, b):
    total = differ = 0
    for row_a, row_b in zip(a, b):
        for p, q in zip(row_a, row_b):
            total += 1
            differ += not near(p, q, 24)
    return differ / max(total, 1)


class Run:
    def __init__(self, program, desk, shots, references):
        self.program = program
        self.d = desk
        self.shots = os.path.join(shots, desk.name) if shots else None
        self.references = references
        self.settings = None
        self.ping = None
        self.on_motta = False
        self.openings = 0
        self.pings = 0

    def client(self, window, point):
        x, y, _, _ = self.d.geometry(window)
        return (x + point[0], y + point[1])

    def in_front(self, window, what):
        x, y, w, h = self.d.geometry(window)
        top = self.d.top_at(x + w // 2, y + h // 2)
        check(top is not None and top.id == window.id,
              "%s is not on top at its centre (%s is)" % (what, top and self.d.title(top)))

    def has_keyboard(self, window, what):
        focused = dt.wait_for(lambda: self.d.focused() == window.id, 5)
        if not focused:
            holder = self.d.focused()
            title = holder and self.d.title(self.d.x.create_resource_object("window", holder))
            raise dt.Failure("%s does not have the keyboard (%s has)" % (what, title or holder))

    def owned_by(self, window, owner, what):
        check(self.d.transient_for(window) == owner.id, "%s is not owned by (transient for) its window" % what)

    def has_icon(self, window, what):
        icons = self.d.icon_sizes(window)
        check((32, 32) in icons, "%s carries no 32x32 icon (_NET_WM_ICON)" % what)
        if ICON_32 is not None:
            differing = sum(1 for shown, drawn in zip(icons[(32, 32)], ICON_32) if not same_argb(shown, drawn))
            check(differing == 0, "%s carries another icon than the program's (%d of 1024 pixels differ)"
                  % (what, differing))

    # Looks of the ping window, from its layout: the panel colour round the
    # text, dark letters in the text, and the O&k button or nothing there.
    def ping_look(self):
        # The program may take the window down and up again meanwhile: look
        # at the one that is up now.
        self.ping = self.d.find(size=PING_SIZE, timeout=0) or self.ping
        try:
            x, y, w, h = self.d.geometry(self.ping)
        except dt.error.XError:
            return "gone"
        px = self.d.pixels(x, y, w, h)
        margin = [px[r][c] for r in range(3, h - 3) for c in (3, 4, 5)] + [px[3][c] for c in range(3, 180)]
        if not all(near(p, PANEL) for p in margin):
            return "blank"
        letters = sum(1 for r in range(12, 26) for c in range(8, 180) if sum(px[r][c]) < 300)
        if letters < 40:
            return "blank"
        button = [px[r][c] for r in range(10, 28) for c in range(186, 226)]
        return "result" if sum(1 for p in button if not near(p, PANEL)) > 100 else "waiting"

    def checker_has_keyboard(self):
        # Weston does not let a program give the keyboard back to a window
        # when the one in front of it closes, and may give it elsewhere; a
        # user then clicks the checker's empty part. Elsewhere the program
        # gives it back itself.
        checker = self.program.checker.id
        if self.d.name == "weston" and not dt.wait_for(lambda: self.d.focused() == checker, 2):
            dt.log("NOTE: weston: the keyboard is not on the checker; a click on it gives it back")
            self.d.click(*self.client(self.program.checker, EMPTY))
        self.has_keyboard(self.program.checker, "the checker window")

    def step_error(self):
        self.checker_has_keyboard()
        self.d.key("Return")
        box = self.d.find(title="Korvelin")
        check(box is not None, "no error box after Return on the checker")
        time.sleep(0.3)
        self.in_front(box, "the error box")
        self.has_keyboard(box, "the error box")
        self.has_icon(box, "the error box")
        self.d.shot(self.shots, "error-box", self.d.geometry(box))
        self.d.key("Escape")
        check(self.d.gone(box), "Escape did not close the error box")

    def settings_drawn(self):
        x, y, w, h = self.d.geometry(self.settings)
        return self.d.pixels(x, y, w, h)

    def step_open(self):
        self.checker_has_keyboard()
        self.d.key("F2")
        self.settings = self.d.find(title="Epost oppsett")
        check(self.settings is not None, "F2 on the checker did not open the settings window")
        self.openings += 1
        self.on_motta = False
        reference = self.references.get("settings")
        if reference is None:
            time.sleep(0.5)
            self.references["settings"] = self.settings_drawn()
        else:
            drawn = dt.wait_for(lambda: share_differing(self.settings_drawn(), reference) < 0.01, 3)
            check(drawn, "the settings window is not drawn at opening %d (%.0f %% of it differs)"
                  % (self.openings, 100 * share_differing(self.settings_drawn(), reference)))
        self.in_front(self.settings, "the settings window")
        self.has_keyboard(self.settings, "the settings window")
        self.owned_by(self.settings, self.program.checker, "the settings window")
        self.has_icon(self.settings, "the settings window")
        if self.openings == 1:
            self.d.shot(self.shots, "settings", self.d.geometry(self.settings))

    def step_ping(self):
        if not self.on_motta:
            # From the OK button to the tab bar, two tabs to the left.
            self.d.key("Tab", "Left", "Left")
            self.on_motta = True
            time.sleep(0.2)
        self.pings += 1
        self.d.click(*self.client(self.settings, PING_BUTTON))
        self.ping = self.d.find(size=PING_SIZE, timeout=5)
        check(self.ping is not None, "no ping window after a click on ping")
        # While the ping waits (3 s), its text is on screen: it must be seen
        # before the result is, however slowly a busy machine draws it.
        seen = []
        dt.wait_for(lambda: seen.append(self.ping_look()) or seen[-1] in ("waiting", "result"), 4.0, 0.02)
        check(seen and seen[-1] == "waiting", "ping %d: the waiting text is not on screen while the ping waits (%s)"
              % (self.pings, seen[-1] if seen else "nothing seen"))
        self.in_front(self.ping, "the ping window while it waits")
        self.owned_by(self.ping, self.settings, "the ping window")
        self.has_icon(self.ping, "the ping window")
        if self.pings == 1:
            self.d.shot(self.shots, "ping-waiting", self.d.geometry(self.ping))
        check(dt.wait_for(lambda: self.ping_look() == "result", 10),
              "ping %d: no \"Finner ikke\" result (%s)" % (self.pings, self.ping_look()))
        self.in_front(self.ping, "the ping result")
        self.has_keyboard(self.ping, "the ping result")
        if self.pings == 1:
            self.d.shot(self.shots, "ping-result", self.d.geometry(self.ping))

    def settle(self):
        # Presses made while the ping blocked the program are dropped as it
        # ends; a user's press comes later than that.
        time.sleep(0.6)

    def step_ok(self):
        self.settle()
        self.d.click(*self.client(self.ping, OK_BUTTON))
        check(self.d.gone(self.ping, 5), "a click on O&k did not close the ping window")
        self.has_keyboard(self.settings, "the settings window after the ping")

    def step_return(self):
        self.settle()
        self.d.key("Return")
        check(self.d.gone(self.ping, 5), "Return did not close the ping result")
        self.has_keyboard(self.settings, "the settings window after the ping")

    def step_escape(self):
        self.d.key("Escape")
        check(self.d.gone(self.settings, 5), "Escape did not close the settings window")

    def step_close(self):
        self.d.request_close(self.settings)
        check(self.d.gone(self.settings, 5), "the settings window did not close on a desktop's request")

    def run(self, steps):
        for step in steps:
            getattr(self, "step_" + step)()


def report_screen(desk, work):
    """Prints the windows on screen and where a picture of the screen at the
    failure is."""
    try:
        for line in desk.describe():
            dt.log("  " + line)
    except dt.error.XError as e:
        dt.log("  (the windows cannot be listed: %s)" % e)
    path = os.path.join(work, "screen-at-failure.png")
    if desk.screen_shot(path):
        dt.log("  the screen at the failure: " + path)


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    binary = argv[1]
    wms = [a for a in argv[2:] if not a.startswith("--")] or ["none", "openbox", "xfwm4", "weston"]
    # The settings window as drawn without a window manager is what every
    # other run is compared with.
    if wms[0] != "none":
        wms.insert(0, "none")
    if not dt.in_private_network(argv):
        print("SKIP: needs root for a network namespace of its own (the pings must stay on the machine)")
        return 0
    dt.set_up_private_network(QUIET_HOST)
    dt.echo_replies(False)
    shots = os.environ.get("KORVELIN_SHOTS")
    references = {}
    failed = 0
    for wm in wms:
        procs = dt.Processes()
        work = dt.work_folder()
        desk = None
        try:
            desk = dt.start_window_manager(procs, wm, work)
            program = dt.Program(procs, binary, desk, work, pop3_server=QUIET_HOST)
            # The pointer away from every window: the keyboard must go
            # where the program put it, not where the pointer is.
            desk.move_pointer_away()
            time.sleep(0.3)
            run = Run(program, desk, shots, references)
            run.has_icon(program.checker, "the checker window")
            dot = run.client(program.checker, DOT)
            check(dt.wait_for(lambda: near(desk.pixels(dot[0], dot[1], 1, 1)[0][0], (0, 128, 0)), 5),
                  "the checker window is not drawn")
            desk.shot(run.shots, "checker", desk.geometry(program.checker))
            for name, steps in SEQUENCES:
                try:
                    run.run(steps)
                    dt.log("PASS: %s: %s" % (wm, name))
                except dt.Failure as e:
                    failed += 1
                    dt.log("FAIL: %s: %s: %s (logs in %s)" % (wm, name, e, work))
                    report_screen(desk, work)
                    break
            status = program.quit()
            if status != 0:
                failed += 1
                dt.log("FAIL: %s: the program ended with status %s on a close request" % (wm, status))
        except dt.Skip as e:
            dt.log("SKIP: %s: %s" % (wm, e))
        except dt.Failure as e:
            failed += 1
            dt.log("FAIL: %s: %s (logs in %s)" % (wm, e, work))
            if desk is not None:
                report_screen(desk, work)
        finally:
            procs.stop_all()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
