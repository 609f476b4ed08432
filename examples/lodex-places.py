#!/usr/bin/python3
# liblodex from Python: adds a few places and a category, lists the
# category's places nearest first, then has lodex-tool (another process)
# rename one of them and shows the live object hearing of it over the
# session bus. It removes what it added before it ends.
#
#   python3 examples/lodex-places.py
#
# It needs the installed library and its typelib (Lodex-0.typelib; or
# GI_TYPELIB_PATH naming its directory), lodex-tool on PATH (or LODEX_TOOL
# naming it) and a session bus, as every desktop session has.

import os
import subprocess
import sys

import gi

gi.require_version("Lodex", "0")
from gi.repository import GLib, Lodex  # noqa: E402

LODEX_TOOL = os.environ.get("LODEX_TOOL", "lodex-tool")
NEW_NAME = "The Tower of London"

# Made first and released last: every stored object holds the store.
store = Lodex.Store.get_system()


def main():
    if store is None:
        sys.exit("cannot open the place database (~/.lodex.db)")

    castles = Lodex.Category.new("Castles", "Fortified residences")
    if not store.add_category(castles):
        sys.exit("cannot add a category")

    places = []
    for name, latitude, longitude, castle in (
        ("Tower of London", 51.5081, -0.0759, True),
        ("Windsor Castle", 51.4839, -0.6044, True),
        ("British Museum", 51.5194, -0.1270, False),
        ("Hampton Court Palace", 51.4036, -0.3378, True),
    ):
        place = Lodex.Place.new(name, latitude, longitude)
        if not store.add_place(place):
            sys.exit("cannot add a place")
        if castle:
            castles.add_place(place)
        places.append(place)

    # The castles, nearest to Trafalgar Square first: a category filter
    # inside a distance sort, walked as one query.
    members = Lodex.CategoryFilter.new(store)
    members.props.category = castles
    nearest = Lodex.LocationSort.new(members)
    nearest.props.latitude = 51.5080
    nearest.props.longitude = -0.1281
    print("Castles nearest to Trafalgar Square:")
    place = nearest.first()
    while place is not None:
        print(f"  {place.props.name} ({place.props.latitude:.4f}, {place.props.longitude:.4f})")
        place = nearest.next()

    # Another process renames the Tower; this program's object reloads and
    # emits "changed" when the main loop runs.
    tower = places[0]
    loop = GLib.MainLoop()

    def on_changed(place):
        if place.props.name == NEW_NAME:
            print(f'lodex-tool renamed {place.props.id} to "{place.props.name}"')
            loop.quit()

    tower.connect("changed", on_changed)
    print(f"Running: {LODEX_TOOL} --update-place {tower.props.id} --name '{NEW_NAME}'")
    subprocess.run([LODEX_TOOL, "--update-place", tower.props.id, "--name", NEW_NAME],
                   check=True, stdout=subprocess.DEVNULL)
    GLib.timeout_add_seconds(10, loop.quit)  # the bus answers well before
    loop.run()
    heard = tower.props.name == NEW_NAME

    for place in places:
        store.remove_place(place)
    store.remove_category(castles)
    if not heard:
        sys.exit("the change did not come back over the session bus")


if __name__ == "__main__":
    main()
