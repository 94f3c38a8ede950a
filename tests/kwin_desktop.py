#!/usr/bin/python3
"""What a KDE desktop does to a window, through a headless KWin's own D-Bus services.

kwin_desktop.py ready      waits until KWin takes requests (up to 5 s)
kwin_desktop.py shot FILE  writes what the active window shows, without its title bar, to FILE (PPM)
kwin_desktop.py names      prints what KDE's task manager takes from the active window: its
                           caption ("name") and the desktop entry KWin matched it to ("app_id")
kwin_desktop.py close PID  asks the window of process PID to close, as its close button does, by a
                           KWin script; prints the time (seconds since the epoch) it was asked
KWin lets only a program whose desktop entry lists "org.kde.KWin.ScreenShot2" take screenshots:
start_kwin gives it one.
"""
import os
import sys
import time

from gi.repository import Gio, GLib

BUS = Gio.bus_get_sync(Gio.BusType.SESSION)


def call(path, interface, method, args, reply, fds=None):
    answer = BUS.call_with_unix_fd_list_sync("org.kde.KWin", path, interface, method, args,
                                             GLib.VariantType(reply), Gio.DBusCallFlags.NONE, 10000,
                                             fds, None)
    return answer[0].unpack()


def ready():
    """A first screenshot, once KWin's screenshot service is there: for it KWin builds its cache of
    desktop entries, in which it looks up the caller's, and that takes a few tenths of a second."""
    for _ in range(100):
        try:
            return capture("CaptureActiveScreen")
        except GLib.Error:
            time.sleep(0.05)


def capture(method, file=None):
    """Takes a screenshot (CaptureActiveWindow: of the active window, without its title bar) and
    returns its window's KWin id; with file, writes its content there."""
    read, write = os.pipe()
    fds = Gio.UnixFDList.new()
    options = {"include-decoration": GLib.Variant("b", False)}
    found = call("/org/kde/KWin/ScreenShot2", "org.kde.KWin.ScreenShot2", method,
                 GLib.Variant("(a{sv}h)", (options, fds.append(write))), "(a{sv})", fds)[0]
    os.close(write)
    fds = None  # closes KWin's copy of the pipe here, so that its end is seen
    data = bytearray()
    while chunk := os.read(read, 1 << 20):
        data += chunk
    if file:
        width, height, stride = found["width"], found["height"], found["stride"]
        rgb = bytearray(width * height * 3)
        for row in range(height):
            line = data[row * stride:row * stride + width * 4]
            for channel in range(3):  # ARGB32 words are B, G, R, A in memory
                rgb[row * width * 3 + channel:(row + 1) * width * 3:3] = line[2 - channel::4]
        with open(file, "wb") as out:
            out.write(b"P6\n%d %d\n255\n" % (width, height) + rgb)
    return found.get("windowId")


def names():
    info = call("/KWin", "org.kde.KWin", "getWindowInfo", GLib.Variant("(s)", (capture("CaptureActiveWindow"),)),
                "(a{sv})")[0]
    print("name", info["caption"])
    print("app_id", info["desktopFile"])


def close(pid):
    with open(os.path.join(os.environ["XDG_RUNTIME_DIR"], "close-%d.js" % pid), "w") as script:
        script.write("const windows = workspace.windowList ? workspace.windowList() : "
                     "workspace.clientList();\n"
                     "for (const window of windows) if (window.pid == %d) window.closeWindow();\n"
                     % pid)
    name = "close-%d" % pid
    call("/Scripting", "org.kde.kwin.Scripting", "loadScript",
         GLib.Variant("(ss)", (script.name, name)), "(i)")
    print("%.6f" % time.time(), flush=True)
    # The script runs after start has returned: it stays loaded, and its file stays, for that.
    call("/Scripting", "org.kde.kwin.Scripting", "start", None, "()")


if __name__ == "__main__":
    command = sys.argv[1:2]
    if command == ["ready"]:
        ready()
    elif command == ["shot"]:
        capture("CaptureActiveWindow", sys.argv[2])
    elif command == ["names"]:
        names()
    elif command == ["close"]:
        close(int(sys.argv[2]))
    else:
        sys.exit(__doc__)
