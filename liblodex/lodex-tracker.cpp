/* LodexTracker: carries every change of the place database over the session
 * bus, out as D-Bus signals and back in as GObject signals. */

#include "lodex-private.h"

#include <gio/gio.h>
#include <utility>

namespace
{
struct Bell;
}

struct LodexTrackerPrivate
{
  GDBusConnection *connection; /* NULL when the bus could not be reached */
  guint subscription;
  guint held;              /* while > 0, broadcasts wait in @pending */
  GPtrArray *pending;      /* (member, body) pairs, in order; body may be NULL */
  gboolean batch;          /* a batch is among the holds: it rings once */
  gboolean batch_written;  /* something was written in the batch */
  gboolean unconfirmed;    /* sent since the bus last confirmed receipt */
  void (*rung) (gpointer); /* a store's tracker: who hears the doorbell */
  gpointer rung_data;
  GMainContext *context; /* where the doorbell is heard */
  GSource *listen_source; /* starts listening once the main loop runs */
  Bell *bell;
  guint filter;
};

/**
 * LodexTracker:
 *
 * The change broadcasts of the place database on the session bus: each store
 * has one, which sends a D-Bus signal of interface
 * "com.mirrex.lodex.dbus.Signal" on "/com/mirrex/lodex/store" after every
 * committed write, and turns every such signal heard, its own process's
 * included, into a GObject signal carrying the id of the object concerned.
 * An application listens to its store's signals instead; a tracker of its
 * own only hears.
 *
 * Since: 0.1
 */
G_DEFINE_TYPE_WITH_PRIVATE (LodexTracker, lodex_tracker, G_TYPE_OBJECT)

