#!/usr/bin/python3
# liblodex through PyGObject and the build tree's typelib: what a Python
# program sees of ownership, lists, out parameters and signals. Run by
# tests/run-isolated (a fresh home, a private session bus); the test setup
# sets GI_TYPELIB_PATH, LD_LIBRARY_PATH, LODEX_SCHEMA_FILE and
# LODEX_TEST_TOOL.

import gc
import importlib.util
import os
import subprocess
import unittest

import gi

gi.require_version("Lodex", "0")
from gi.repository import Gio, GLib, Lodex  # noqa: E402


def wait_for(done):
    """Runs the main loop until done() holds, for five seconds at most."""
    context = GLib.MainContext.default()
    deadline = GLib.get_monotonic_time() + 5 * GLib.USEC_PER_SEC
    tick = GLib.timeout_add(10, lambda: GLib.SOURCE_CONTINUE)
    while not done() and GLib.get_monotonic_time() < deadline:
        context.iteration(True)
    GLib.source_remove(tick)
    return done()


def walk(set_):
    place = set_.first()
    while place is not None:
        yield place
        place = set_.next()


# One store for the whole run, released last: an object that held the last
# reference to its store would finalize the store from its own dispose.
store = Lodex.Store.get_system()


class PythonTest(unittest.TestCase):
    # Nothing is kept on self: a place a test still held would stay live in
    # the store and spoil the walk of the release test.

    def test_place_and_store(self):
        self.assertIsInstance(store, Lodex.Set)

        place = Lodex.Place.new("Tower", 51.5081, -0.0759)
        self.assertIsNone(place.props.id)
        self.assertEqual(place.props.fields, 0)
        place.props.altitude = 13.0
        place.props.country_code = "GB"
        self.assertEqual(place.props.fields, Lodex.PLACE_FIELD_ALTITUDE)
        self.assertEqual(place.get_property("country-code"), "GB")

        self.assertTrue(store.add_place(place))
        place_id = place.props.id
        self.assertIsNotNone(place_id)
        self.assertIs(store.get_place_by_id(place_id), place)
        self.assertTrue(place.set_appdata("python", "yes"))
        self.assertEqual(place.get_appdata("python"), "yes")

        category = Lodex.Category.new("Castles", None)
        self.assertTrue(store.add_category(category))
        self.assertTrue(category.add_place(place))
        with self.assertRaises(GLib.Error) as member_twice:
            category.add_place_full(place)
        self.assertEqual((member_twice.exception.domain, member_twice.exception.code),
                         (GLib.quark_to_string(Lodex.error_quark()), Lodex.Error.EXISTS))
        self.assertEqual(place.get_categories(), [category])

        route = Lodex.Route.new("Walk", None)
        self.assertTrue(store.add_route(route))
        for latitude in (51.0, 52.0):
            self.assertTrue(route.add_waypoint(Lodex.Waypoint.new(latitude, -1.0, 0.0, 0)))
        ok, bounds = route.get_bounds()
        self.assertTrue(ok)
        self.assertEqual((bounds.min_latitude, bounds.max_latitude), (51.0, 52.0))
        seen = []
        self.assertTrue(route.foreach(lambda waypoint, data: seen.append(waypoint.props.latitude) or False, None))
        self.assertEqual(seen, [51.0, 52.0])

        # what another program reads: the stored values, not this object's
        del place
        gc.collect()
        fetched = store.get_place_by_id(place_id)
        self.assertEqual((fetched.props.name, fetched.props.altitude, fetched.props.country_code),
                         ("Tower", 13.0, "GB"))
        self.assertTrue(store.remove_place(fetched))
        self.assertFalse(fetched.has_id())

    def test_category_filter_inside_sort(self):
        category = Lodex.Category.new("Bridges", None)
        self.assertTrue(store.add_category(category))
        for name, longitude, member in (("far", 3.0, True), ("near", 1.0, True),
                                        ("nearest but not a bridge", 0.1, False), ("middle", 2.0, True)):
            place = Lodex.Place.new(name, 10.0, longitude)
            self.assertTrue(store.add_place(place))
            if member:
                self.assertTrue(category.add_place(place))

        members = Lodex.CategoryFilter.new(store)
        members.props.category = category
        by_distance = Lodex.LocationSort.new(members)
        by_distance.set_property("latitude", 10.0)
        by_distance.set_property("longitude", 0.0)
        self.assertEqual([p.props.name for p in walk(by_distance)], ["near", "middle", "far"])

    def test_search(self):
        for name, latitude, longitude in (("Café Zürich", 47.3769, 8.5417), ("Cafe Bern", 46.948, 7.447),
                                          ("Zürich HB", 47.378, 8.540), ("Sweet cafe", 47.3770, 8.5420)):
            place = Lodex.Place.new(name, latitude, longitude)
            self.assertTrue(store.add_place(place))
        cafes = Lodex.TextFilter.new(store, "CAFE")
        near = Lodex.RadiusFilter.new(cafes, 47.3769, 8.5417, 5000)
        nearest = Lodex.LocationSort.new(near)
        nearest.props.latitude, nearest.props.longitude = 47.3769, 8.5417
        self.assertEqual([p.props.name for p in walk(nearest)], ["Café Zürich", "Sweet cafe"])
        place = nearest.first()
        place = nearest.next()
        self.assertAlmostEqual(nearest.get_distance(), 24.2, delta=1)
        self.assertEqual(near.count(), 2)

        cafes.props.match = Lodex.TextMatch.STARTS_WITH
        cafes.props.fields = Lodex.TextFields.NAME | Lodex.TextFields.DESCRIPTION
        by_name = Lodex.NameSort.new(cafes)
        by_name.props.descending = True
        self.assertEqual([p.props.name for p in walk(Lodex.Page.new(by_name, 1, 5))], ["Cafe Bern"])

    def test_change_from_another_process(self):
        place = Lodex.Place.new("Old name", 1.0, 2.0)
        self.assertTrue(store.add_place(place))
        changed = []
        place.connect("changed", lambda p: changed.append(p.props.name))
        updated = []
        store.connect("place-updated", lambda s, place_id: updated.append(place_id))

        subprocess.run([os.environ["LODEX_TEST_TOOL"], "--update-place", place.props.id,
                        "--name", "New name"], check=True, stdout=subprocess.DEVNULL)

        self.assertTrue(wait_for(lambda: updated))
        self.assertEqual(changed, ["New name"])
        self.assertEqual(updated, [place.props.id])
        self.assertEqual(place.props.name, "New name")

    def test_changes_in_one_batch(self):
        place = Lodex.Place.new("Member", 1.0, 2.0)
        category = Lodex.Category.new("Members", None)
        self.assertTrue(store.add_category(category))
        batches = []
        store.connect("changes", lambda s, changes, resynced: batches.append(
            (resynced, [(c.get_kind(), c.get_event(), c.get_id(), c.get_place_id()) for c in changes])))

        self.assertTrue(store.add_place(place))
        self.assertTrue(category.add_place(place))
        self.assertTrue(wait_for(lambda: any(
            change[1] == Lodex.ChangeEvent.JOINED for _, changes in batches for change in changes)))
        told = [change for resynced, changes in batches for change in changes if not resynced]
        self.assertIn((Lodex.ChangeKind.PLACE, Lodex.ChangeEvent.ADDED, place.props.id, None), told)
        self.assertIn((Lodex.ChangeKind.CATEGORY, Lodex.ChangeEvent.JOINED, category.props.id, place.props.id), told)

    def test_import_async(self):
        path = os.path.join(GLib.get_home_dir(), "favourites.gpx")
        with open(path, "w") as f:
            f.write('<?xml version="1.0"?>\n<gpx version="1.1" creator="test" '
                    'xmlns="http://www.topografix.com/GPX/1/1">\n'
                    + "".join('<wpt lat="-33.%03d" lon="151.2"><name>Favourite %d</name></wpt>\n' % (i, i)
                              for i in range(3))
                    + "</gpx>\n")
        progress, results = [], []
        options = Lodex.ImportOptions(category="Holiday 2026")
        store.import_async(Gio.File.new_for_path(path), options, None,
                           progress_callback=lambda places, done, total, *data: progress.append((places, done, total)),
                           callback=lambda source, result: results.append(source.import_finish(result)))
        self.assertTrue(wait_for(lambda: results))
        self.assertEqual(results[0].props.added, 3)
        self.assertEqual(len(results[0].get_added_ids()), 3)
        self.assertEqual(progress[-1], (3, os.path.getsize(path), os.path.getsize(path)))
        # the same file again: every place known by its name and position
        again = store.import_(Gio.File.new_for_path(path), None, None)
        self.assertEqual(again.get_skipped_ids(), results[0].get_added_ids())
        self.assertEqual(again.props.added, 0)
    def test_list_model(self):
        for name, longitude in (("far", 3.0), ("near", 1.0), ("middle", 2.0)):
            self.assertTrue(store.add_place(Lodex.Place.new("Listed " + name, 20.0, longitude)))
        nearest = Lodex.LocationSort.new(Lodex.TextFilter.new(store, "listed"))
        nearest.props.latitude, nearest.props.longitude = 20.0, 0.0
        model = Lodex.ListModel.new(nearest)
        self.assertEqual(len(model), 3)
        self.assertEqual([place.props.name for place in model], ["Listed near", "Listed middle", "Listed far"])
        near = model[0]
        self.assertIs(store.get_place_by_id(near.props.id), near)

        # another program renames it: its notify tells, its position stays
        names, moves = [], []
        near.connect("notify::name", lambda place, pspec: names.append(place.props.name))
        model.connect("items-changed", lambda m, position, removed, added: moves.append((position, removed, added)))
        subprocess.run([os.environ["LODEX_TEST_TOOL"], "--update-place", near.props.id,
                        "--name", "Listed nearest"], check=True, stdout=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: names))
        self.assertEqual(names, ["Listed nearest"])
        self.assertEqual(moves, [])

        # and leaves the set
        subprocess.run([os.environ["LODEX_TEST_TOOL"], "--update-place", near.props.id,
                        "--name", "Gone"], check=True, stdout=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: moves))
        self.assertEqual(moves, [(0, 1, 0)])
        self.assertEqual([place.props.name for place in model], ["Listed middle", "Listed far"])

    def test_browser_example(self):
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "lodex-browser.py")
        found = importlib.util.spec_from_file_location("lodex_browser", path)
        browser = importlib.util.module_from_spec(found)
        found.loader.exec_module(browser)

        for name, latitude in (("Browsed one", 30.2), ("Browsed two", 30.1), ("Elsewhere", 30.0)):
            self.assertTrue(store.add_place(Lodex.Place.new(name, latitude, 0.0)))
        places = browser.PlaceList(store, 30.0, 0.0)
        places.search("brows")
        self.assertTrue(wait_for(lambda: len(places.model) == 2))
        self.assertEqual([place.props.name for place in places.model], ["Browsed two", "Browsed one"])
        self.assertAlmostEqual(places.distance(places.model[0]), 11119.5, delta=1)

        subprocess.run([os.environ["LODEX_TEST_TOOL"], "--add-place", "--name", "Browsed three",
                        "--latitude", "30.05", "--longitude", "0"], check=True, stdout=subprocess.DEVNULL)
        self.assertTrue(wait_for(lambda: len(places.model) == 3))
        self.assertEqual(places.model[0].props.name, "Browsed three")

    def test_walked_places_are_released(self):
        for i in range(10000):
            self.assertTrue(store.add_place(Lodex.Place.new("place %d" % i, i / 1000.0, 0.0)))

        released = []
        walked = 0
        for place in walk(store):
            place.weak_ref(released.append, None)
            walked += 1
        del place
        gc.collect()
        self.assertGreaterEqual(walked, 10000)
        # each place was finalized once Python let go: the store's registry
        # keeps none of them alive
        self.assertEqual(len(released), walked)


if __name__ == "__main__":
    unittest.main(verbosity=2)
