#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Saves the X screen of $DISPLAY as a PNG file, or only the visible window
of that title: screenshot.py FILE [WINDOW-TITLE]"""
import subprocess
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("GdkX11", "3.0")
from gi.repository import Gdk, GdkX11  # noqa: E402

root = Gdk.get_default_root_window()
x, y, width, height = 0, 0, root.get_width(), root.get_height()
if len(sys.argv) > 2:
    found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name",
                            sys.argv[2]], capture_output=True, text=True, timeout=10)
    window = GdkX11.X11Window.foreign_new_for_display(Gdk.Display.get_default(),
                                                       int(found.stdout.split()[0]))
    _, x, y = window.get_origin()
    width, height = window.get_width(), window.get_height()
shot = Gdk.pixbuf_get_from_window(root, x, y, width, height)
shot.savev(sys.argv[1], "png", [], [])
