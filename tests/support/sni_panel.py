#!/usr/bin/python3
"""A stand-in desktop panel for the tests: a StatusNotifierWatcher with a host on the session bus.

    sni_panel.py PROGRAM [ARGS...]

Registers org.kde.StatusNotifierWatcher (so Qt exports its tray icon as a StatusNotifierItem with a
DBusMenu), starts PROGRAM, waits for its item, reads the item's properties and its whole menu as a
panel does before showing it, calls Activate on the item, and prints one JSON object:

    {"props": {...}, "menu": {...}, "activated": true, "output": "what PROGRAM printed"}

Menu labels are given as a panel shows them: in DBusMenu "__" is a literal underscore and a single
"_" marks the next character as the mnemonic and is not shown; "raw" keeps the label as sent.
Run it inside `dbus-run-session` with a display for PROGRAM. Exits 1 when no item appears.
"""
import json
import subprocess
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
WATCHER = "org.kde.StatusNotifierWatcher"
MENU = "com.canonical.dbusmenu"
ITEM = "org.kde.StatusNotifierItem"
items = []
# Qt reads the watcher's properties through its introspection data.
INTROSPECTION = """<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
 </interface>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg type="s" direction="out"/></method>
 </interface>
</node>"""


class Watcher(dbus.service.Object):
    def __init__(self):
        super().__init__(dbus.service.BusName(WATCHER, bus), "/StatusNotifierWatcher")

    @dbus.service.method(WATCHER, in_signature="s", out_signature="", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender=None):
        path = "/StatusNotifierItem"
        if service.startswith("/"):
            path, service = service, sender
        items.append((str(service), str(path)))
        self.StatusNotifierItemRegistered(service)

    @dbus.service.method(WATCHER, in_signature="s", out_signature="")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, service):
        pass

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s")
    def Introspect(self):
        return INTROSPECTION

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, iface, prop):
        return self.GetAll(iface)[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, iface):
        return {"RegisteredStatusNotifierItems": dbus.Array([s for s, _ in items], signature="s"),
                "IsStatusNotifierHostRegistered": dbus.Boolean(True), "ProtocolVersion": dbus.Int32(0)}


def shown(label):
    """A DBusMenu label as the panel draws it."""
    out, i = [], 0
    while i < len(label):
        if label[i] == "_" and i + 1 < len(label):
            out.append(label[i + 1])
            i += 2
            continue
        if label[i] != "_":
            out.append(label[i])
        i += 1
    return "".join(out)


def plain(value):
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Int32, dbus.UInt32, dbus.Int64, dbus.Byte)):
        return int(value)
    if isinstance(value, dbus.Array):
        return [plain(v) for v in value]
    return str(value)


def tree(node):
    ident, properties, children = node
    entry = {"id": int(ident)}
    for key, value in properties.items():
        entry[str(key)] = plain(value)
    if "label" in entry:
        entry["raw"] = entry["label"]
        entry["label"] = shown(entry["label"])
    kids = [tree(child) for child in children]
    if kids:
        entry["children"] = kids
    return entry


def read_item():
    service, path = items[-1]
    item = bus.get_object(service, path)
    p = item.GetAll(ITEM, dbus_interface=dbus.PROPERTIES_IFACE)
    tip = p.get("ToolTip")
    props = {"Title": str(p.get("Title", "")), "Id": str(p.get("Id", "")), "IconName": str(p.get("IconName", "")),
             "ItemIsMenu": bool(p.get("ItemIsMenu", False)),
             "ToolTip": [str(tip[2]), str(tip[3])] if tip else None,
             "IconPixmap": [[int(w), int(h)] for w, h, _ in p.get("IconPixmap", [])]}
    menu = bus.get_object(service, str(p["Menu"]))
    layout = lambda: menu.GetLayout(dbus.Int32(0), dbus.Int32(-1), dbus.Array([], signature="s"),
                                    dbus_interface=MENU)[1]
    menu.AboutToShow(dbus.Int32(0), dbus_interface=MENU)
    root = tree(layout())

    # Every submenu is opened once, as a panel does before showing it.
    def open_all(node):
        for child in node.get("children", []):
            if child.get("children-display") == "submenu":
                menu.AboutToShow(dbus.Int32(child["id"]), dbus_interface=MENU)
            open_all(child)
    open_all(root)
    root = tree(layout())
    item.Activate(dbus.Int32(0), dbus.Int32(0), dbus_interface=ITEM)
    return {"props": props, "menu": root, "activated": True}


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    Watcher()
    loop = GLib.MainLoop()
    child = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    result = {}
    waited = [0]

    def poll():
        if child.poll() is not None:
            loop.quit()
            return False
        if items:
            waited[0] += 1
            # A moment for the program to finish filling its menu.
            if waited[0] >= 5:
                try:
                    result.update(read_item())
                except dbus.exceptions.DBusException as error:
                    result["error"] = str(error)
                loop.quit()
                return False
        return True

    def settle():
        loop.quit()
        return False

    GLib.timeout_add(100, poll)
    GLib.timeout_add_seconds(30, loop.quit)
    loop.run()
    if "activated" in result:
        # Time for the program to answer the click.
        GLib.timeout_add(500, settle)
        loop.run()
    child.stdin.close()
    try:
        child.wait(5)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
    result["output"] = child.stdout.read()
    print(json.dumps(result), flush=True)
    return 0 if "menu" in result else 1


sys.exit(main())
