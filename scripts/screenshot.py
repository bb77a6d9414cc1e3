#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Saves the whole X screen of $DISPLAY as a PNG file: screenshot.py FILE"""
import sys

import gi

gi.require_version("Gdk", "3.0")
from gi.repository import Gdk  # noqa: E402

root = Gdk.get_default_root_window()
shot = Gdk.pixbuf_get_from_window(root, 0, 0, root.get_width(), root.get_height())
shot.savev(sys.argv[1], "png", [], [])
