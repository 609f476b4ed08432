/* A small program on liblodex's C interface: adds a place, lists every
 * place of the user's database, and removes the place it added.
 *
 *   cc lodex-places.c $(pkg-config --cflags --libs liblodex) -o lodex-places
 */

#include <liblodex/lodex.h>

int
main (void)
{
  g_autoptr (LodexStore) store = lodex_store_get_system ();
  if (!store)
    return 1;

  g_autoptr (LodexPlace) place = lodex_place_new ("Helsinki Cathedral", 60.1704, 24.9522);
  if (!lodex_store_add_place (store, place))
    return 1;

  for (LodexPlace *p = lodex_set_first (LODEX_SET (store)); p; p = lodex_set_next (LODEX_SET (store)))
    {
      g_autofree gchar *id = NULL, *name = NULL;
      gdouble latitude, longitude;
      g_object_get (p, "id", &id, "name", &name, "latitude", &latitude, "longitude", &longitude, NULL);
      g_print ("%s %s (%f, %f)\n", id, name, latitude, longitude);
      g_object_unref (p);
    }

  return lodex_store_remove_place (store, place) ? 0 : 1;
}
