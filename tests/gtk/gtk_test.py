#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""ombrix-discovery-gtk driven as a user would: a real window under Xvfb,
read through the accessibility bus, clicked with xdotool, on the isolated
test network with simulated cameras on host 2.

Run through tests/testnet.sh and dbus-run-session:
    gtk_test.py PATH-TO-ombrix-discovery-gtk PATH-TO-obx-simulator
"""
import csv
import ctypes
import io
import os
import subprocess
import sys
import tempfile
import time
import unittest

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

BINARY = None
SIMULATOR = None
POOL_FIRST = os.environ.get("OBX_TESTNET_POOL", "192.0.2.100 0").split()[0]


def pool(n):
    base = POOL_FIRST.rsplit(".", 1)
    return "%s.%d" % (base[0], int(base[1]) + n)


CAMERA = pool(0)
BLANK_HOST_CAMERA = pool(1)
UNNAMED = pool(2)
TOOL = pool(3)
ODD_SCHEME = pool(4)
INVALID_UTF8 = pool(5)
NUMBERED_2 = pool(6)
NUMBERED_10 = pool(7)
TABBED = pool(8)
FORMULA = pool(9)
REORDERING = pool(10)
QUOTED = pool(11)
# The simulator's host itself: before the pool by number, after it as text.
HOST = os.environ.get("OBX_TESTNET_ADDRS", "192.0.2.1 192.0.2.2").split()[-1]
SIMULATED = {
    CAMERA: '{"version": 1, "type": "VideoTransmitter", "name": "Lobby", '
            '"rtsp": "rtsp://%s:554/s", "http": "http://%s/"}' % (CAMERA, CAMERA),
    BLANK_HOST_CAMERA: '{"version": 1, "type": "VideoTransmitter", "name": "Entr\u00e9e", '
                       '"rtsp": "rtsp:///live", "http": "http://:8080/"}',
    UNNAMED: '{"version": 1}',
    TOOL: '{"version": 1, "type": "Probe"}',
    ODD_SCHEME: '{"version": 1, "type": "VideoTransmitter", "name": "Odd", '
                '"http": "FILE:///etc/passwd"}',
    INVALID_UTF8: '{"version": 1, "type": "VideoTransmitter", "name": "Bad\udcffname"}',
    NUMBERED_2: '{"version": 1, "type": "VideoTransmitter", "name": "camera 2"}',
    NUMBERED_10: '{"version": 1, "type": "VideoTransmitter", "name": "Camera 10"}',
    TABBED: '{"version": 1, "type": "VideoTransmitter", "name": "Tab\\there", '
            '"http": "http://:81/"}',
    FORMULA: '{"version": 1, "type": "VideoTransmitter", "name": "=1+2", "rtsp": "rtsp:///f"}',
    # A Hebrew name needs its right-to-left mark; an override in an address
    # would show it in another order than it opens.
    REORDERING: '{"version": 1, "type": "VideoTransmitter", "name": "\u05e9\u05e2\u05e8 \u200f2", '
                '"http": "http://%s/\u202efdp.xedni", "rtsp": "rtsp:///\u2067live"}' % REORDERING,
    QUOTED: '{"version": 1, "type": "VideoTransmitter", "name": "Gate \\"North\\", 2"}',
    HOST: '{"version": 1, "type": "VideoTransmitter", "name": "Gate"}',
}
EXPECTED_ROWS = {
    (("Lobby", CAMERA, "http://%s/" % CAMERA, "rtsp://%s:554/s" % CAMERA)),
    ("Entr\u00e9e", BLANK_HOST_CAMERA, "http://%s:8080/" % BLANK_HOST_CAMERA,
     "rtsp://%s/live" % BLANK_HOST_CAMERA),
    ("", UNNAMED, "", ""),
    ("Odd", ODD_SCHEME, "FILE:///etc/passwd", ""),
    ("Bad\ufffdname", INVALID_UTF8, "", ""),
    ("camera 2", NUMBERED_2, "", ""),
    ("Camera 10", NUMBERED_10, "", ""),
    ("Tab\there", TABBED, "http://%s:81/" % TABBED, ""),
    ("=1+2", FORMULA, "", "rtsp://%s/f" % FORMULA),
    ("\u05e9\u05e2\u05e8 \u200f2", REORDERING, "http://%s/\\u202efdp.xedni" % REORDERING,
     "rtsp://%s/\\u2067live" % REORDERING),
    ('Gate "North", 2', QUOTED, "", ""),
    ("Gate", HOST, "", ""),
}
MENU = ["Open Web Interface", "Open Video Stream", "Copy Web Interface Address",
        "Copy Video Stream Address", "Copy IP Address", "Copy Selected Rows", "Save List\u2026"]
# The entries of a row's context menu that can be used: those with a text to
# act on, and an open for http and https only.
USABLE = {
    CAMERA: set(MENU),
    UNNAMED: {"Copy IP Address", "Copy Selected Rows", "Save List\u2026"},
    ODD_SCHEME: {"Copy Web Interface Address", "Copy IP Address", "Copy Selected Rows",
                 "Save List\u2026"},
}


def require_isolated_network():
    # The simulator's check, the one every program of the tests runs.
    if subprocess.run([SIMULATOR, "--check"]).returncode != 0:
        sys.exit(1)


def wait_until(condition, timeout=5.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            result = condition()
        except GLib.GError:  # an accessible went while it was read
            result = None
        if result:
            return result
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


def start_xvfb():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                             "1024x768x24", "-nolisten", "tcp"], pass_fds=[write_end],
                            stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(read_end)
    return xvfb, ":" + number.decode().strip()


def make_url_handler(home, schemes=("http", "https", "rtsp"), player=None):
    """Registers, in a private XDG home, a default handler of schemes that
    records every URL it is given; and, if named, a player of video files
    that records them too."""
    opened = os.path.join(home, "opened")
    apps = os.path.join(home, "data", "applications")
    os.makedirs(apps)
    os.makedirs(os.path.join(home, "config"))
    recorder = os.path.join(home, "record-url")
    with open(recorder, "w") as f:
        f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' % opened)
    os.chmod(recorder, 0o755)
    with open(os.path.join(apps, "record-url.desktop"), "w") as f:
        f.write("[Desktop Entry]\nType=Application\nName=Record URL\nExec=%s %%u\n"
                "MimeType=%s\n" % (recorder, "".join("x-scheme-handler/%s;" % s for s in schemes)))
    if player:
        with open(os.path.join(apps, "test-player.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=%s\nExec=%s %%U\n"
                    "MimeType=video/mp4;\n" % (player, recorder))
    with open(os.path.join(home, "config", "mimeapps.list"), "w") as f:
        f.write("[Default Applications]\n" +
                "".join("x-scheme-handler/%s=record-url.desktop\n" % s for s in schemes))
    return opened


def files_under(folder):
    """Each file under folder with its contents."""
    found = {}
    for parent, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(parent, name), "rb") as f:
                found[os.path.join(parent, name)] = f.read()
    return found


def x_close_window(display, window):
    """Closes a window as a user's close button does: WM_DELETE_WINDOW."""
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                             ctypes.c_void_p]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                    ("pad", ctypes.c_long * 12)]

    dpy = x.XOpenDisplay(display.encode())
    event = ClientMessage(type=33, window=window, format=32,
                          message_type=x.XInternAtom(dpy, b"WM_PROTOCOLS", 0))
    event.data[0] = x.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
    x.XSendEvent(dpy, window, 0, 0, ctypes.byref(event))
    x.XFlush(dpy)
    x.XCloseDisplay(dpy)


class DesktopTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.xvfb, cls.display = start_xvfb()
        cls.home = tempfile.mkdtemp(prefix="obx-gtk-test-")
        cls.opened = make_url_handler(cls.home)
        cls.env = dict(os.environ, DISPLAY=cls.display, GDK_BACKEND="x11",
                       XDG_DATA_HOME=os.path.join(cls.home, "data"),
                       XDG_CONFIG_HOME=os.path.join(cls.home, "config"),
                       G_DEBUG="fatal-criticals", MALLOC_PERTURB_="165",
                       LC_ALL="C.UTF-8", LANGUAGE="")  # the design's own texts
        cls.env.pop("NO_AT_BRIDGE", None)

    @classmethod
    def tearDownClass(cls):
        cls.xvfb.kill()
        cls.xvfb.wait()

    def setUp(self):
        if os.path.exists(self.opened):
            os.remove(self.opened)
        self.start_simulator()
        self.stderr = tempfile.TemporaryFile(mode="w+")
        self.app = self.start_app()

    def tearDown(self):
        if self.app.poll() is None:
            self.app.kill()
        self.app.wait()
        self.stop_simulator()
        self.stderr.close()

    def start_simulator(self, more=None, peers=SIMULATED):
        self.simulator = subprocess.Popen(
            [SIMULATOR] + ["%s=%s" % kv for kv in dict(peers, **(more or {})).items()],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.assertEqual(self.simulator.stdout.readline(), "ready\n")

    def stop_simulator(self):
        self.simulator.kill()
        self.simulator.wait()
        self.simulator.stdin.close()
        self.simulator.stdout.close()

    def start_app(self, env=None, wrapper=()):
        return subprocess.Popen(list(wrapper) + [BINARY], env=env or self.env, stderr=self.stderr)

    def restart_app(self, **how):
        self.app.kill()
        self.app.wait()
        self.app = self.start_app(**how)

    def app_errors(self):
        self.stderr.seek(0)
        return "the program's standard error:\n" + self.stderr.read()

    def command(self, line):
        self.simulator.stdin.write(line + "\n")
        self.simulator.stdin.flush()

    # Reading the window through the accessibility bus.

    def accessible_app(self):
        Atspi.init()  # once the program has brought the accessibility bus up
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_process_id() == self.app.pid:
                return app
        return None

    def tables(self):
        app = self.accessible_app()
        return list(self.find(app, Atspi.Role.TABLE)) if app else []

    def find(self, node, role):
        if node.get_role() == role:
            yield node
        for i in range(node.get_child_count()):
            child = node.get_child_at_index(i)
            if child is not None:
                yield from self.find(child, role)

    def table(self):
        return wait_until(lambda: (self.tables() or [None])[0], what="the window's list")

    def rows(self, table):
        return {tuple(table.get_accessible_at(r, c).get_name() for c in range(4))
                for r in range(table.get_n_rows())}

    def wait_for_rows(self, table, expected):
        try:
            wait_until(lambda: self.rows(table) == expected, what="rows")
        except AssertionError:
            self.assertEqual(self.rows(table), expected)

    def column(self, table, c):
        """A column's texts, in the order shown."""
        return [table.get_accessible_at(r, c).get_name() for r in range(table.get_n_rows())]

    def showing(self, role):
        """The names of the app's showing accessibles of a role."""
        app = self.accessible_app()
        return [n.get_name() for n in self.find(app, role)
                if n.get_state_set().contains(Atspi.StateType.SHOWING)] if app else []

    def count(self):
        return [name for name in self.showing(Atspi.Role.LABEL) if name.endswith("cameras")]

    def showing_named(self, roles, name):
        """The app's first showing accessible of one of roles with that name."""
        app = self.accessible_app()
        for role in roles:
            for node in (self.find(app, role) if app else []):
                if node.get_name() == name and \
                        node.get_state_set().contains(Atspi.StateType.SHOWING):
                    return node
        return None

    def wait_for_named(self, roles, name):
        return wait_until(lambda: self.showing_named(roles, name), what=name)

    def refresh_button(self):
        return next(b for b in self.find(self.accessible_app(), Atspi.Role.PUSH_BUTTON)
                    if b.get_name() == "Refresh")

    def focus_window(self):
        subprocess.run(["xdotool", "windowfocus", "--sync", str(self.visible_windows()[0])],
                       env=self.env, check=True)

    def click(self, accessible, button=1, modifier=None):
        extents = accessible.get_extents(Atspi.CoordType.SCREEN)
        x, y = extents.x + extents.width // 2, extents.y + extents.height // 2
        held = (["keydown", modifier] if modifier else [])
        subprocess.run(["xdotool", "mousemove", str(x), str(y)] + held + ["click", str(button)]
                       + (["keyup", modifier] if modifier else []), env=self.env, check=True)
        time.sleep(0.5)  # two clicks within 0.4 s would make a double click

    def row_index(self, table, address):
        for r in range(table.get_n_rows()):
            if table.get_accessible_at(r, 1).get_name() == address:
                return r
        self.fail("no row for " + address)

    def click_row(self, table, address, button=1, modifier=None):
        self.click(table.get_accessible_at(self.row_index(table, address), 1), button, modifier)

    def keys(self, *names, delay=100):
        subprocess.run(["xdotool", "key", "--delay", str(delay)] + list(names), env=self.env,
                       check=True)
        time.sleep(0.3)

    def open_menu_items(self):
        """The items of the context menu on screen, by name."""
        def showing():
            items = [i for i in self.find(self.accessible_app(), Atspi.Role.MENU_ITEM)
                     if i.get_state_set().contains(Atspi.StateType.SHOWING)]
            return {i.get_name(): i for i in items} if len(items) == len(MENU) else None
        items = wait_until(showing, what="the context menu")
        self.assertEqual(sorted(items), sorted(MENU))
        return items

    def usable(self, items):
        return {name for name, item in items.items()
                if item.get_state_set().contains(Atspi.StateType.SENSITIVE)}

    def clipboard(self):
        result = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=self.env,
                                capture_output=True, text=True)
        return result.stdout if result.returncode == 0 else None

    def wait_for_clipboard(self, expected):
        try:
            wait_until(lambda: self.clipboard() == expected, what="the clipboard")
        except AssertionError:
            self.assertEqual(self.clipboard(), expected)

    def opened_urls(self):
        if not os.path.exists(self.opened):
            return []
        with open(self.opened) as f:
            return f.read().splitlines()

    def x_windows(self):
        """Every X toplevel of the program, shown or not: its windows, and the
        popups of its menus once they have been shown."""
        result = subprocess.run(["xdotool", "search", "--pid", str(self.app.pid), ""],
                                env=self.env, capture_output=True, text=True)
        return len(result.stdout.split())

    def visible_windows(self):
        result = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid",
                                 str(self.app.pid), "--name", "Ombrix Discovery Tool"],
                                env=self.env, capture_output=True, text=True)
        return [int(w) for w in result.stdout.split()]

    # The tests.

    def test_lists_cameras_and_unknown_peers_with_completed_urls(self):
        table = self.table()
        headers = [table.get_column_header(c).get_name() for c in range(4)]
        self.assertEqual(headers, ["Name", "IP Addess", "Web UI", "Videofeed"])
        self.wait_for_rows(table, EXPECTED_ROWS)

    def test_click_opens_web_interface(self):
        table = self.table()
        self.wait_for_rows(table, EXPECTED_ROWS)
        self.click_row(table, BLANK_HOST_CAMERA)
        self.click_row(table, REORDERING)  # as it reads
        wait_until(lambda: len(self.opened_urls()) == 2, what="the URL handler")
        self.assertEqual(self.opened_urls(), ["http://%s:8080/" % BLANK_HOST_CAMERA,
                                              "http://%s/\\u202efdp.xedni" % REORDERING])

    def test_rows_without_web_address_open_nothing(self):
        table = self.table()
        self.wait_for_rows(table, EXPECTED_ROWS)
        self.click_row(table, UNNAMED)
        self.click_row(table, ODD_SCHEME)
        self.click_row(table, CAMERA)  # opens: the clicks before it were handled
        wait_until(self.opened_urls, what="the URL handler")
        self.assertEqual(self.opened_urls(), ["http://%s/" % CAMERA])
        self.assertIn('\nnot opening "FILE:///etc/passwd": not an http or https address\n',
                      self.app_errors())

    def test_context_menu_on_right_click(self):
        table = self.table()
        self.wait_for_rows(table, EXPECTED_ROWS)
        for address, usable in USABLE.items():
            with self.subTest(row=address):
                self.click_row(table, address, button=3)
                shown = self.usable(self.open_menu_items())
                self.keys("Escape")
                self.assertEqual(shown, usable)
        row = next(row for row in EXPECTED_ROWS if row[1] == CAMERA)
        for entry, expected in [("Copy Web Interface Address", row[2]),
                                ("Copy Video Stream Address", row[3]),
                                ("Copy IP Address", row[1])]:
            with self.subTest(entry=entry):
                self.click_row(table, CAMERA, button=3)
                self.click(self.open_menu_items()[entry])
                self.wait_for_clipboard(expected)
        for entry, expected in [("Open Web Interface", row[2]), ("Open Video Stream", row[3])]:
            with self.subTest(entry=entry):
                self.click_row(table, CAMERA, button=3)
                self.click(self.open_menu_items()[entry])
                wait_until(lambda: expected in self.opened_urls(), what="the URL handler")
        self.assertEqual(self.opened_urls(), [row[2], row[3]])

    def test_sort_by_each_kind_of_column(self):
        table = self.table()
        self.wait_for_rows(table, EXPECTED_ROWS)
        arrived = self.column(table, 1)
        # Names ignore case and take numbers by value; again reverses.
        self.click(table.get_column_header(0))
        names = self.column(table, 0)
        order = [names.index(n) for n in ["", "camera 2", "Camera 10", "Gate", "Lobby", "Odd"]]
        self.assertEqual(order, sorted(order), names)
        self.focus_window()
        # At once: the search bar takes keys before it is laid out. Closing it
        # puts the focus in the list.
        self.keys("ctrl+f", "Escape", delay=0)
        self.keys("shift+Tab", "space")  # from the list to its first header
        self.assertEqual(self.column(table, 0), names[::-1])
        # Addresses by number; URLs as text.
        self.click(table.get_column_header(1))
        self.assertEqual(self.column(table, 1),
                         sorted(arrived, key=lambda a: [int(part) for part in a.split(".")]))
        self.assertEqual(self.column(table, 1)[0], HOST)
        self.click(table.get_column_header(2))
        self.assertEqual(self.column(table, 2), sorted(self.column(table, 2)))
        # Rows arriving above the selected one leave it in view: 30 of them
        # would push the last row, selected, far below the window's edge.
        self.click(table.get_column_header(0))
        self.keys("ctrl+f", "Escape", "End")
        self.command("paced %s 30 3000" % pool(20))  # "Camera 0" onwards: above it
        wait_until(lambda: table.get_n_rows() == len(EXPECTED_ROWS) + 30, what="new rows")

        def selected_in_view():
            row = table.get_accessible_at(self.row_index(table, TABBED), 1).get_extents(
                Atspi.CoordType.SCREEN)
            view = table.get_extents(Atspi.CoordType.SCREEN)
            return view.y < row.y and row.y + row.height <= view.y + view.height
        wait_until(selected_in_view, timeout=2, what="the selected row in view")
        # A refresh starts again in arrival order.
        self.click(self.refresh_button())
        self.wait_for_rows(table, EXPECTED_ROWS)
        self.assertNotEqual(self.column(table, 2), sorted(self.column(table, 2)))

    def test_find_with_count(self):
        table = self.table()
        self.wait_for_rows(table, EXPECTED_ROWS)
        total = len(EXPECTED_ROWS)
        self.assertEqual(self.count(), ["%d cameras" % total])
        self.focus_window()
        self.keys("ctrl+f", "Escape", "c", "a", "M")  # typing in the list starts a search
        self.assertEqual(set(self.column(table, 0)), {"camera 2", "Camera 10"})
        self.assertEqual(self.count(), ["2 of %d cameras" % total])
        self.assertIn("Find cameras", self.showing(Atspi.Role.TEXT) +
                      self.showing(Atspi.Role.ENTRY))
        self.keys("Escape")
        self.wait_for_rows(table, EXPECTED_ROWS)
        self.assertEqual(self.count(), ["%d cameras" % total])
        self.keys("ctrl+f")
        subprocess.run(["xdotool", "type", "--delay", "100", HOST], env=self.env, check=True)
        wait_until(lambda: self.column(table, 1) == [HOST], what="the row found by its address")
        self.click(self.refresh_button())  # the search stays
        self.wait_for_rows(table, {row for row in EXPECTED_ROWS if row[1] == HOST})
        self.assertEqual(self.count(), ["1 of %d cameras" % total])

    def test_copy_selected_rows_for_a_spreadsheet(self):
        table = self.table()
        self.wait_for_rows(table, EXPECTED_ROWS)
        self.click_row(table, FORMULA, modifier="ctrl")
        self.click_row(table, TABBED, modifier="ctrl")  # its web interface is not opened
        self.click_row(table, REORDERING, modifier="ctrl")
        self.focus_window()
        self.keys("ctrl+c")
        lines = {FORMULA: "%s\t'=1+2\t\trtsp://%s/f\n" % (FORMULA, FORMULA),
                 TABBED: "%s\tTab\\there\thttp://%s:81/\t\n" % (TABBED, TABBED),
                 REORDERING: "%s\t\u05e9\u05e2\u05e8 \\u200f2\thttp://%s/\\\\u202efdp.xedni\t"
                             "rtsp://%s/\\\\u2067live\n" % ((REORDERING,) * 3)}
        in_view_order = sorted(lines, key=lambda a: self.row_index(table, a))
        self.wait_for_clipboard("".join(lines[a] for a in in_view_order))
        self.assertEqual(self.opened_urls(), [])
        # A right click on a selected row keeps the selection for its menu.
        self.click_row(table, TABBED, button=3)
        self.click(self.open_menu_items()["Copy Selected Rows"])
        self.wait_for_clipboard("".join(lines[a] for a in in_view_order))
        self.keys("ctrl+a", "ctrl+c")
        self.assertEqual(len(self.clipboard().splitlines()), len(EXPECTED_ROWS))

    def test_video_stream_without_player_opens_once_and_stores_nothing(self):
        home = tempfile.mkdtemp(prefix="obx-gtk-test-")
        opened = make_url_handler(home, schemes=("http", "https"), player="Test Player")
        before = files_under(home)
        self.restart_app(env=dict(self.env, XDG_DATA_HOME=os.path.join(home, "data"),
                                  XDG_CONFIG_HOME=os.path.join(home, "config")))
        table = self.table()
        self.wait_for_rows(table, EXPECTED_ROWS)
        stream = "rtsp://%s:554/s" % CAMERA
        self.click_row(table, CAMERA, button=3)
        self.click(self.open_menu_items()["Open Video Stream"])
        self.wait_for_named([Atspi.Role.DIALOG], "No Video Player")
        self.click(self.wait_for_named([Atspi.Role.PUSH_BUTTON], "Copy Address"))
        self.wait_for_clipboard(stream)
        self.click(self.wait_for_named([Atspi.Role.LABEL], "Test Player"))
        self.click(self.wait_for_named([Atspi.Role.PUSH_BUTTON], "Open"))
        wait_until(lambda: os.path.exists(opened), what="the player")
        with open(opened) as f:
            self.assertEqual(f.read(), stream + "\n")
        after = files_under(home)
        del after[opened]
        self.assertEqual(after, before, "a default application was recorded")
        self.assertIsNone(self.showing_named([Atspi.Role.DIALOG], "No Video Player"))

    def save_list_as(self, path):
        self.keys("ctrl+s")
        self.wait_for_named([Atspi.Role.DIALOG, Atspi.Role.FILE_CHOOSER], "Save List")
        self.keys("ctrl+a")
        subprocess.run(["xdotool", "type", "--delay", "20", path], env=self.env, check=True)
        self.keys("Return")

    def test_save_list_as_csv(self):
        folder = tempfile.mkdtemp(prefix="obx-gtk-save-")
        locked = os.path.join(folder, "locked")
        os.mkdir(locked, 0o555)
        if os.geteuid() == 0:  # root writes anywhere: the window runs without that power
            self.restart_app(wrapper=["setpriv", "--bounding-set",
                                      "-dac_override,-dac_read_search"])
        table = self.table()
        self.wait_for_rows(table, EXPECTED_ROWS)
        self.focus_window()
        self.click(table.get_column_header(0))  # saved in the order shown
        saved = os.path.join(folder, "cameras.csv")
        self.save_list_as(saved)
        wait_until(lambda: os.path.exists(saved), what="the saved list")
        with open(saved, "rb") as f:
            raw = f.read()
        self.assertTrue(raw.startswith(b"\xef\xbb\xbf"), raw[:10])
        self.assertEqual(raw.count(b"\r\n"), len(EXPECTED_ROWS) + 1)
        self.assertEqual(raw.count(b"\n"), raw.count(b"\r\n"))
        rows = list(csv.reader(io.StringIO(raw.decode("utf-8-sig"), newline="")))
        self.assertEqual(rows[0], ["Name", "IP Addess", "Web UI", "Videofeed"])
        self.assertEqual([row[1] for row in rows[1:]], self.column(table, 1))
        saved_rows = {row[1]: row for row in rows[1:]}
        for address, row in [
                (QUOTED, ['Gate "North", 2', QUOTED, "", ""]),
                (TABBED, ["Tab\\there", TABBED, "http://%s:81/" % TABBED, ""]),
                (FORMULA, ["'=1+2", FORMULA, "", "rtsp://%s/f" % FORMULA]),
                (REORDERING, ["\u05e9\u05e2\u05e8 \\u200f2", REORDERING,
                              "http://%s/\\\\u202efdp.xedni" % REORDERING,
                              "rtsp://%s/\\\\u2067live" % REORDERING])]:
            self.assertEqual(saved_rows[address], row)

        self.save_list_as(os.path.join(locked, "cameras.csv"))
        wait_until(lambda: any(n.startswith('The list could not be saved as "cameras.csv"')
                               for n in self.showing(Atspi.Role.LABEL)),
                   what="the failure told in the window")
        self.assertEqual(os.listdir(locked), [])

    def on_camera_host(self, *command):
        host = os.environ["OBX_TESTNET_HOSTS"].split()[-1]
        return ["nsenter", "-t", host, "-n", "--"] + list(command)

    def test_camera_outside_this_computers_networks(self):
        # One camera keeps a factory address on this link, with no way back to
        # it; one is behind a router (the camera's host); both on subnets of
        # their own. A web server on their host records each connection.
        # Above the simulator's other addresses, whose range it ignores.
        factory, routed = "203.0.113.64", "198.51.100.64"
        connections = os.path.join(self.home, "connections")
        server = "\n".join([
            "import socket, sys", "s = socket.create_server(('0.0.0.0', 80))",
            "while True:", "    c = s.accept()[0]",
            "    open(sys.argv[1], 'a').write(c.getsockname()[0] + '\\n')", "    c.close()"])
        setup = [(["ip", "route", "add", "203.0.113.0/24", "via", "192.0.2.250"],
                  ["ip", "route", "del", "203.0.113.0/24"]),
                 (["ip", "route", "add", "198.51.100.0/24", "via", HOST],
                  ["ip", "route", "del", "198.51.100.0/24"])]
        for address in (factory, routed):
            setup.append((self.on_camera_host("ip", "address", "add", address + "/24", "dev", "obx0"),
                          self.on_camera_host("ip", "address", "del", address + "/24", "dev", "obx0")))
        try:
            for command, _ in setup:
                subprocess.run(command, check=True)
            web = subprocess.Popen(self.on_camera_host("/usr/bin/python3", "-c", server, connections))
            self.addCleanup(lambda: (web.kill(), web.wait()))
            self.stop_simulator()
            camera = '{"version": 1, "type": "VideoTransmitter", "name": "New", "http": "http:///"}'
            self.start_simulator({factory: camera, routed: camera})
            table = self.table()
            self.click(self.refresh_button())
            wait_until(lambda: {factory, routed} <= set(self.column(table, 1)), what="the cameras")

            def seen():
                with open(connections) if os.path.exists(connections) else io.StringIO() as f:
                    return f.read().split()
            self.click_row(table, CAMERA)  # on this computer's network: no check
            wait_until(self.opened_urls, what="the URL handler")
            self.assertEqual(seen(), [])
            self.click_row(table, routed)
            wait_until(lambda: len(self.opened_urls()) == 2, what="the routed camera's page")
            wait_until(lambda: seen() == [routed], what="one connection to the routed camera")

            self.click_row(table, factory)
            self.click_row(table, factory)  # while it is checked: nothing more
            self.wait_for_named([Atspi.Role.LABEL], "The camera at %s cannot be reached" % factory)
            self.assertEqual(len(self.showing(Atspi.Role.ALERT)), 1)
            command = "ip address add 203.0.113.200/24 dev obx0"
            self.assertTrue(any(command in n for n in self.showing(Atspi.Role.LABEL)))
            self.click(self.wait_for_named([Atspi.Role.PUSH_BUTTON], "Copy Command"))
            self.wait_for_clipboard(command)
            self.assertEqual(self.opened_urls(), ["http://%s/" % CAMERA, "http://%s/" % routed])
            self.click(self.wait_for_named([Atspi.Role.PUSH_BUTTON], "Open Anyway"))
            wait_until(lambda: len(self.opened_urls()) == 3, what="the page opened anyway")
            self.assertEqual(self.opened_urls()[2], "http://%s/" % factory)
        finally:
            for _, undo in reversed(setup):
                subprocess.run(undo)

    def test_translated(self):
        self.stop_simulator()
        self.start_simulator(peers={CAMERA: SIMULATED[CAMERA]})
        self.restart_app(env=dict(self.env, LC_ALL="de_DE.UTF-8"))
        table = self.table()
        self.assertEqual([table.get_column_header(c).get_name() for c in range(4)],
                         ["Name", "IP-Adresse", "Weboberfl\u00e4che", "Videostream"])
        self.wait_for_named([Atspi.Role.LABEL], "1 Kamera")
        self.command("paced %s 1 1000" % pool(20))
        self.wait_for_named([Atspi.Role.LABEL], "2 Kameras")
        self.click_row(table, CAMERA, button=3)
        self.click(self.wait_for_named([Atspi.Role.MENU_ITEM], "IP-Adresse kopieren"))
        self.wait_for_clipboard(CAMERA)

    def test_empty_list_explains_itself(self):
        placeholder = Atspi.Role.LABEL
        self.stop_simulator()
        self.app.kill()
        self.app.wait()
        self.app = self.start_app()
        wait_until(lambda: "Looking for cameras\u2026" in self.showing(placeholder),
                   what="the search in progress")
        wait_until(lambda: any(n.startswith("No cameras found\n") for n in self.showing(placeholder)),
                   timeout=8, what="the hint that only discovery tools answered")

        self.app.kill()
        self.app.wait()
        subprocess.run(["nft", "add table inet fw; add chain inet fw in { type filter hook input "
                        "priority 0; }; add rule inet fw in udp dport 13702 drop"], check=True)
        try:
            self.app = self.start_app()
            wait_until(lambda: any(n.startswith("Nothing heard\n") and "firewall" in n
                                   for n in self.showing(placeholder)),
                       timeout=8, what="the hint that nothing was heard")
        finally:
            subprocess.run(["nft", "delete table inet fw"], check=True)
        self.start_simulator()
        self.click(self.refresh_button())
        self.wait_for_rows(self.table(), EXPECTED_ROWS)
        self.assertEqual([n for n in self.showing(placeholder) if "\n" in n], [])

    def test_keyboard_alone(self):
        table = self.table()
        self.wait_for_rows(table, EXPECTED_ROWS)
        self.focus_window()
        self.keys("Home")
        target = table.get_accessible_at(self.row_index(table, BLANK_HOST_CAMERA), 1)
        for _ in range(table.get_n_rows()):
            if target.get_state_set().contains(Atspi.StateType.SELECTED):
                break
            self.keys("Down")
        # The menu opens on its first entry: the fourth copies the video stream.
        self.keys("shift+F10")
        self.open_menu_items()
        self.keys("Down", "Down", "Down", "Return")
        self.wait_for_clipboard("rtsp://%s/live" % BLANK_HOST_CAMERA)
        self.keys("Menu")
        self.open_menu_items()
        self.keys("Down", "Down", "Down", "Down", "Return")
        self.wait_for_clipboard(BLANK_HOST_CAMERA)
        self.keys("Return")
        self.keys("ctrl+Return")  # the video stream
        expected = ["http://%s:8080/" % BLANK_HOST_CAMERA, "rtsp://%s/live" % BLANK_HOST_CAMERA]
        wait_until(lambda: len(self.opened_urls()) == 2, what="the URL handler")
        self.assertEqual(self.opened_urls(), expected)

        # Refresh empties the list and refills it from the answers to its probe.
        self.command("remove " + UNNAMED)
        self.keys("Tab")
        focused = [b for b in self.find(self.accessible_app(), Atspi.Role.PUSH_BUTTON)
                   if b.get_state_set().contains(Atspi.StateType.FOCUSED)]
        self.assertEqual([b.get_name() for b in focused], ["Refresh"])
        self.keys("space")
        self.wait_for_rows(table, {row for row in EXPECTED_ROWS if row[1] != UNNAMED})

    def test_second_start_opens_second_window_in_first_process(self):
        self.wait_for_rows(self.table(), EXPECTED_ROWS)
        second = subprocess.run([BINARY], env=self.env, timeout=10, capture_output=True)
        self.assertEqual(second.returncode, 0)
        wait_until(lambda: len(self.visible_windows()) == 2, what="a second window")
        wait_until(lambda: "bind failed 98\n" in self.app_errors(), what="bind failed 98")
        tables = self.tables()
        self.assertEqual(len(tables), 2)
        # A camera that the first window lists after the second one started
        # would be in the second list too, if the second could hear.
        late = pool(20)
        self.command("paced %s 1 1000" % late)
        wait_until(lambda: any(row[1] == late for row in self.rows(tables[0])),
                   what="a camera row in the first window")
        self.assertEqual(self.rows(tables[1]), set(), "the port is taken by the first window")

    def open_and_close_row_menu(self, table):
        self.click_row(table, CAMERA, button=3)
        self.open_menu_items()
        self.keys("Escape")

    def test_closing_window_while_peers_arrive(self):
        table = self.table()
        self.wait_for_rows(table, EXPECTED_ROWS)
        one_window = self.x_windows()
        self.open_and_close_row_menu(table)
        first = self.visible_windows()
        subprocess.run([BINARY], env=self.env, timeout=10, check=True)
        wait_until(lambda: len(self.visible_windows()) == 2, what="a second window")
        self.command("flood %s 88" % pool(12))
        table = self.table()
        wait_until(lambda: table.get_n_rows() > len(EXPECTED_ROWS) + 5, what="flood rows")
        x_close_window(self.display, first[0])
        wait_until(lambda: len(self.visible_windows()) == 1, what="the first window to close")
        time.sleep(0.5)  # no sign tells when the rows in transit have reached the main loop
        self.assertIsNone(self.app.poll(), self.app_errors())
        self.assertEqual(self.x_windows(), one_window, "the closed window's menu is left")
        x_close_window(self.display, self.visible_windows()[0])
        self.assertEqual(self.app.wait(timeout=10), 0, self.app_errors())


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    SIMULATOR = sys.argv.pop(1)
    require_isolated_network()
    unittest.main(verbosity=2)
