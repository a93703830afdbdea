"""What the desktop tests share: X servers and window managers of their own,
the real program started in a folder of its own, and what the X server says
about its windows: where they are, which lies on top, who owns whom, which
has the keyboard, what is on screen."""

import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import Xlib.ext
from Xlib import X, Xatom, display, error, protocol  # noqa: F401 (error is used by the tests too)

# How long an X tool (xdotool, import) may take before the test fails.
TOOL_TIMEOUT = 30
# Under weston, the view is this much wider than weston's window: a strip
# the pointer can leave the window into.
STRIP = 16

# The tests need no extension, and python-xlib 0.33 fails on the RANDR
# events Xwayland announces: load none.
Xlib.ext.__extensions__ = []


class Skip(Exception):
    """The environment cannot run this part; the reason is printed."""


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(probe, timeout=10.0, step=0.05):
    """Calls probe until it returns something true; returns that, or the last
    value once timeout has passed."""
    end = time.monotonic() + timeout
    while True:
        value = probe()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


def log(text):
    print(text, flush=True)


class Processes:
    """Processes started by a test, each ended when the test is done."""

    def __init__(self):
        self.started = []
        # Runtime folders of the desktops started: helpers the window
        # managers start on their own (xfconfd, the accessibility bus) are
        # found by them and ended too.
        self.runtime_dirs = []

    def start(self, args, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        p = subprocess.Popen(args, **kwargs)
        self.started.append(p)
        return p

    def stop_all(self):
        for p in reversed(self.started):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.started = []
        for runtime in self.runtime_dirs:
            end_processes_of(runtime)
        self.runtime_dirs = []


def end_processes_of(runtime):
    """Ends the processes that run with XDG_RUNTIME_DIR set to runtime: a
    folder only this test made, so they are its own."""
    marker = b"XDG_RUNTIME_DIR=" + os.fsencode(runtime)
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if marker in environ:
            try:
                os.kill(int(entry), signal.SIGTERM)
            except OSError:
                pass


def start_xvfb(procs, size="800x600"):
    """An Xvfb display of the test's own; returns its name (":N")."""
    read, write = os.pipe()
    procs.start(["Xvfb", "-displayfd", str(write), "-screen", "0", size + "x24", "-nolisten", "tcp", "-noreset"],
                pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    with os.fdopen(read, "rb") as f:
        while not number.endswith(b"\n"):
            chunk = f.read(1)
            if not chunk:
                break
            number += chunk
    check(number.strip(), "Xvfb did not start")
    return ":" + number.decode().strip()


class Desktop:
    """One screen as the user sees it. view is the X display whose root
    window shows what is on screen and takes the test's input; app is the X
    display the program connects to (the same one, except under weston,
    where the program talks to Xwayland inside weston's window on view)."""

    def __init__(self, name, view, app, env):
        self.name = name
        self.view = view
        self.app = app
        self.env = env
        self.x = display.Display(app)
        self.root = self.x.screen().root
        self.atoms = {}
        # Weston's window on the view, and its width (None elsewhere).
        self.output = None
        self.output_width = 0

    def atom(self, name):
        if name not in self.atoms:
            self.atoms[name] = self.x.intern_atom(name)
        return self.atoms[name]

    def tool(self, *args, on_view=True, capture=False):
        """Runs an X tool against the view (or the program's display); one
        that hangs fails the test after 30 s instead of stopping it."""
        env = dict(self.env, DISPLAY=self.view if on_view else self.app)
        try:
            return subprocess.run(list(args), env=env, check=False, capture_output=capture, text=capture,
                                  stdin=subprocess.DEVNULL, timeout=TOOL_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not end within %d s" % (" ".join(args), TOOL_TIMEOUT))

    # Input goes in where the user's would: through the view's X server.
    # Under weston that is weston's own window there, whose X11 backend
    # follows the pointer by its moves relative to the last one seen; a
    # pointer that enters the window anew is placed where it enters. So
    # each press comes after the pointer has left the window (into the strip
    # beside it) and entered it again at the place, and after Xwayland has
    # been told the pointer is there.
    def key(self, *keys):
        self.tool("xdotool", "key", "--delay", "40", *keys)

    def click(self, x, y, button=1):
        if self.output is not None:
            self.tool("xdotool", "mousemove", "--sync", str(self.output_width + STRIP // 2), str(y))
            self.tool("xdotool", "mousemove", "--sync", str(x), str(y))
            check(wait_for(lambda: self.app_pointer() == (x, y), 5),
                  "Xwayland does not see the pointer at %d,%d (it is at %s)" % (x, y, self.app_pointer()))
            self.tool("xdotool", "sleep", "0.1", "click", str(button))
        else:
            self.tool("xdotool", "mousemove", "--sync", str(x), str(y), "sleep", "0.1", "click", str(button))

    def move_pointer(self, x, y):
        self.tool("xdotool", "mousemove", str(x), str(y))

    def move_pointer_away(self):
        """The pointer off every window (under weston: off weston's window)."""
        if self.output is not None:
            self.move_pointer(self.output_width + STRIP // 2, 5)
        else:
            self.move_pointer(5, 5)

    def app_pointer(self):
        p = self.root.query_pointer()
        return (p.root_x, p.root_y)

    # What the X server says.
    def prop(self, window, name, kind=X.AnyPropertyType):
        try:
            p = window.get_full_property(self.atom(name), kind)
        except error.XError:
            return None
        return p.value if p else None

    def title(self, window):
        value = self.prop(window, "_NET_WM_NAME") or self.prop(window, "WM_NAME")
        if value is None:
            return None
        return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)

    def clients(self):
        """Every mapped client window (one with WM_STATE, or a mapped child
        of the root without a window manager), in stacking order, bottom first."""
        found = []

        def walk(window, depth):
            try:
                attrs = window.get_attributes()
                children = window.query_tree().children
            except error.XError:
                return
            if attrs.map_state != X.IsViewable:
                return
            if self.prop(window, "WM_STATE") is not None or (depth == 1 and self.title(window)):
                found.append(window)
                return
            for child in children:
                walk(child, depth + 1)

        for child in self.root.query_tree().children:
            walk(child, 1)
        return found

    def describe(self):
        """A line for each client window, top first: id, title, rectangle,
        and which has the keyboard."""
        focused = self.focused()
        return ["0x%x %r at %s%s" % (w.id, self.title(w), self.geometry(w), " (has the keyboard)"
                                     if w.id == focused else "") for w in reversed(self.clients())]

    def geometry(self, window):
        """The client window's rectangle on the screen: (x, y, w, h)."""
        g = window.get_geometry()
        t = window.translate_coords(self.root, 0, 0)
        return (-t.x, -t.y, g.width, g.height)

    def find(self, title=None, size=None, timeout=10.0):
        def probe():
            for w in reversed(self.clients()):
                if title is not None and self.title(w) != title:
                    continue
                if size is not None and self.geometry(w)[2:] != size:
                    continue
                return w
            return None
        return wait_for(probe, timeout)

    def gone(self, window, timeout=10.0):
        return wait_for(lambda: window.id not in [w.id for w in self.clients()], timeout)

    def top_at(self, x, y):
        """The client window that lies on top at a screen position."""
        top = None
        for w in self.clients():
            gx, gy, gw, gh = self.geometry(w)
            if gx <= x < gx + gw and gy <= y < gy + gh:
                top = w
        return top

    def frame(self, window):
        """The window's rectangle with the frame the window manager put
        round it (_NET_FRAME_EXTENTS)."""
        x, y, w, h = self.geometry(window)
        extents = self.prop(window, "_NET_FRAME_EXTENTS", Xatom.CARDINAL)
        left, right, top, bottom = list(extents) if extents is not None and len(extents) == 4 else (0, 0, 0, 0)
        return (x - left, y - top, w + left + right, h + top + bottom)

    def transient_for(self, window):
        value = self.prop(window, "WM_TRANSIENT_FOR", Xatom.WINDOW)
        return value[0] if value is not None and len(value) else None

    def focused(self):
        """The client window that has the keyboard."""
        focus = self.x.get_input_focus().focus
        if not hasattr(focus, "id"):
            return None
        ids = {w.id for w in self.clients()}
        window = focus
        while window is not None and window.id != self.root.id:
            if window.id in ids:
                return window.id
            try:
                window = window.query_tree().parent
            except error.XError:
                return None
        active = self.prop(self.root, "_NET_ACTIVE_WINDOW", Xatom.WINDOW)
        return active[0] if active is not None and len(active) and active[0] in ids else None

    def icon_sizes(self, window):
        """The sizes in _NET_WM_ICON, and each image's ARGB values by size."""
        data = self.prop(window, "_NET_WM_ICON", Xatom.CARDINAL)
        images = {}
        i = 0
        while data is not None and i + 2 <= len(data):
            w, h = data[i], data[i + 1]
            images[(w, h)] = list(data[i + 2:i + 2 + w * h])
            i += 2 + w * h
        return images

    def request_close(self, window):
        """Asks a window to close the way a desktop does."""
        message = protocol.event.ClientMessage(window=window, client_type=self.atom("WM_PROTOCOLS"),
                                               data=(32, [self.atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        window.send_event(message, event_mask=X.NoEventMask)
        self.x.flush()

    # What is on screen, read from the view's X server.
    def pixels(self, x, y, w, h):
        """RGB tuples of a screen area, row by row."""
        v = display.Display(self.view)
        try:
            image = v.screen().root.get_image(x, y, w, h, X.ZPixmap, 0xFFFFFFFF)
        finally:
            v.close()
        raw = image.data
        rows = []
        stride = len(raw) // h
        for row in range(h):
            line = raw[row * stride:row * stride + w * 4]
            rows.append([(line[i + 2], line[i + 1], line[i]) for i in range(0, w * 4, 4)])
        return rows

    def shot(self, folder, name, area):
        if not folder:
            return
        os.makedirs(folder, exist_ok=True)
        x, y, w, h = area
        self.tool("import", "-silent", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                  os.path.join(folder, name + ".png"))

    def screen_shot(self, path):
        """The whole view as a PNG file; True once written."""
        try:
            done = self.tool("import", "-silent", "-window", "root", path).returncode == 0
        except Failure:
            return False
        return done and os.path.exists(path)


def weston_window(view, width, height):
    """The id of weston's window on the view (a mapped top-level window of
    weston's size at 0,0), or None."""
    v = display.Display(view)
    try:
        for w in v.screen().root.query_tree().children:
            g = w.get_geometry()
            if w.get_attributes().map_state == X.IsViewable and (g.x, g.y, g.width, g.height) == (0, 0, width, height):
                return w.id
    finally:
        v.close()
    return None


def start_window_manager(procs, name, work, size="800x600"):
    """Starts a window manager on an Xvfb display of its own. Returns the
    Desktop, or raises Skip with the reason when it cannot run here. Under
    weston, size is that of weston's window; the X server's screen is a
    strip wider."""
    env = dict(os.environ)
    env.pop("WAYLAND_DISPLAY", None)
    env.pop("QT_QPA_PLATFORM", None)
    env["XDG_RUNTIME_DIR"] = tempfile.mkdtemp(prefix="runtime-", dir=work)
    procs.runtime_dirs.append(env["XDG_RUNTIME_DIR"])
    # No accessibility bus for the window manager's toolkit.
    env["NO_AT_BRIDGE"] = "1"
    width, height = (int(n) for n in size.split("x"))
    view = start_xvfb(procs, "%dx%d" % (width + STRIP, height) if name == "weston" else size)
    env["DISPLAY"] = view
    log_file = open(os.path.join(work, name + ".log"), "w")
    if name == "none":
        return Desktop(name, view, view, env)
    if name in ("openbox", "xfwm4"):
        program = shutil.which(name)
        if not program:
            raise Skip(name + " is not installed (Debian package " + name + ")")
        args = [program]
        if name == "xfwm4":
            # Its settings come over D-Bus; a session bus of its own keeps
            # the user's out of it.
            bus = shutil.which("dbus-run-session")
            if not bus:
                raise Skip("xfwm4 needs dbus-run-session (Debian package dbus-bin)")
            args = [bus, "--", program, "--replace"]
        wm = procs.start(args, env=env, stdout=log_file, stderr=subprocess.STDOUT)
        desktop = Desktop(name, view, view, env)
        supporting = wait_for(lambda: wm.poll() is not None
                              or desktop.prop(desktop.root, "_NET_SUPPORTING_WM_CHECK") is not None, 15)
        if wm.poll() is not None:
            raise Skip("%s ended at start (see %s)" % (name, log_file.name))
        if not supporting:
            raise Skip(name + " did not take the screen within 15 s")
        return desktop
    if name == "weston":
        program = shutil.which("weston")
        if not program or not shutil.which("Xwayland"):
            raise Skip("weston with Xwayland is not installed (Debian packages weston, xwayland)")
        weston_log = os.path.join(work, "weston.log")
        wm = procs.start([program, "--backend=x11-backend.so", "--use-pixman", "--xwayland", "--width=%d" % width,
                          "--height=%d" % height, "--socket=korvelin-test-%d" % os.getpid(), "--idle-time=0",
                          "--log=" + weston_log], env=env, stdout=log_file, stderr=subprocess.STDOUT)

        def xwayland_display():
            try:
                with open(weston_log) as f:
                    for line in f:
                        if "xserver listening on display" in line:
                            return line.rsplit(" ", 1)[1].strip()
            except OSError:
                pass
            return wm.poll() is not None and "ended"
        app = wait_for(xwayland_display, 15)
        if not app or app == "ended":
            raise Skip("weston did not start Xwayland (see %s)" % weston_log)
        desktop = Desktop(name, view, app, dict(env))
        output = wait_for(lambda: weston_window(view, width, height), 10)
        check(output is not None, "weston's window is not on the X server")
        # Weston's window has the keyboard, as a desktop gives it to the
        # window the user works in; so keys reach it wherever the pointer is.
        v = display.Display(view)
        try:
            v.create_resource_object("window", output).set_input_focus(X.RevertToPointerRoot, X.CurrentTime)
            v.sync()
        finally:
            v.close()
        desktop.output = output
        desktop.output_width = width
        return desktop
    raise Skip("unknown window manager " + name)


class Program:
    """The real program in a configuration folder of its own."""

    def __init__(self, procs, binary, desktop, work, pop3_server="", pop3_port=0, scale=None):
        self.desktop = desktop
        folder = tempfile.mkdtemp(prefix="conf-%s-" % desktop.name, dir=work)
        open(os.path.join(folder, "KORVELIN.INI"), "w").close()
        user = pwd.getpwuid(os.getuid()).pw_name.upper()
        with open(os.path.join(folder, user + ".INI"), "w") as f:
            f.write("[Pop3]\nServerName=%s\nServerPort=%d\nServerUser=test\n" % (pop3_server, pop3_port))
        env = dict(desktop.env, DISPLAY=desktop.app)
        env.pop("QT_QPA_PLATFORM", None)
        if scale:
            env["QT_SCALE_FACTOR"] = str(scale)
        self.process = procs.start([binary], cwd=folder, env=env, stdout=subprocess.DEVNULL,
                                   stderr=open(os.path.join(work, "program-%s.log" % desktop.name), "a"))
        self.checker = desktop.find(title="Korvelin INBOX sjekker", timeout=15)
        check(self.checker is not None, "no checker window on screen")

    def quit(self):
        self.desktop.request_close(self.checker)
        try:
            return self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return None


def run_table(rows, runner):
    """Runs each row; prints PASS, FAIL or SKIP for it; returns the exit status."""
    failed = 0
    for row in rows:
        try:
            runner(row)
            log("PASS: %s" % (row,))
        except Skip as e:
            log("SKIP: %s: %s" % (row, e))
        except Failure as e:
            failed += 1
            log("FAIL: %s: %s" % (row, e))
    return 1 if failed else 0


def in_private_network(argv):
    """Moves the test into a network namespace of its own (root only): runs
    it again there with --in-namespace. Returns True once inside, False when
    that cannot be done."""
    if "--in-namespace" in argv:
        return True
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return False
    os.execvp("unshare", ["unshare", "--net", "--", sys.executable] + argv + ["--in-namespace"])
    return False


def set_up_private_network(address):
    for command in (["ip", "link", "set", "lo", "up"], ["ip", "addr", "add", address + "/32", "dev", "lo"]):
        subprocess.run(command, check=True)


def echo_replies(on):
    with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as f:
        f.write("0" if on else "1")


def work_folder():
    return tempfile.mkdtemp(prefix="korvelin-desktop-")
