#!/usr/bin/python3
# A place browser in GTK 4: a search entry over the places of the user's
# database, nearest first from a point, kept up to date while any other
# program (lodex-tool, say) adds, renames, moves or removes places.
#
#   python3 examples/lodex-browser.py [LATITUDE LONGITUDE]
#
# It needs the installed library and its typelib (Lodex-0.typelib; or
# GI_TYPELIB_PATH naming its directory), GTK 4's typelib (Debian's
# gir1.2-gtk-4.0) and a session bus. Try, while it runs:
#
#   lodex-tool --add-place --name "Somewhere" --latitude 48.86 --longitude 2.35
#
# LODEX_BROWSER_QUIT=1 makes it quit once its window has drawn its first
# list, for a test under a virtual display.

import math
import os
import sys

import gi

gi.require_version("Lodex", "0")
from gi.repository import Gio, GLib, GObject, Lodex  # noqa: E402

EARTH_RADIUS = 6371008.8


class PlaceList:
    """The places whose words match a search, nearest first from a point.

    model is a Gio.ListModel of the live Lodex.Place objects: a list widget
    shows it as it is, and it follows every change of the database."""

    def __init__(self, store, latitude, longitude):
        self.latitude, self.longitude = latitude, longitude
        # an empty text matches every place
        self.matching = Lodex.TextFilter.new(store, "")
        self.matching.props.match = Lodex.TextMatch.STARTS_WITH
        self.nearest = Lodex.LocationSort.new(self.matching)
        self.nearest.props.latitude = latitude
        self.nearest.props.longitude = longitude
        self.model = Lodex.ListModel.new(self.nearest)

    def search(self, text):
        # the model reads the set anew once the main loop is idle
        self.matching.props.text = text

    def distance(self, place):
        """Metres from the point, along the surface."""
        phi1, phi2 = math.radians(self.latitude), math.radians(place.props.latitude)
        dphi = phi2 - phi1
        dlambda = math.radians(place.props.longitude - self.longitude)
        h = math.sin(dphi / 2) ** 2 + math.cos(phi1) * math.cos(phi2) * math.sin(dlambda / 2) ** 2
        return 2 * EARTH_RADIUS * math.asin(math.sqrt(min(1.0, h)))


def describe_distance(metres):
    return "%.0f m" % metres if metres < 1000 else "%.1f km" % (metres / 1000)


def run_window(places, quit_after_fill):
    gi.require_version("Gtk", "4.0")
    from gi.repository import Gtk

    app = Gtk.Application(application_id="com.mirrex.lodex.Browser", flags=Gio.ApplicationFlags.NON_UNIQUE)
    painted = []

    def setup(factory, item):
        row = Gtk.Box(spacing=12, margin_start=6, margin_end=6, margin_top=3, margin_bottom=3)
        name = Gtk.Label(xalign=0, hexpand=True)
        distance = Gtk.Label(xalign=1)
        distance.add_css_class("dim-label")
        row.append(name)
        row.append(distance)
        item.set_child(row)

    def bind(factory, item):
        place = item.get_item()
        name, distance = item.get_child().get_first_child(), item.get_child().get_last_child()

        def show_distance(*_):
            distance.set_label(describe_distance(places.distance(place)))

        # the place is the live object: another program's rename or move
        # reaches the row through these
        item.bindings = [place.bind_property("name", name, "label", GObject.BindingFlags.SYNC_CREATE)]
        item.handler = place.connect("notify::latitude", show_distance)
        item.handler_longitude = place.connect("notify::longitude", show_distance)
        show_distance()

    def unbind(factory, item):
        place = item.get_item()
        for binding in item.bindings:
            binding.unbind()
        place.disconnect(item.handler)
        place.disconnect(item.handler_longitude)

    def activate(app):
        window = Gtk.ApplicationWindow(application=app, default_width=420, default_height=520)
        header = Gtk.HeaderBar()
        window.set_titlebar(header)

        def show_count(*_):
            window.set_title("%d places" % places.model.get_n_items())

        places.model.connect("notify::n-items", show_count)
        show_count()

        entry = Gtk.SearchEntry(placeholder_text="Search places")
        entry.connect("search-changed", lambda e: places.search(e.get_text()))

        factory = Gtk.SignalListItemFactory()
        factory.connect("setup", setup)
        factory.connect("bind", bind)
        factory.connect("unbind", unbind)
        view = Gtk.ListView(model=Gtk.NoSelection(model=places.model), factory=factory)
        scrolled = Gtk.ScrolledWindow(child=view, vexpand=True)

        box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
        box.append(entry)
        box.append(scrolled)
        window.set_child(box)

        if quit_after_fill:
            # the first frame drawn, with the rows the list made for it
            def realized(w):
                clock = w.get_frame_clock()
                def after_paint(clock):
                    if not painted:
                        painted.append(True)
                        print("drew a list of %d places" % places.model.get_n_items())
                    app.quit()

                clock.connect("after-paint", after_paint)

            window.connect("realize", realized)
            GLib.timeout_add_seconds(20, lambda: app.quit() or GLib.SOURCE_REMOVE)
        window.present()

    app.connect("activate", activate)
    status = app.run([])
    if quit_after_fill and not painted:
        return 1
    return status


def main(argv):
    latitude, longitude = (float(argv[1]), float(argv[2])) if len(argv) == 3 else (48.8566, 2.3522)
    store = Lodex.Store.get_system()
    if store is None:
        sys.exit("cannot open the place database (~/.lodex.db)")
    places = PlaceList(store, latitude, longitude)
    status = run_window(places, os.environ.get("LODEX_BROWSER_QUIT") == "1")
    del places
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
