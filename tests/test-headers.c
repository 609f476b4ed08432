/* The public headers compile as C, and the umbrella header is enough. */

#include <liblodex/lodex.h>

int
main (void)
{
  g_autoptr (LodexPlace) place = lodex_place_new ("C", 1.0, 2.0);
  GType types[] = {LODEX_TYPE_SET, LODEX_TYPE_STORE, LODEX_TYPE_PLACE, LODEX_TYPE_TRACKER,
                   LODEX_TYPE_PLACE_LINK};
  for (gsize i = 0; i < G_N_ELEMENTS (types); i++)
    g_assert_true (g_type_name (types[i]) != NULL);
  g_assert_false (lodex_place_has_id (place));
  return 0;
}
