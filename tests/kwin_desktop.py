#!/usr/bin/python3
"""What a KDE desktop does to a window, through a headless KWin's own D-Bus services.

kwin_desktop.py ready      waits until KWin takes requests (up to 5 s)
kwin_desktop.py shot FILE  writes what the active window shows, without its title bar, to FILE (PPM)
kwin_desktop.py names PID  prints what KDE's task manager takes from the window of process PID:
                           its caption ("name") and the desktop entry KWin matched it to ("app_id")
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
    """Waits for KWin's effects, then takes a first screenshot: for it KWin builds its cache of
    desktop entries, in which it looks up the caller's, and that takes a few tenths of a second.
    Says so where KWin takes no screenshots: without OpenGL (KWin 6 with no GPU)."""
    for _ in range(100):
        try:
            if not call("/Effects", "org.kde.kwin.Effects", "isEffectSupported",
                        GLib.Variant("(s)", ("screenshot",)), "(b)")[0]:
                print("KWin takes no screenshots here: it composites without OpenGL")
                return
            capture("CaptureActiveScreen")
            return
        except GLib.Error:
            time.sleep(0.05)


def capture(method, file=None):
    """Takes a screenshot (CaptureActiveWindow: of the active window, without its title bar); with
    file, writes its content there."""
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


def names(pid):
    """Printed by a KWin script into KWin's log (start_kwin turns its messages on)."""
    log = os.path.join(os.environ["XDG_RUNTIME_DIR"], "kwin.log")
    marker = "window-names-%d " % pid
    run_script("names-%d" % pid, 'print("%sname " + window.caption); '
               'print("%sapp_id " + window.desktopFileName);' % (marker, marker), pid)
    for _ in range(100):
        with open(log, errors="replace") as text:
            found = [line.split(marker, 1)[1] for line in text if marker in line]
        if len(found) == 2:
            print("".join(found), end="")
            return
        time.sleep(0.05)


def run_script(name, action, pid):
    """Runs action on each window of process pid, in a KWin script."""
    with open(os.path.join(os.environ["XDG_RUNTIME_DIR"], name + ".js"), "w") as script:
        script.write("const windows = workspace.windowList ? workspace.windowList() : "
                     "workspace.clientList();\n"
                     "for (const window of windows) if (window.pid == %d) { %s }\n" % (pid, action))
    call("/Scripting", "org.kde.kwin.Scripting", "loadScript",
         GLib.Variant("(ss)", (script.name, name)), "(i)")
    # The script runs after start has returned: it stays loaded, and its file stays, for that.
    call("/Scripting", "org.kde.kwin.Scripting", "start", None, "()")


def close(pid):
    print("%.6f" % time.time(), flush=True)
    run_script("close-%d" % pid, "window.closeWindow();", pid)


if __name__ == "__main__":
    command = sys.argv[1:2]
    if command == ["ready"]:
        ready()
    elif command == ["shot"]:
        capture("CaptureActiveWindow", sys.argv[2])
    elif command == ["names"]:
        names(int(sys.argv[2]))
    elif command == ["close"]:
        close(int(sys.argv[2]))
    else:
        sys.exit(__doc__)
