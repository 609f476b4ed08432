#pragma once

#include "lodex-private.h"

#include <gio/gio.h>

/* A store on ~/.lodex.db (the test's own HOME) with the source tree's schema. */
LodexStore *lodex_test_store_new (void);
gchar *lodex_test_db_path (void);

/* The usual fixture: one store, settled and finalized at the end. */
struct StoreFixture
{
  LodexStore *store;
};

void lodex_test_fixture_setup (StoreFixture *f, gconstpointer data);

/* A place of no store with every field set: doubles that need all their
 * digits, each address field holding its own name, a creation time and two
 * links (one without name and type). */
LodexPlace *lodex_test_place_with_every_field (const char *name, const char *description);
void lodex_test_fixture_teardown (StoreFixture *f, gconstpointer data);

#define LODEX_TEST_ADD(path, test) \
  g_test_add (path, StoreFixture, nullptr, lodex_test_fixture_setup, test, lodex_test_fixture_teardown)

/* Iterates the default main context until @done () holds; fails the test
 * after five seconds. */
template <typename Done>
void
lodex_test_wait (Done done)
{
  const gint64 deadline = g_get_monotonic_time () + 5 * G_USEC_PER_SEC;
  /* only wakes the loop to check again: below idle priority, or a check
   * slower than the tick (under a sanitizer) would starve idle sources */
  guint tick = g_timeout_add_full (
    G_PRIORITY_LOW, 10, [] (gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
  while (!done ())
    {
      if (g_get_monotonic_time () > deadline)
        g_error ("timed out waiting for the main loop");
      g_main_context_iteration (nullptr, TRUE);
    }
  g_source_remove (tick);
}

/* Waits until every broadcast sent so far by this process has been handled,
 * and every store listens: a marker is sent and awaited, and the bus
 * delivers in order. */
void lodex_test_settle (void);

/* Counts emissions of a signal without arguments or with one id, keeping
 * the ids. */
struct LodexTestRecorder
{
  guint count = 0;
  GPtrArray *ids = g_ptr_array_new_with_free_func (g_free);
  gulong handler = 0;
  GObject *instance = nullptr;

  LodexTestRecorder (gpointer instance, const char *signal);
  ~LodexTestRecorder ();
  bool saw (const char *id) const;
};

/* Captures what the library prints on standard output (the SQL traces of
 * route walks, the route filter's relays) while in scope; GTest's own TAP
 * lines still reach standard output. */
struct LodexTestPrintCapture
{
  GString *text = g_string_new (nullptr);
  GPrintFunc previous;

  LodexTestPrintCapture ();
  ~LodexTestPrintCapture ();
};

/* Starts a program in this test's HOME (GLib's isolation points the
 * environment's HOME at /dev/null) on the test's bus. */
GSubprocess *lodex_test_spawn (GSubprocessFlags flags, const char *const *argv);

/* Runs the registered tests on a private session bus. */
int lodex_test_run_with_bus (void);
