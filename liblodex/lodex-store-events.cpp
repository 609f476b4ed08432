/* The store's reactions to change notices, this process's own included. A
 * notice on the bus, whatever its member or body, only rings the store's
 * doorbell: the store reads the database's change journal after the last
 * row it has seen, and acts only on what the rows say. Live objects reload
 * or are forgotten and say so, the store emits the signals of each object
 * once, in journal order, then "changes" with the whole batch. A notice
 * whose rows the store has read already (a repeated or forged one) changes
 * nothing. They run from the main loop; each holds the store, since a
 * handler of the application's may drop its last reference. */

#include "lodex-store-objects.hpp"

#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace lodex
{

namespace
{

/* The journal is read this many rows at a time; the main loop runs between
 * two reads, and each ends with its own "changes". */
constexpr guint chunk_rows = 10000;

/* Each object's own reaction, as to the broadcast of today's single write */

/* Reloads a live category or image, notifying each property whose value
 * the reload changed, so that bindings follow any process's writes. */
template <typename T>
bool
reload_notifying (sqlite3 *db, T *live)
{
  GObject *object = G_OBJECT (live);
  guint n = 0;
  g_autofree GParamSpec **pspecs = g_object_class_list_properties (G_OBJECT_GET_CLASS (object), &n);
  std::vector<GValue> before (n, G_VALUE_INIT);
  for (guint i = 0; i < n; i++)
    if (pspecs[i]->flags & G_PARAM_READABLE)
      {
        g_value_init (&before[i], pspecs[i]->value_type);
        g_object_get_property (object, pspecs[i]->name, &before[i]);
      }

  bool reloaded = Family<T>::reload (db, live);
  g_object_freeze_notify (object);
  for (guint i = 0; i < n; i++)
    {
      if (!G_IS_VALUE (&before[i]))
        continue;
      if (reloaded)
        {
          GValue after = G_VALUE_INIT;
          g_value_init (&after, pspecs[i]->value_type);
          g_object_get_property (object, pspecs[i]->name, &after);
          if (g_param_values_cmp (pspecs[i], &before[i], &after) != 0)
            g_object_notify_by_pspec (object, pspecs[i]);
          g_value_unset (&after);
        }
      g_value_unset (&before[i]);
    }
  g_object_thaw_notify (object);
  return reloaded;
}

void
place_removed (LodexStore *store, const gchar *id)
{
  store_emit (store, PLACE_REMOVED, id);
  g_autoptr (LodexPlace) live = _lodex_store_query_table (store, id);
  if (live)
    {
      g_signal_emit_by_name (live, "removed", store);
      store_priv (store)->places.remove (G_OBJECT (live));
      /* it keeps its id, values and store; changes not written yet have
       * nowhere to go, and later ones are refused */
      _lodex_place_discard_changes (live);
    }
}

/* Reloads a live place; false when its row is gone. */
bool
reload_place (LodexStore *store, LodexPlace *live)
{
  /* local edits not yet written are newer than the journal: write them
   * first; if that fails they stay on top of what is reloaded */
  if (_lodex_place_is_dirty (live))
    lodex_place_commit (live);

  const gchar *id = _lodex_place_get_row (live)->id;
  LodexPlaceRow *row = lodex_db_get_row_by_id (store_priv (store)->db, id);
  if (!row)
    return false;
  _lodex_place_reload (live, row, lodex_db_place_address_get (store_priv (store)->db, id));
  _lodex_place_update_links (live);
  g_signal_emit_by_name (live, "changed");
  return true;
}

void
place_updated (LodexStore *store, const gchar *id)
{
  g_autoptr (LodexPlace) live = _lodex_store_query_table (store, id);
  if (live && !reload_place (store, live))
    {
      g_warning ("Error retrieving row from the database");
      return;
    }
  store_emit (store, PLACE_UPDATED, id);
}

/* The store's signal first, then the live object's "removed": it keeps its
 * id and values, but the store forgets it. */
template <typename T>
void
object_removed (LodexStore *store, const gchar *id)
{
  store_emit (store, Family<T>::removed, id);
  if (T *live = lookup_entry<T> (store, id))
    {
      g_signal_emit_by_name (live, "removed", store);
      registry_of<T> (store).remove (G_OBJECT (live));
      g_object_unref (live);
    }
}

/* A live object reloads and says so first; then the store tells. */
template <typename T>
void
object_updated (LodexStore *store, const gchar *id)
{
  if (T *live = lookup_entry<T> (store, id))
    {
      bool reloaded = reload_notifying (store_priv (store)->db, live);
      if (reloaded)
        g_signal_emit_by_name (live, "changed");
      g_object_unref (live);
      if (!reloaded)
        {
          g_warning ("%s", Family<T>::not_found);
          return;
        }
    }
  store_emit (store, Family<T>::updated, id);
}

void
route_updated (LodexStore *store, const gchar *id)
{
  g_debug ("%s: %s", "route_updated_cb", id);
  if (LodexRoute *live = lookup_entry<LodexRoute> (store, id))
    {
      /* its own unsaved changes are newer than the journal */
      _lodex_route_save_pending (live);
      lodex_db_load_route (store_priv (store)->db, live);
      g_signal_emit_by_name (live, "changed");
      g_object_unref (live);
    }
  store_emit (store, ROUTE_UPDATED, id);
}

void
route_waypoints (LodexStore *store, const gchar *id)
{
  g_debug ("%s: %s", "route_waypoints_cb", id);
  if (LodexRoute *live = lookup_entry<LodexRoute> (store, id))
    {
      g_signal_emit_by_name (live, "waypoints-modified");
      g_object_unref (live);
    }
}

/* From rows to what the store tells */

using db::JournalOp;
using db::JournalRow;
using db::JournalTable;

enum class Act
{
  SET_CHANGED,
  ADDED,
  REMOVED,
  UPDATED,
  WAYPOINTS,
};

struct Action
{
  Act act;
  LodexChangeKind kind;
  const gchar *id; /* borrowed from the rows */
};

constexpr int none = -1;

/* What one read's rows say of one object. */
struct Object
{
  LodexChangeKind kind;
  const gchar *id;
  int first_op = none, last_op = none; /* of its own row */
  bool inserted = false, deleted = false;
  bool touched = false;   /* an update, of its row or of what hangs off it */
  bool waypoints = false; /* of a route */
  bool gone = false;      /* while telling: removed by the row told last */
};

/* What one read's rows say of one place in a category or a route. */
struct Membership
{
  LodexChangeKind kind;
  const gchar *id, *place;
  JournalOp first, last;
};

struct Reading
{
  explicit Reading (LodexStore *store) : store (store) {}

  LodexStore *store;
  std::unordered_map<std::string, Object> objects;
  std::unordered_map<std::string, Membership> memberships;
  std::vector<std::pair<bool, std::string>> order; /* (membership?, key) by first row */
  std::vector<Action> actions;
  bool set_told = false;

  /* while telling: the write whose rows are being told, when the journal
   * marked them as one, and what was told of it */
  gint64 write = 0;
  std::unordered_set<std::string> told_in_write, added_in_write;

  /* while telling: the write the last rows belong to, whose own further
   * rows are told with it (see tell ()) */
  enum class Run
  {
    NONE,
    ADDED,     /* a place's insert, not live here: its address and links */
    UPDATED,   /* a place's update: its address */
    WAYPOINTS, /* waypoints of one route */
  } run = Run::NONE;
  const gchar *run_id = nullptr;

  static std::string
  key (LodexChangeKind kind, const gchar *id)
  {
    return std::string (1, char ('0' + kind)) + id;
  }

  Object &
  object (LodexChangeKind kind, const gchar *id)
  {
    auto [it, inserted] = objects.try_emplace (key (kind, id), Object{kind, id});
    if (inserted)
      order.emplace_back (false, it->first);
    return it->second;
  }

  bool
  gone (LodexChangeKind kind, const gchar *id) const
  {
    auto it = id ? objects.find (key (kind, id)) : objects.end ();
    return it != objects.end () && it->second.gone;
  }

  void
  membership (LodexChangeKind kind, const JournalRow &row)
  {
    std::string k = key (kind, row.id) + '\n' + row.related;
    auto [it, inserted] = memberships.try_emplace (k, Membership{kind, row.id, row.related, row.op, row.op});
    if (inserted)
      order.emplace_back (true, k);
    it->second.last = row.op;
  }

  bool
  live (LodexChangeKind kind, const gchar *id) const
  {
    LodexStorePrivate *priv = store_priv (store);
    Registry *registry = kind == LODEX_CHANGE_KIND_PLACE      ? &priv->places
                         : kind == LODEX_CHANGE_KIND_CATEGORY ? &priv->categories
                         : kind == LODEX_CHANGE_KIND_IMAGE    ? &priv->images
                                                              : &priv->routes;
    GObject *object = registry->lookup (id);
    if (object)
      g_object_unref (object);
    return object != nullptr;
  }

  static LodexChangeKind
  kind_of (JournalTable table)
  {
    switch (table)
      {
      case JournalTable::CATEGORIES:
      case JournalTable::P2C:
        return LODEX_CHANGE_KIND_CATEGORY;
      case JournalTable::IMAGES:
        return LODEX_CHANGE_KIND_IMAGE;
      case JournalTable::ROUTES:
      case JournalTable::R2P:
      case JournalTable::WAYPOINTS:
        return LODEX_CHANGE_KIND_ROUTE;
      default:
        return LODEX_CHANGE_KIND_PLACE;
      }
  }

  static bool
  is_main (JournalTable table)
  {
    return table == JournalTable::PLACES || table == JournalTable::CATEGORIES || table == JournalTable::IMAGES
           || table == JournalTable::ROUTES;
  }

  /* First pass: what became of every object and membership, for the batch. */
  void
  learn (const JournalRow &row)
  {
    if (row.table == JournalTable::TRANSACTION)
      return;
    if (is_main (row.table))
      {
        Object &o = object (kind_of (row.table), row.id);
        if (o.first_op == none)
          o.first_op = int (row.op);
        o.last_op = int (row.op);
        o.inserted |= row.op == JournalOp::INSERT;
        o.deleted |= row.op == JournalOp::DELETE;
        o.touched |= row.op == JournalOp::UPDATE;
        return;
      }
    switch (row.table)
      {
      case JournalTable::PLACES_ADDRESS:
      case JournalTable::PLACES_LINKS:
      case JournalTable::PLACES_APPDATA:
        object (LODEX_CHANGE_KIND_PLACE, row.id).touched = true;
        break;
      case JournalTable::P2I:
        if (row.related)
          object (LODEX_CHANGE_KIND_PLACE, row.related).touched = true;
        break;
      case JournalTable::P2C:
      case JournalTable::R2P:
        if (row.related)
          membership (kind_of (row.table), row);
        break;
      case JournalTable::WAYPOINTS:
        if (row.related)
          object (LODEX_CHANGE_KIND_ROUTE, row.related).waypoints = true;
        break;
      default:
        break;
      }
  }

  void
  act (Act act, LodexChangeKind kind, const gchar *id)
  {
    if (write)
      {
        /* one write: each signal once, and no update of what it added */
        std::string k = key (kind, id);
        if (act == Act::UPDATED && added_in_write.count (k))
          return;
        if (!told_in_write.insert (std::to_string (int (act)) + k).second)
          return;
        if (act == Act::ADDED)
          added_in_write.insert (k);
      }
    if ((act == Act::ADDED || act == Act::REMOVED) && kind == LODEX_CHANGE_KIND_PLACE && !set_told)
      {
        /* every set of places may have changed: said once a read */
        actions.push_back ({Act::SET_CHANGED, kind, nullptr});
        set_told = true;
      }
    actions.push_back ({act, kind, id});
  }

  /* Second pass: the signals, each row's in journal order, as the
   * broadcasts of its write were. Of the rows of one write, each signal is
   * told once, and no update of what the write added; our writes mark
   * theirs in the journal. Where nothing marks them (another program's),
   * what one write journals in several rows is told once all the same: a
   * place's address and links stored with it (unless the place is live
   * here: it may have been fetched before, or be the adding program's
   * own), its address written with its row, the waypoints of a route
   * written together, and whatever goes with a removed object. Rows of
   * different writes that fall together this way are told once as well;
   * a live object reloads what is stored by then. */
  void
  tell (const JournalRow &row, gint64 in_write)
  {
    if (in_write != write)
      {
        write = in_write;
        told_in_write.clear ();
        added_in_write.clear ();
      }
    LodexChangeKind kind = kind_of (row.table);
    Run was = std::exchange (run, Run::NONE);
    const gchar *was_id = std::exchange (run_id, row.id);
    bool same = was_id && g_str_equal (was_id, row.id);

    switch (row.table)
      {
      case JournalTable::PLACES:
      case JournalTable::CATEGORIES:
      case JournalTable::IMAGES:
      case JournalTable::ROUTES:
        object (kind, row.id).gone = row.op == JournalOp::DELETE;
        if (row.op == JournalOp::INSERT)
          {
            act (Act::ADDED, kind, row.id);
            if (kind == LODEX_CHANGE_KIND_PLACE && !live (kind, row.id))
              run = Run::ADDED;
          }
        else if (row.op == JournalOp::DELETE)
          act (Act::REMOVED, kind, row.id);
        else
          {
            act (Act::UPDATED, kind, row.id);
            if (kind == LODEX_CHANGE_KIND_PLACE)
              run = Run::UPDATED;
          }
        return;
      case JournalTable::PLACES_ADDRESS:
      case JournalTable::PLACES_LINKS:
      case JournalTable::PLACES_APPDATA:
        if (gone (LODEX_CHANGE_KIND_PLACE, row.id))
          return;
        if (same && (was == Run::ADDED ? row.table != JournalTable::PLACES_APPDATA
                                       : was == Run::UPDATED && row.table == JournalTable::PLACES_ADDRESS))
          {
            run = was;
            return;
          }
        act (Act::UPDATED, LODEX_CHANGE_KIND_PLACE, row.id);
        return;
      case JournalTable::P2I:
        if (row.related && !gone (LODEX_CHANGE_KIND_IMAGE, row.id) && !gone (LODEX_CHANGE_KIND_PLACE, row.related))
          act (Act::UPDATED, LODEX_CHANGE_KIND_PLACE, row.related);
        return;
      case JournalTable::P2C:
      case JournalTable::R2P:
        if (row.related && !gone (kind, row.id) && !gone (LODEX_CHANGE_KIND_PLACE, row.related))
          act (Act::UPDATED, kind, row.id);
        return;
      case JournalTable::WAYPOINTS:
        run_id = row.related;
        run = Run::WAYPOINTS;
        if (!row.related || gone (LODEX_CHANGE_KIND_ROUTE, row.related)
            || (was == Run::WAYPOINTS && was_id && g_str_equal (was_id, row.related)))
          return;
        act (Act::WAYPOINTS, LODEX_CHANGE_KIND_ROUTE, row.related);
        return;
      case JournalTable::TRANSACTION:
        return;
      }
  }

  /* The batch: what each object and membership came to over the read. */
  GPtrArray *
  changes () const
  {
    GPtrArray *changes = g_ptr_array_new_with_free_func (GDestroyNotify (lodex_change_unref));
    auto add = [&] (LodexChangeKind kind, LodexChangeEvent event, const gchar *id, const gchar *place = nullptr) {
      g_ptr_array_add (changes, _lodex_change_new (kind, event, id, place));
    };
    for (const auto &[is_membership, k] : order)
      {
        if (is_membership)
          {
            const Membership &m = memberships.at (k);
            bool before = m.first != JournalOp::INSERT, after = m.last != JournalOp::DELETE;
            if (before != after)
              add (m.kind, after ? LODEX_CHANGE_EVENT_JOINED : LODEX_CHANGE_EVENT_LEFT, m.id, m.place);
            continue;
          }
        const Object &o = objects.at (k);
        bool before = o.first_op != int (JournalOp::INSERT), after = o.last_op != int (JournalOp::DELETE);
        if (o.first_op == none)
          before = after = true;
        if (!before && after)
          add (o.kind, LODEX_CHANGE_EVENT_ADDED, o.id);
        else if (before && !after)
          add (o.kind, LODEX_CHANGE_EVENT_REMOVED, o.id);
        else if (before && after && (o.inserted || o.deleted))
          {
            /* removed and stored again: another object now */
            add (o.kind, LODEX_CHANGE_EVENT_REMOVED, o.id);
            add (o.kind, LODEX_CHANGE_EVENT_ADDED, o.id);
          }
        else if (before && after && o.touched)
          add (o.kind, LODEX_CHANGE_EVENT_UPDATED, o.id);
        if (o.waypoints && after)
          add (o.kind, LODEX_CHANGE_EVENT_WAYPOINTS, o.id);
      }
    return changes;
  }
};

void
perform (LodexStore *store, const Action &action)
{
  switch (action.act)
    {
    case Act::SET_CHANGED:
      _lodex_set_emit_changed (LODEX_SET (store));
      return;
    case Act::WAYPOINTS:
      route_waypoints (store, action.id);
      return;
    default:
      break;
    }
  switch (action.kind)
    {
    case LODEX_CHANGE_KIND_PLACE:
      if (action.act == Act::ADDED)
        store_emit (store, PLACE_ADDED, action.id);
      else if (action.act == Act::REMOVED)
        place_removed (store, action.id);
      else
        place_updated (store, action.id);
      break;
    case LODEX_CHANGE_KIND_CATEGORY:
      if (action.act == Act::ADDED)
        store_emit (store, CATEGORY_ADDED, action.id);
      else if (action.act == Act::REMOVED)
        object_removed<LodexCategory> (store, action.id);
      else
        object_updated<LodexCategory> (store, action.id);
      break;
    case LODEX_CHANGE_KIND_IMAGE:
      if (action.act == Act::ADDED)
        store_emit (store, IMAGE_ADDED, action.id);
      else if (action.act == Act::REMOVED)
        object_removed<LodexImage> (store, action.id);
      else
        object_updated<LodexImage> (store, action.id);
      break;
    case LODEX_CHANGE_KIND_ROUTE:
      if (action.act == Act::ADDED)
        store_emit (store, ROUTE_ADDED, action.id);
      else if (action.act == Act::REMOVED)
        object_removed<LodexRoute> (store, action.id);
      else
        route_updated (store, action.id);
      break;
    }
}

/* Forgets a live object removed while the store was not looking. */
void
forget (LodexStore *store, Registry &registry, GObject *live)
{
  g_signal_emit_by_name (live, "removed", store);
  registry.remove (live);
  if (LODEX_IS_PLACE (live))
    _lodex_place_discard_changes (LODEX_PLACE (live));
}

/* The store fell behind what the journal still holds: every live object
 * reloads, and the sets say they changed. */
void
resynchronise (LodexStore *store)
{
  LodexStorePrivate *priv = store_priv (store);
  g_debug ("The store fell behind the change journal: reloading every live object");

  g_autoptr (GPtrArray) places = priv->places.live ();
  for (guint i = 0; i < places->len; i++)
    if (!reload_place (store, LODEX_PLACE (places->pdata[i])))
      forget (store, priv->places, G_OBJECT (places->pdata[i]));

  g_autoptr (GPtrArray) categories = priv->categories.live ();
  for (guint i = 0; i < categories->len; i++)
    {
      auto live = LODEX_CATEGORY (categories->pdata[i]);
      if (reload_notifying (priv->db, live))
        g_signal_emit_by_name (live, "changed");
      else
        forget (store, priv->categories, G_OBJECT (live));
    }

  g_autoptr (GPtrArray) images = priv->images.live ();
  for (guint i = 0; i < images->len; i++)
    {
      auto live = LODEX_IMAGE (images->pdata[i]);
      if (reload_notifying (priv->db, live))
        g_signal_emit_by_name (live, "changed");
      else
        forget (store, priv->images, G_OBJECT (live));
    }

  g_autoptr (GPtrArray) routes = priv->routes.live ();
  for (guint i = 0; i < routes->len; i++)
    {
      auto live = LODEX_ROUTE (routes->pdata[i]);
      if (LodexRoute *stored = lodex_db_get_route_by_id (priv->db, _lodex_route_get_id (live)))
        {
          g_object_unref (stored);
          _lodex_route_save_pending (live);
          lodex_db_load_route (priv->db, live);
          g_signal_emit_by_name (live, "changed");
          g_signal_emit_by_name (live, "waypoints-modified");
        }
      else
        forget (store, priv->routes, G_OBJECT (live));
    }

  _lodex_set_emit_changed (LODEX_SET (store));
  g_autoptr (GPtrArray) none_listed = g_ptr_array_new ();
  store_emit_changes (store, none_listed, TRUE);
}

/* Reads one chunk of the journal and tells what it says; true when more
 * rows may follow. */
bool
read_chunk (LodexStore *store)
{
  LodexStorePrivate *priv = store_priv (store);
  g_autoptr (GArray) rows = db::journal_rows_new ();
  gint64 end = 0;
  if (!db::read_journal (priv->db, priv->journal_seq, chunk_rows, rows, &end))
    return false;

  if (rows->len == 0 && end == priv->journal_seq)
    return false; /* nothing new: a repeated or forged notice */
  gint64 first = rows->len ? g_array_index (rows, JournalRow, 0).seq : end + 1;
  if (first != priv->journal_seq + 1)
    {
      /* rows this store never read were pruned (or the file was replaced
       * by an older copy): what they said is lost, so everything is read
       * anew */
      priv->journal_seq = end;
      resynchronise (store);
      return false;
    }
  priv->journal_seq = g_array_index (rows, JournalRow, rows->len - 1).seq;

  /* the writes the journal marked as such: the rows from a mark's first
   * to the mark */
  std::vector<gint64> writes (rows->len, 0);
  gint64 write = 0, write_start = 0;
  for (guint i = rows->len; i-- > 0;)
    {
      const JournalRow &row = g_array_index (rows, JournalRow, i);
      if (row.table == JournalTable::TRANSACTION && row.id)
        write = row.seq, write_start = g_ascii_strtoll (row.id, nullptr, 10);
      else if (write && row.seq >= write_start)
        writes[i] = write;
      else
        write = 0;
    }

  Reading reading (store);
  for (guint i = 0; i < rows->len; i++)
    if (const JournalRow &row = g_array_index (rows, JournalRow, i); row.id && int (row.table) >= 0)
      reading.learn (row);
  for (guint i = 0; i < rows->len; i++)
    if (const JournalRow &row = g_array_index (rows, JournalRow, i); row.id && int (row.table) >= 0)
      reading.tell (row, writes[i]);
  g_autoptr (GPtrArray) changes = reading.changes ();

  for (const Action &action : reading.actions)
    perform (store, action);
  if (changes->len)
    store_emit_changes (store, changes, FALSE);
  return rows->len == chunk_rows;
}

} // namespace

void
store_catch_up (LodexStore *store) noexcept
{
  LodexStorePrivate *priv = store_priv (store);
  if (!priv->db || priv->journal_seq < 0)
    return;
  if (priv->reading)
    {
      /* a handler ran the main loop: the read that is telling goes on */
      priv->read_again = true;
      return;
    }
  if (!sqlite3_get_autocommit (priv->db))
    {
      /* rows of our own open transaction may still be rolled back */
      priv->read_deferred = true;
      return;
    }

  Hold hold (store);
  priv->reading = true;
  priv->read_again = false;
  bool more = false;
  try
    {
      more = read_chunk (store);
    }
  catch (const std::bad_alloc &)
    {
      g_warning ("Out of memory reading the change journal");
    }
  priv->reading = false;
  if (more || priv->read_again)
    _lodex_tracker_ring_here (priv->tracker);
}

void
store_after_transaction (LodexStore *store) noexcept
{
  LodexStorePrivate *priv = store_priv (store);
  if (priv->read_deferred && sqlite3_get_autocommit (priv->db))
    {
      priv->read_deferred = false;
      _lodex_tracker_ring_here (priv->tracker);
    }
}

} // namespace lodex
