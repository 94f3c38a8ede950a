#!/usr/bin/python3
"""What a GNOME desktop does to a window, through a headless mutter's own D-Bus services.

usage: mutter_desktop.py
Opens a remote-desktop session with a screen cast of the monitor, says "ready", then reads commands
from stdin, one a line, and answers each when done:
  shot FILE  writes what the window shows now to FILE (PPM); answers "done" and the time its
             frame came from mutter
  close      presses Alt+F4, as the title bar's close button does; answers the time it did
The session lasts until stdin ends.
"""
import sys
import time

import gi
gi.require_version("Gst", "1.0")
from gi.repository import Gio, GLib, Gst  # noqa: E402

BUS = Gio.bus_get_sync(Gio.BusType.SESSION)
ALT, F4 = 0xFFE9, 0xFFC1
TITLE_BAR = (8, 7, 6)


def call(path, interface, method, args=None, reply="()", service=None):
    service = service or ".".join(interface.split(".")[:4])  # org.gnome.Mutter.<service>[.<object>]
    return BUS.call_sync(service, path, interface, method, args, GLib.VariantType(reply),
                         Gio.DBusCallFlags.NONE, 5000, None).unpack()


def start_session():
    """The remote-desktop session and the PipeWire node of its screen cast."""
    desktop = call("/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop",
                   "CreateSession", None, "(o)")[0]
    session_id = call(desktop, "org.freedesktop.DBus.Properties", "Get",
                      GLib.Variant("(ss)", ("org.gnome.Mutter.RemoteDesktop.Session",
                                            "SessionId")), "(v)",
                      "org.gnome.Mutter.RemoteDesktop")[0]
    cast = call("/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast", "CreateSession",
                GLib.Variant("(a{sv})", ({"remote-desktop-session-id":
                                          GLib.Variant("s", session_id)},)), "(o)")[0]
    stream = call(cast, "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor",
                  GLib.Variant("(sa{sv})", ("", {})), "(o)")[0]
    loop, node = GLib.MainLoop(), []

    def stream_added(_bus, _sender, _path, _interface, _signal, params):
        node.append(params.unpack()[0])
        loop.quit()
    BUS.signal_subscribe("org.gnome.Mutter.ScreenCast", "org.gnome.Mutter.ScreenCast.Stream",
                         "PipeWireStreamAdded", stream, None, Gio.DBusSignalFlags.NONE,
                         stream_added)
    call(desktop, "org.gnome.Mutter.RemoteDesktop.Session", "Start")
    GLib.timeout_add_seconds(5, loop.quit)
    loop.run()
    if not node:
        sys.exit("mutter's screen cast did not start")
    return desktop, node[0]


def window_content(pixel, width, height):
    """The top left corner of the window's 1024 x 768 content, just below libdecor's title bar
    (its cairo plugin paints it one fixed colour), or None when there is no title bar."""
    def title(x, y):
        return all(abs(a - b) <= 3 for a, b in zip(pixel(x, y), TITLE_BAR))
    x = width // 2 - 300  # left of the title, right of the window's left edge
    for top in range(height):
        if title(x, top):
            while top < height and title(x, top):
                top += 1
            left = x
            while left > 0 and title(left - 1, top - 1):
                left -= 1
            return left, top
    return None


def save_frame(sample, file_name):
    """Writes the window's content, or the whole monitor without a window, as PPM."""
    caps = sample.get_caps().get_structure(0)
    width, height = caps.get_value("width"), caps.get_value("height")
    ok, frame = sample.get_buffer().map(Gst.MapFlags.READ)
    data, stride = bytes(frame.data), len(frame.data) // height  # BGRx
    sample.get_buffer().unmap(frame)
    corner = window_content(lambda x, y: data[y * stride + x * 4:y * stride + x * 4 + 3][::-1],
                            width, height)
    left, top = corner or (0, 0)
    if corner:
        width, height = min(1024, width - left), min(768, height - top)
    rgb = bytearray(width * height * 3)
    for row in range(height):
        start = (top + row) * stride + left * 4
        line = data[start:start + width * 4]
        for channel, offset in ((0, 2), (1, 1), (2, 0)):
            rgb[row * width * 3 + channel:(row + 1) * width * 3:3] = line[offset::4]
    with open(file_name, "wb") as ppm:
        ppm.write(f"P6 {width} {height} 255\n".encode() + rgb)


def main():
    Gst.init(None)
    desktop, node = start_session()
    # The screen cast's latest frame is kept as it came, and converted only when a shot asks.
    pipeline = Gst.parse_launch(f"pipewiresrc path={node} ! video/x-raw,format=BGRx ! "
                                "appsink name=latest max-buffers=1 drop=true")
    latest = pipeline.get_by_name("latest")
    arrived = {}  # a frame's time stamp: the wall time it came

    def arriving(_pad, info):
        arrived[info.get_buffer().pts] = time.time()
        return Gst.PadProbeReturn.OK
    latest.get_static_pad("sink").add_probe(Gst.PadProbeType.BUFFER, arriving)
    pipeline.set_state(Gst.State.PLAYING)
    print("ready", flush=True)
    shown = None  # mutter casts a frame only when the screen changes
    for line in sys.stdin:
        command = line.split()
        if command[:1] == ["shot"]:
            # The first frame cast after the request: on a loaded host the one waiting may be
            # older than the moment asked for.
            waiting = latest.emit("try-pull-sample", 0) or shown
            wait = Gst.SECOND // 2 if waiting else 2 * Gst.SECOND
            shown = latest.emit("try-pull-sample", wait) or waiting
            if shown:
                save_frame(shown, command[1])
            print(f"done {arrived.get(shown.get_buffer().pts, 0) if shown else 0:.6f}", flush=True)
        elif command == ["close"]:
            for keysym, pressed in ((ALT, True), (F4, True), (F4, False), (ALT, False)):
                call(desktop, "org.gnome.Mutter.RemoteDesktop.Session", "NotifyKeyboardKeysym",
                     GLib.Variant("(ub)", (keysym, pressed)))
            print(f"{time.time():.9f}", flush=True)
    pipeline.set_state(Gst.State.NULL)
    call(desktop, "org.gnome.Mutter.RemoteDesktop.Session", "Stop")


if __name__ == "__main__":
    main()
