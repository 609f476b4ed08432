// liblodex from GJS through the build tree's typelib: a place stored and
// found again as the same object, a route's bounds as an out parameter.
// Run by tests/run-isolated.
imports.gi.versions.Lodex = '0';
const Lodex = imports.gi.Lodex;
const System = imports.system;

let store = Lodex.Store.get_system();

function check() {
    const place = Lodex.Place.new('Tower', 51.5081, -0.0759);
    if (!store.add_place(place) || place.id === null)
        throw new Error('the place was not stored');
    if (store.get_place_by_id(place.id) !== place)
        throw new Error('a lookup gave another object');

    const route = Lodex.Route.new('Walk', null);
    store.add_route(route);
    route.add_waypoint(Lodex.Waypoint.new(51, -1, 0, 0));
    route.add_waypoint(Lodex.Waypoint.new(52, -2, 0, 0));
    const [ok, bounds] = route.get_bounds();
    if (!ok || bounds.min_latitude !== 51 || bounds.min_longitude !== -2)
        throw new Error('the bounds did not come back');

    const towers = Lodex.TextFilter.new(store, 'TOWER');
    towers.match = Lodex.TextMatch.EXACT;
    if (towers.count() !== 1 || towers.first().name !== 'Tower')
        throw new Error('the text filter did not find the tower');
}

check();
// the objects go before the store that they hold
System.gc();
store = null;
System.gc();
print('ok');
