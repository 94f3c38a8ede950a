#!/usr/bin/python3
"""Speaks to the show's window as a window manager does, over the X protocol.

x_desktop.py ping PID   pings the window (_NET_WM_PING) every 100 ms until it goes away and
                        prints each answer's delay in ms, or "none" for a ping unanswered in 2 s
x_desktop.py close PID  asks the window to close, as its close button does (WM_DELETE_WINDOW), and
                        prints the time (seconds since the epoch) at which the X server took it
x_desktop.py id PID     prints the window's id
x_desktop.py names PID ICON
                        prints what a dock shows of the window: its WM_NAME, _NET_WM_NAME,
                        WM_CLASS (instance and class) and the size of its first _NET_WM_ICON,
                        which it writes to the file ICON (PPM, on black). In a sway session with no
                        X server, the window's name and app id from sway's tree instead
"""
import json
import os
import subprocess
import sys
import time

from Xlib import X, display, error
from Xlib.protocol import event


def find_window(disp, pid, wait=5.0):
    """The top-level window whose _NET_WM_PID is pid: a child of the root window, or of the frame
    that a window manager put around it (one in the manager's _NET_CLIENT_LIST)."""
    pid_atom = disp.intern_atom("_NET_WM_PID")
    root = disp.screen().root
    deadline = time.monotonic() + wait
    while time.monotonic() < deadline:
        managed = root.get_full_property(disp.intern_atom("_NET_CLIENT_LIST"), X.AnyPropertyType)
        managed = [disp.create_resource_object("window", w) for w in managed.value] if managed else []
        for window in root.query_tree().children + managed:
            try:
                prop = window.get_full_property(pid_atom, X.AnyPropertyType)
            except error.XError:
                continue
            if prop and prop.value[0] == pid:
                return window
        time.sleep(0.05)
    sys.exit(f"no window of process {pid}")


def send_protocol(disp, window, protocol, timestamp):
    message = event.ClientMessage(
        window=window, client_type=disp.intern_atom("WM_PROTOCOLS"),
        data=(32, [disp.intern_atom(protocol), timestamp, window.id, 0, 0]))
    window.send_event(message, event_mask=0)
    disp.flush()


def ping(disp, window):
    root = disp.screen().root
    root.change_attributes(event_mask=X.SubstructureNotifyMask)
    ping_atom = disp.intern_atom("_NET_WM_PING")
    serial = 0
    while True:
        serial += 1
        sent = time.monotonic()
        try:
            send_protocol(disp, window, "_NET_WM_PING", serial)
        except (error.XError, error.ConnectionClosedError):
            return
        answered = None
        while answered is None and time.monotonic() - sent < 2:
            while disp.pending_events():
                reply = disp.next_event()
                if (reply.type == X.ClientMessage and reply.window.id == root.id
                        and reply.data[1][0] == ping_atom and reply.data[1][1] == serial):
                    answered = time.monotonic() - sent
            time.sleep(0.001)
        try:
            window.get_geometry()
        except (error.XError, error.ConnectionClosedError):
            return  # the window is gone: the show has ended
        print(f"{answered * 1000:.1f}" if answered is not None else "none", flush=True)
        time.sleep(max(0, 0.1 - (time.monotonic() - sent)))


def names(disp, window, icon_file):
    def text(name, kind):
        prop = window.get_full_property(disp.intern_atom(name), kind)
        value = prop.value if prop else b""
        return value.decode() if isinstance(value, bytes) else value
    print("WM_NAME", text("WM_NAME", X.AnyPropertyType))
    print("_NET_WM_NAME", text("_NET_WM_NAME", disp.intern_atom("UTF8_STRING")))
    print("WM_CLASS", *text("WM_CLASS", X.AnyPropertyType).split("\0")[:2])
    prop = window.get_full_property(disp.intern_atom("_NET_WM_ICON"), X.AnyPropertyType)
    if not prop or len(prop.value) < 2:
        print("_NET_WM_ICON none")
        return
    width, height = prop.value[0], prop.value[1]
    print(f"_NET_WM_ICON {width}x{height}")
    with open(icon_file, "wb") as ppm:
        ppm.write(f"P6 {width} {height} 255\n".encode())
        for argb in prop.value[2:2 + width * height]:
            alpha = (argb >> 24) & 255
            ppm.write(bytes((argb >> shift & 255) * alpha // 255 for shift in (16, 8, 0)))


def sway_names(pid):
    def find(node):
        if node.get("pid") == pid:
            return node
        for child in node.get("nodes", []) + node.get("floating_nodes", []):
            found = find(child)
            if found:
                return found
        return None
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        tree = json.loads(subprocess.run(["swaymsg", "-t", "get_tree"], capture_output=True,
                                         check=True).stdout)
        window = find(tree)
        if window:
            print("name", window.get("name"))
            print("app_id", window.get("app_id"))
            return
        time.sleep(0.05)
    sys.exit(f"no window of process {pid}")


def main():
    commands = {"ping": 3, "close": 3, "id": 3, "names": 4}
    if len(sys.argv) < 2 or commands.get(sys.argv[1]) != len(sys.argv):
        sys.exit(__doc__)
    if sys.argv[1] == "names" and not os.environ.get("DISPLAY"):
        sway_names(int(sys.argv[2]))
        return
    disp = display.Display()
    disp.set_error_handler(lambda *args: None)  # a window gone at the end is no error here
    window = find_window(disp, int(sys.argv[2]))
    if sys.argv[1] == "ping":
        ping(disp, window)
    elif sys.argv[1] == "id":
        print(hex(window.id))
    elif sys.argv[1] == "names":
        names(disp, window, sys.argv[3])
    else:
        send_protocol(disp, window, "WM_DELETE_WINDOW", X.CurrentTime)
        # A round trip before exiting: the server may drop what a client sent just before it hung up.
        disp.sync()
        print(f"{time.time():.9f}")


if __name__ == "__main__":
    main()