namespace
{

constexpr char object_path[] = "/com/mirrex/lodex/store";
constexpr char interface_name[] = "com.mirrex.lodex.dbus.Signal";

enum Signal
{
  PLACE_UPDATED,
  PLACE_ADDED,
  PLACE_REMOVED,
  STORE_UPDATED,
  CATEGORY_ADDED,
  CATEGORY_REMOVED,
  CATEGORY_UPDATED,
  IMAGE_ADDED,
  IMAGE_REMOVED,
  IMAGE_UPDATED,
  ROUTE_ADDED,
  ROUTE_REMOVED,
  ROUTE_UPDATED,
  ROUTE_WAYPOINTS,
  N_SIGNALS
};

guint signals[N_SIGNALS];

struct Member
{
  const char *member;
  Signal signal;
};

/* Members that carry an id, in the order incoming messages are matched. */
constexpr Member id_members[] = {
  {"PlaceUpdated", PLACE_UPDATED},
  {"PlaceAdded", PLACE_ADDED},
  {"PlaceRemoved", PLACE_REMOVED},
  {"CategoryUpdated", CATEGORY_UPDATED},
  {"CategoryAdded", CATEGORY_ADDED},
  {"CategoryRemoved", CATEGORY_REMOVED},
  {"ImageUpdated", IMAGE_UPDATED},
  {"ImageAdded", IMAGE_ADDED},
  {"ImageRemoved", IMAGE_REMOVED},
  {"RouteUpdated", ROUTE_UPDATED},
  {"RouteAdded", ROUTE_ADDED},
  {"RouteRemoved", ROUTE_REMOVED},
  {"RouteWaypoints", ROUTE_WAYPOINTS},
};

LodexTrackerPrivate *
get_priv (LodexTracker *self)
{
  return static_cast<LodexTrackerPrivate *> (lodex_tracker_get_instance_private (self));
}

void
on_bus_signal (GDBusConnection *connection,
               const gchar *sender,
               const gchar *path,
               const gchar *interface,
               const gchar *member,
               GVariant *parameters,
               gpointer user_data)
{
  /* a handler may drop the last reference to the store, and with it us */
  LodexTracker *self = LODEX_TRACKER (user_data);
  lodex::Hold hold (self);

  if (g_str_equal (member, "StoreUpdated"))
    {
      g_signal_emit (self, signals[STORE_UPDATED], 0);
      return;
    }
  for (const Member &m : id_members)
    if (g_str_equal (member, m.member))
      {
        if (g_variant_is_of_type (parameters, G_VARIANT_TYPE ("(s)")))
          {
            const gchar *id = nullptr;
            g_variant_get (parameters, "(&s)", &id);
            g_signal_emit (self, signals[m.signal], 0, id);
          }
        return;
      }
}

/* How long the session bus is waited for: a bus that accepts connections
 * and never answers (a stopped daemon) must not hang the application. */
guint bus_timeout_ms = 3000;

/* For the tests: a writer that dies between its commit and its doorbell. */
gboolean skip_doorbells;

constexpr char match_rule[] = "type='signal',interface='com.mirrex.lodex.dbus.Signal'";

/* A store's doorbell. Any broadcast of our interface, whatever its member or
 * body, only means "read the journal": the connection's worker thread rings,
 * and however many broadcasts come while one ring waits on the tracker's
 * main context, they are heard once. Nothing queues per broadcast, so a
 * program that never runs its main loop does not pile up its own echoes. */
struct Bell
{
  GMainContext *context;
  gint pending;
  LodexTracker *tracker; /* NULL once the tracker is gone; the context's thread only */
  guint32 match_serial;  /* the worker thread only: the match rule's call, then G_MAXUINT32 */
};

Bell *
bell_ref (Bell *bell)
{
  return static_cast<Bell *> (g_atomic_rc_box_acquire (bell));
}

void
bell_unref (gpointer bell)
{
  g_atomic_rc_box_release_full (bell, [] (gpointer data) { g_main_context_unref (static_cast<Bell *> (data)->context); });
}

void
bell_ring (Bell *bell)
{
  if (!g_atomic_int_compare_and_exchange (&bell->pending, 0, 1))
    return;
  GSource *source = g_idle_source_new ();
  g_source_set_priority (source, G_PRIORITY_DEFAULT); /* before idle commits, as broadcasts are */
  g_source_set_static_name (source, "[lodex] doorbell");
  g_source_set_callback (
    source,
    [] (gpointer data) -> gboolean {
      auto bell = static_cast<Bell *> (data);
      g_atomic_int_set (&bell->pending, 0); /* a ring from now on is heard again */
      if (LodexTracker *tracker = bell->tracker)
        {
          lodex::Hold hold (tracker);
          LodexTrackerPrivate *priv = get_priv (tracker);
          if (priv->rung)
            priv->rung (priv->rung_data);
        }
      return G_SOURCE_REMOVE;
    },
    bell_ref (bell), bell_unref);
  g_source_attach (source, bell->context);
  g_source_unref (source);
}

GDBusMessage *
match_rule_message (const char *method)
{
  GDBusMessage *message = g_dbus_message_new_method_call ("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                          "org.freedesktop.DBus", method);
  g_dbus_message_set_body (message, g_variant_new ("(s)", match_rule));
  return message;
}

/* Runs in the connection's worker thread, for every message in and out. */
GDBusMessage *
bell_filter (GDBusConnection *, GDBusMessage *message, gboolean incoming, gpointer data)
{
  auto bell = static_cast<Bell *> (data);
  GDBusMessageType type = g_dbus_message_get_message_type (message);
  if (!incoming)
    {
      /* the rule's call is sent without a task waiting for its reply, which
       * would keep the connection until the main loop ran again: the reply
       * is found here by its serial (any call adding our rule will do: the
       * bus then sends this connection every broadcast) */
      if (bell->match_serial == 0 && type == G_DBUS_MESSAGE_TYPE_METHOD_CALL
          && g_strcmp0 (g_dbus_message_get_member (message), "AddMatch") == 0
          && g_strcmp0 (g_dbus_message_get_arg0 (message), match_rule) == 0)
        bell->match_serial = g_dbus_message_get_serial (message);
      return message;
    }
  if (type == G_DBUS_MESSAGE_TYPE_SIGNAL)
    {
      if (g_strcmp0 (g_dbus_message_get_interface (message), interface_name) == 0)
        bell_ring (bell);
    }
  else if (bell->match_serial && bell->match_serial != G_MAXUINT32
           && g_dbus_message_get_reply_serial (message) == bell->match_serial)
    {
      bell->match_serial = G_MAXUINT32;
      bell_ring (bell);
    }
  return message;
}

/* The store's tracker listens from the first time its main loop runs: a
 * program that never runs it (a tool, an import) is sent nothing at all.
 * What was committed before that is read at once, and what was committed
 * while the match rule was on its way, when the bus answers the rule. */
gboolean
start_listening (gpointer data)
{
  LodexTracker *self = LODEX_TRACKER (data);
  LodexTrackerPrivate *priv = get_priv (self);
  g_clear_pointer (&priv->listen_source, g_source_unref);

  priv->bell = g_atomic_rc_box_new0 (Bell);
  priv->bell->context = g_main_context_ref (priv->context);
  priv->bell->tracker = self;
  priv->filter = g_dbus_connection_add_filter (priv->connection, bell_filter, bell_ref (priv->bell), bell_unref);
  g_autoptr (GDBusMessage) add = match_rule_message ("AddMatch");
  g_dbus_connection_send_message (priv->connection, add, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);

  lodex::Hold hold (self);
  priv->rung (priv->rung_data);
  return G_SOURCE_REMOVE;
}

/* Connections that sent broadcasts, with the number of trackers on each:
 * the process confirms them with the bus when it exits. */
GMutex connections_lock;
GHashTable *live_connections; /* GDBusConnection * -> count */

/* How long the bus is given to confirm our broadcasts. A batch rings once,
 * so even a large import leaves little for the bus to route; and a change
 * whose doorbell is lost still reaches every store at the next one. */
constexpr int confirm_timeout_ms = 3000;

/* Waits until the bus has received everything sent on @connection so far:
 * it handles messages in order, so its answer to a call confirms them.
 * Broadcasts still queued when a program exits would otherwise be lost. A
 * bus that does not answer is waited for once, with a warning. */
bool
confirm_receipt (GDBusConnection *connection)
{
  static GQuark unresponsive;
  if (!unresponsive)
    unresponsive = g_quark_from_static_string ("lodex-unresponsive");
  if (g_object_get_qdata (G_OBJECT (connection), unresponsive))
    return false;
  g_autoptr (GError) error = nullptr;
  g_autoptr (GVariant) reply = g_dbus_connection_call_sync (connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                            "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                            G_DBUS_CALL_FLAGS_NONE, confirm_timeout_ms, nullptr,
                                                            &error);
  if (!reply)
    {
      g_object_set_qdata (G_OBJECT (connection), unresponsive, GINT_TO_POINTER (TRUE));
      g_warning ("The session bus did not confirm our change notices, other programs may hear of our changes late: %s",
                 error->message);
    }
  return reply != nullptr;
}

void
confirm_at_exit ()
{
  g_mutex_lock (&connections_lock);
  GList *connections = live_connections ? g_hash_table_get_keys (live_connections) : nullptr;
  for (GList *l = connections; l; l = l->next)
    g_object_ref (l->data);
  g_mutex_unlock (&connections_lock);
  for (GList *l = connections; l; l = l->next)
    confirm_receipt (G_DBUS_CONNECTION (l->data));
  g_list_free_full (connections, g_object_unref);
}

void
track_connection (GDBusConnection *connection, int delta)
{
  static gsize registered;
  if (g_once_init_enter (&registered))
    {
      atexit (confirm_at_exit);
      g_once_init_leave (&registered, 1);
    }
  g_mutex_lock (&connections_lock);
  if (!live_connections)
    live_connections = g_hash_table_new (nullptr, nullptr);
  int count = GPOINTER_TO_INT (g_hash_table_lookup (live_connections, connection)) + delta;
  if (count > 0)
    g_hash_table_insert (live_connections, connection, GINT_TO_POINTER (count));
  else
    g_hash_table_remove (live_connections, connection);
  g_mutex_unlock (&connections_lock);
}

/* The session bus, or NULL with @error after at most bus_timeout_ms. */
GDBusConnection *
connect_bounded (GError **error)
{
  struct Attempt
  {
    GDBusConnection *connection = nullptr;
    GError *error = nullptr;
    bool done = false;
  } attempt;

  g_autoptr (GMainContext) context = g_main_context_new ();
  g_main_context_push_thread_default (context);
  g_autoptr (GCancellable) cancellable = g_cancellable_new ();
  g_bus_get (
    G_BUS_TYPE_SESSION, cancellable,
    [] (GObject *, GAsyncResult *result, gpointer data) {
      auto attempt = static_cast<Attempt *> (data);
      attempt->connection = g_bus_get_finish (result, &attempt->error);
      attempt->done = true;
    },
    &attempt);
  GSource *timeout = g_timeout_source_new (bus_timeout_ms);
  g_source_set_callback (
    timeout,
    [] (gpointer cancellable) {
      g_cancellable_cancel (G_CANCELLABLE (cancellable));
      return G_SOURCE_REMOVE;
    },
    cancellable, nullptr);
  g_source_attach (timeout, context);
  while (!attempt.done)
    g_main_context_iteration (context, TRUE);
  g_source_destroy (timeout);
  g_source_unref (timeout);
  g_main_context_pop_thread_default (context);

  if (!attempt.connection)
    {
      if (g_error_matches (attempt.error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        {
          g_clear_error (&attempt.error);
          g_set_error (&attempt.error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT,
                       "the session bus did not answer within %u ms", bus_timeout_ms);
        }
      g_propagate_error (error, attempt.error);
    }
  return attempt.connection;
}

void
emit_now (LodexTrackerPrivate *priv, const char *member, GVariant *body)
{
  if (skip_doorbells)
    {
      if (body)
        g_variant_unref (g_variant_ref_sink (body));
      return;
    }
  g_dbus_connection_emit_signal (priv->connection, nullptr, object_path, interface_name, member,
                                 body, nullptr);
  priv->unconfirmed = TRUE;
}

void
emit (LodexTrackerPrivate *priv, const char *member, GVariant *body)
{
  if (priv->held && priv->batch)
    {
      /* the journal says what the batch wrote: it rings once */
      priv->batch_written = TRUE;
      if (body)
        g_variant_unref (g_variant_ref_sink (body));
      return;
    }
  if (priv->held)
    {
      g_ptr_array_add (priv->pending, const_cast<char *> (member));
      g_ptr_array_add (priv->pending, body ? g_variant_ref_sink (body) : nullptr);
      return;
    }
  emit_now (priv, member, body);
}

void
send (LodexTracker *tracker, const char *member, const gchar *id)
{
  /* a tracker without a bus, or a nonsense id, sends nothing */
  if (!LODEX_IS_TRACKER (tracker))
    return;
  LodexTrackerPrivate *priv = get_priv (tracker);
  if (!priv->connection || !id || !g_utf8_validate (id, -1, nullptr))
    return;

  emit (priv, member, g_variant_new ("(s)", id));
}

} // namespace

static void
lodex_tracker_dispose (GObject *object)
{
  LodexTrackerPrivate *priv = get_priv (LODEX_TRACKER (object));

  if (priv->held)
    {
      priv->held = 1;
      _lodex_tracker_release (LODEX_TRACKER (object), 0, FALSE); /* closing rolls back */
    }
  if (priv->listen_source)
    {
      g_source_destroy (priv->listen_source);
      g_clear_pointer (&priv->listen_source, g_source_unref);
    }
  if (priv->bell)
    {
      priv->bell->tracker = nullptr;
      g_clear_pointer (&priv->bell, bell_unref);
    }
  if (priv->connection && priv->filter)
    {
      g_dbus_connection_remove_filter (priv->connection, priv->filter);
      priv->filter = 0;
      g_autoptr (GDBusMessage) remove = match_rule_message ("RemoveMatch");
      g_dbus_message_set_flags (remove, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
      g_dbus_connection_send_message (priv->connection, remove, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    }
  if (priv->connection)
    {
      if (priv->subscription)
        g_dbus_connection_signal_unsubscribe (priv->connection, priv->subscription);
      priv->subscription = 0;
      /* a short-lived program must not exit with its broadcasts still queued */
      if (priv->unconfirmed)
        confirm_receipt (priv->connection);
      track_connection (priv->connection, -1);
      g_clear_object (&priv->connection);
    }

  G_OBJECT_CLASS (lodex_tracker_parent_class)->dispose (object);
}

static void
lodex_tracker_finalize (GObject *object)
{
  LodexTrackerPrivate *priv = get_priv (LODEX_TRACKER (object));
  g_ptr_array_unref (priv->pending);
  g_main_context_unref (priv->context);
  G_OBJECT_CLASS (lodex_tracker_parent_class)->finalize (object);
}

static void
lodex_tracker_class_init (LodexTrackerClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_tracker_dispose;
  object_class->finalize = lodex_tracker_finalize;

  struct
  {
    const char *name;
    glong offset;
    Signal signal;
  } const table[] = {
    {"place-updated", G_STRUCT_OFFSET (LodexTrackerClass, place_updated), PLACE_UPDATED},
    {"place-added", G_STRUCT_OFFSET (LodexTrackerClass, place_added), PLACE_ADDED},
    {"place-removed", G_STRUCT_OFFSET (LodexTrackerClass, place_removed), PLACE_REMOVED},
    {"store-updated", G_STRUCT_OFFSET (LodexTrackerClass, store_updated), STORE_UPDATED},
    {"category-added", G_STRUCT_OFFSET (LodexTrackerClass, category_added), CATEGORY_ADDED},
    {"category-removed", G_STRUCT_OFFSET (LodexTrackerClass, category_removed), CATEGORY_REMOVED},
    {"category-updated", G_STRUCT_OFFSET (LodexTrackerClass, category_updated), CATEGORY_UPDATED},
    {"image-added", G_STRUCT_OFFSET (LodexTrackerClass, image_added), IMAGE_ADDED},
    {"image-removed", G_STRUCT_OFFSET (LodexTrackerClass, image_removed), IMAGE_REMOVED},
    {"image-updated", G_STRUCT_OFFSET (LodexTrackerClass, image_updated), IMAGE_UPDATED},
    {"route-added", G_STRUCT_OFFSET (LodexTrackerClass, route_added), ROUTE_ADDED},
    {"route-removed", G_STRUCT_OFFSET (LodexTrackerClass, route_removed), ROUTE_REMOVED},
    {"route-updated", G_STRUCT_OFFSET (LodexTrackerClass, route_updated), ROUTE_UPDATED},
    {"route-waypoints", G_STRUCT_OFFSET (LodexTrackerClass, route_waypoints), ROUTE_WAYPOINTS},
  };
  /**
   * LodexTracker::place-updated:
   * @tracker: the tracker
   * @id: the id of the place
   *
   * Emitted when "PlaceUpdated" was heard: a place was updated.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::place-added:
   * @tracker: the tracker
   * @id: the id of the place
   *
   * Emitted when "PlaceAdded" was heard: a place was added.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::place-removed:
   * @tracker: the tracker
   * @id: the id of the place
   *
   * Emitted when "PlaceRemoved" was heard: a place was removed.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::store-updated:
   * @tracker: the tracker
   *
   * Emitted when "StoreUpdated" was heard: a place was added or removed, so
   * every set of places may have changed.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::category-added:
   * @tracker: the tracker
   * @id: the id of the category
   *
   * Emitted when "CategoryAdded" was heard: a category was added.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::category-removed:
   * @tracker: the tracker
   * @id: the id of the category
   *
   * Emitted when "CategoryRemoved" was heard: a category was removed.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::category-updated:
   * @tracker: the tracker
   * @id: the id of the category
   *
   * Emitted when "CategoryUpdated" was heard: a category was updated.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::image-added:
   * @tracker: the tracker
   * @id: the id of the image
   *
   * Emitted when "ImageAdded" was heard: a image was added.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::image-removed:
   * @tracker: the tracker
   * @id: the id of the image
   *
   * Emitted when "ImageRemoved" was heard: a image was removed.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::image-updated:
   * @tracker: the tracker
   * @id: the id of the image
   *
   * Emitted when "ImageUpdated" was heard: a image was updated.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::route-added:
   * @tracker: the tracker
   * @id: the id of the route
   *
   * Emitted when "RouteAdded" was heard: a route was added.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::route-removed:
   * @tracker: the tracker
   * @id: the id of the route
   *
   * Emitted when "RouteRemoved" was heard: a route was removed.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::route-updated:
   * @tracker: the tracker
   * @id: the id of the route
   *
   * Emitted when "RouteUpdated" was heard: a route was updated.
   *
   * Since: 0.1
   */
  /**
   * LodexTracker::route-waypoints:
   * @tracker: the tracker
   * @id: the id of the route
   *
   * Emitted when "RouteWaypoints" was heard: waypoints of a route were
   * added, changed or removed.
   *
   * Since: 0.1
   */
  for (const auto &s : table)
    {
      if (s.signal == STORE_UPDATED)
        signals[s.signal] = g_signal_new (s.name, G_TYPE_FROM_CLASS (klass), G_SIGNAL_RUN_LAST,
                                          s.offset, nullptr, nullptr,
                                          g_cclosure_marshal_VOID__VOID, G_TYPE_NONE, 0);
      else
        signals[s.signal] = g_signal_new (s.name, G_TYPE_FROM_CLASS (klass), G_SIGNAL_RUN_LAST,
                                          s.offset, nullptr, nullptr,
                                          g_cclosure_marshal_VOID__STRING, G_TYPE_NONE, 1, G_TYPE_STRING);
    }
}

/* Set while a store's tracker is made: it listens to the doorbell only. */
static thread_local bool making_doorbell;

static void
lodex_tracker_init (LodexTracker *self)
{
  LodexTrackerPrivate *priv = get_priv (self);
  g_autoptr (GError) error = nullptr;

  priv->pending = g_ptr_array_new ();
  priv->context = g_main_context_ref_thread_default ();
  priv->connection = connect_bounded (&error);
  if (!priv->connection)
    {
      g_warning ("Failed to connect to the bus: %s", error->message);
      return;
    }
  track_connection (priv->connection, +1);
  if (making_doorbell)
    return;
  /* Every tracker subscribes on its own, so every store of a process hears
   * every change, its own included. */
  priv->subscription = g_dbus_connection_signal_subscribe (priv->connection, nullptr, interface_name,
                                                           nullptr, nullptr, nullptr,
                                                           G_DBUS_SIGNAL_FLAGS_NONE, on_bus_signal,
                                                           self, nullptr);
}

/**
 * lodex_tracker_new:
 *
 * Connects to the session bus and listens for the broadcasts of every
 * process.
 *
 * Returns: (transfer full): a tracker listening on the session bus; without
 *   a bus it sends and hears nothing
 *
 * Since: 0.1
 */
LodexTracker *
lodex_tracker_new (void)
{
  return LODEX_TRACKER (g_object_new (LODEX_TYPE_TRACKER, nullptr));
}

/**
 * lodex_tracker_signal_store_updated: (skip)
 * @tracker: a #LodexTracker
 *
 * Broadcasts "StoreUpdated" on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_store_updated (LodexTracker *tracker)
{
  if (!LODEX_IS_TRACKER (tracker))
    return;
  LodexTrackerPrivate *priv = get_priv (tracker);
  if (!priv->connection)
    return;

  emit (priv, "StoreUpdated", nullptr);
}

void
_lodex_tracker_set_bus_timeout (guint milliseconds)
{
  bus_timeout_ms = milliseconds;
}

/* A store's tracker: it sends as any other, but hears only the doorbell,
 * and calls @rung with @data, from its main context, when it rings. */
LodexTracker *
_lodex_tracker_new_doorbell (void (*rung) (gpointer data), gpointer data)
{
  making_doorbell = true;
  LodexTracker *tracker = LODEX_TRACKER (g_object_new (LODEX_TYPE_TRACKER, nullptr));
  making_doorbell = false;
  LodexTrackerPrivate *priv = get_priv (tracker);
  priv->rung = rung;
  priv->rung_data = data;
  if (priv->connection)
    {
      priv->listen_source = g_idle_source_new ();
      g_source_set_priority (priv->listen_source, G_PRIORITY_DEFAULT);
      g_source_set_static_name (priv->listen_source, "[lodex] listen");
      g_source_set_callback (priv->listen_source, start_listening, tracker, nullptr);
      g_source_attach (priv->listen_source, priv->context);
    }
  return tracker;
}

/* Rings this tracker's own doorbell, as a broadcast would: for a read the
 * store put off. Before the tracker listens, nothing: it reads then. */
void
_lodex_tracker_ring_here (LodexTracker *tracker)
{
  if (!LODEX_IS_TRACKER (tracker))
    return;
  LodexTrackerPrivate *priv = get_priv (tracker);
  if (priv->bell)
    bell_ring (priv->bell);
}

/* Rings every store's doorbell now, for writes committed on any connection
 * (an import's own): one "StoreUpdated", whatever holds are open. */
void
_lodex_tracker_ring (LodexTracker *tracker)
{
  if (!LODEX_IS_TRACKER (tracker))
    return;
  LodexTrackerPrivate *priv = get_priv (tracker);
  if (priv->connection)
    emit_now (priv, "StoreUpdated", nullptr);
}

void
_lodex_tracker_skip_doorbells (gboolean skip)
{
  skip_doorbells = skip;
}

/* Holds broadcasts back, for writes that other processes cannot see yet
 * (an open transaction); calls nest. A batch's hold (@batch) sends no
 * notice per write but one "StoreUpdated" at its commit, if it wrote
 * anything: stores read what it wrote from the journal. Returns the mark
 * to release with. */
guint
_lodex_tracker_hold (LodexTracker *tracker, gboolean batch)
{
  if (!LODEX_IS_TRACKER (tracker))
    return 0;
  LodexTrackerPrivate *priv = get_priv (tracker);
  priv->held++;
  priv->batch |= batch;
  return priv->pending->len;
}

/* Ends the hold that returned @mark. What it kept back is dropped when
 * @send is FALSE (those writes were rolled back); the outermost sends, in
 * order, what is left. */
void
_lodex_tracker_release (LodexTracker *tracker, guint mark, gboolean send)
{
  if (!LODEX_IS_TRACKER (tracker))
    return;
  LodexTrackerPrivate *priv = get_priv (tracker);
  g_return_if_fail (priv->held > 0);
  if (!send)
    while (priv->pending->len > mark)
      {
        if (auto body = static_cast<GVariant *> (g_ptr_array_steal_index (priv->pending, priv->pending->len - 1)))
          g_variant_unref (body);
        g_ptr_array_steal_index (priv->pending, priv->pending->len - 1);
      }
  if (--priv->held)
    return;
  bool batch = std::exchange (priv->batch, FALSE);
  bool batch_written = std::exchange (priv->batch_written, FALSE);
  g_autoptr (GPtrArray) pending = std::exchange (priv->pending, g_ptr_array_new ());
  for (guint i = 0; i < pending->len; i += 2)
    {
      auto member = static_cast<const char *> (pending->pdata[i]);
      g_autoptr (GVariant) body = static_cast<GVariant *> (pending->pdata[i + 1]);
      emit (priv, member, body);
    }
  if (batch && batch_written && send)
    emit (priv, "StoreUpdated", nullptr);
}

/**
 * lodex_tracker_signal_place_added: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "PlaceAdded" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_place_added (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "PlaceAdded", id);
}

/**
 * lodex_tracker_signal_place_updated: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "PlaceUpdated" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_place_updated (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "PlaceUpdated", id);
}

/**
 * lodex_tracker_signal_place_removed: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "PlaceRemoved" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_place_removed (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "PlaceRemoved", id);
}

/**
 * lodex_tracker_signal_category_added: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "CategoryAdded" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_category_added (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "CategoryAdded", id);
}

/**
 * lodex_tracker_signal_category_updated: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "CategoryUpdated" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_category_updated (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "CategoryUpdated", id);
}

/**
 * lodex_tracker_signal_category_removed: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "CategoryRemoved" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_category_removed (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "CategoryRemoved", id);
}

/**
 * lodex_tracker_signal_image_added: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "ImageAdded" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_image_added (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "ImageAdded", id);
}

/**
 * lodex_tracker_signal_image_updated: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "ImageUpdated" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_image_updated (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "ImageUpdated", id);
}

/**
 * lodex_tracker_signal_image_removed: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "ImageRemoved" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_image_removed (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "ImageRemoved", id);
}

/**
 * lodex_tracker_signal_route_added: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "RouteAdded" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_route_added (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "RouteAdded", id);
}

/**
 * lodex_tracker_signal_route_updated: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "RouteUpdated" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_route_updated (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "RouteUpdated", id);
}

/**
 * lodex_tracker_signal_route_removed: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "RouteRemoved" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_route_removed (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "RouteRemoved", id);
}

/**
 * lodex_tracker_signal_route_waypoints: (skip)
 * @tracker: a #LodexTracker
 * @id: the id of the object concerned
 *
 * Broadcasts "RouteWaypoints" with @id on the session bus; while a write of the
 * store is open, the broadcast waits for its commit. Only the store sends.
 *
 * Since: 0.1
 */
void
lodex_tracker_signal_route_waypoints (LodexTracker *tracker, const gchar *id)
{
  send (tracker, "RouteWaypoints", id);
}
