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
#include <vector>

namespace lodex
{

namespace
{

/* The journal is read this many rows at a time; the main loop runs between
 * two reads, and each ends with its own "changes". */
constexpr guint chunk_rows = 10000;

/* Each object's own reaction, as to the broadcast of today's single write */

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
      bool reloaded = Family<T>::reload (store_priv (store)->db, live);
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
  gsize first_insert = G_MAXSIZE;      /* the index of its first insert */
  bool inserted = false, deleted = false;
  bool touched = false;   /* an update, of its row or of what hangs off it */
  bool waypoints = false; /* of a route */
  int told = none;        /* the last of ADDED and REMOVED told */
  bool updated_told = false, waypoints_told = false;

  bool
  removed_at_end () const
  {
    return last_op == int (JournalOp::DELETE);
  }
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

  const Object *
  find (LodexChangeKind kind, const gchar *id) const
  {
    auto it = objects.find (key (kind, id));
    return it == objects.end () ? nullptr : &it->second;
  }

  void
  membership (LodexChangeKind kind, const JournalRow &row)
  {
    std::string k = key (kind, row.id) + '\n' + row.related;
    auto [it, inserted] = memberships.try_emplace (k, Membership{kind, row.id, row.related, row.op, row.op});
    if (inserted)
      order.emplace_back (true, k);
    it->second.last = row.op;
    object (kind, row.id); /* for its own fate */
  }

  bool
  live (const Object &o) const
  {
    GObject *object = nullptr;
    LodexStorePrivate *priv = store_priv (store);
    switch (o.kind)
      {
      case LODEX_CHANGE_KIND_PLACE:
        object = priv->places.lookup (o.id);
        break;
      case LODEX_CHANGE_KIND_CATEGORY:
        object = priv->categories.lookup (o.id);
        break;
      case LODEX_CHANGE_KIND_IMAGE:
        object = priv->images.lookup (o.id);
        break;
      case LODEX_CHANGE_KIND_ROUTE:
        object = priv->routes.lookup (o.id);
        break;
      }
    if (object)
      g_object_unref (object);
    return object != nullptr;
  }

  /* First pass: the fate of every object and membership. */
  void
  learn (const JournalRow &row, gsize index)
  {
    switch (row.table)
      {
      case JournalTable::PLACES:
      case JournalTable::CATEGORIES:
      case JournalTable::IMAGES:
      case JournalTable::ROUTES:
        {
          Object &o = object (kind_of (row.table), row.id);
          if (o.first_op == none)
            o.first_op = int (row.op);
          o.last_op = int (row.op);
          o.inserted |= row.op == JournalOp::INSERT;
          o.deleted |= row.op == JournalOp::DELETE;
          o.touched |= row.op == JournalOp::UPDATE;
          if (row.op == JournalOp::INSERT)
            o.first_insert = MIN (o.first_insert, index);
          break;
        }
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
        if (row.related)
          membership (LODEX_CHANGE_KIND_CATEGORY, row);
        break;
      case JournalTable::R2P:
        if (row.related)
          membership (LODEX_CHANGE_KIND_ROUTE, row);
        break;
      case JournalTable::WAYPOINTS:
        if (row.related)
          object (LODEX_CHANGE_KIND_ROUTE, row.related).waypoints = true;
        break;
      }
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

  bool
  removed_at_end (LodexChangeKind kind, const gchar *id) const
  {
    const Object *o = id ? find (kind, id) : nullptr;
    return o && o->removed_at_end ();
  }

  /* An addition or a removal, as often as it alternates. */
  void
  tell_fate (Object &o, Act act)
  {
    if (o.told == int (act))
      return;
    if (o.kind == LODEX_CHANGE_KIND_PLACE && !set_told)
      {
        /* every set of places may have changed */
        actions.push_back ({Act::SET_CHANGED, o.kind, nullptr});
        set_told = true;
      }
    actions.push_back ({act, o.kind, o.id});
    o.told = int (act);
  }

  /* An update, once. None for an object removed by the end of the read,
   * nor, unless the object is live, for one added earlier in it: it is
   * read as it is now when it is fetched. A live one may have been
   * fetched before, or be the adding program's own. */
  void
  tell_update (Object &o, gsize index, bool membership = false)
  {
    if (o.updated_told || o.removed_at_end ())
      return;
    if (!membership && o.first_insert < index && !live (o))
      return;
    actions.push_back ({Act::UPDATED, o.kind, o.id});
    o.updated_told = true;
  }

  /* Second pass: what the store tells, in journal order. */
  void
  tell (const JournalRow &row, gsize index)
  {
    switch (row.table)
      {
      case JournalTable::PLACES:
      case JournalTable::CATEGORIES:
      case JournalTable::IMAGES:
      case JournalTable::ROUTES:
        {
          Object &o = object (kind_of (row.table), row.id);
          if (row.op == JournalOp::UPDATE)
            tell_update (o, index);
          else
            tell_fate (o, row.op == JournalOp::INSERT ? Act::ADDED : Act::REMOVED);
          break;
        }
      case JournalTable::PLACES_ADDRESS:
      case JournalTable::PLACES_LINKS:
      case JournalTable::PLACES_APPDATA:
        tell_update (object (LODEX_CHANGE_KIND_PLACE, row.id), index);
        break;
      case JournalTable::P2I:
        /* an image removed takes its memberships with it: that is all */
        if (row.related && !removed_at_end (LODEX_CHANGE_KIND_IMAGE, row.id))
          tell_update (object (LODEX_CHANGE_KIND_PLACE, row.related), index);
        break;
      case JournalTable::P2C:
      case JournalTable::R2P:
        /* likewise a place removed */
        if (row.related && !removed_at_end (LODEX_CHANGE_KIND_PLACE, row.related))
          tell_update (object (kind_of (row.table), row.id), index, true);
        break;
      case JournalTable::WAYPOINTS:
        if (row.related)
          {
            Object &route = object (LODEX_CHANGE_KIND_ROUTE, row.related);
            if (!route.waypoints_told && !route.removed_at_end ())
              {
                actions.push_back ({Act::WAYPOINTS, LODEX_CHANGE_KIND_ROUTE, route.id});
                route.waypoints_told = true;
              }
          }
        break;
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
      if (Family<LodexCategory>::reload (priv->db, live))
        g_signal_emit_by_name (live, "changed");
      else
        forget (store, priv->categories, G_OBJECT (live));
    }

  g_autoptr (GPtrArray) images = priv->images.live ();
  for (guint i = 0; i < images->len; i++)
    {
      auto live = LODEX_IMAGE (images->pdata[i]);
      if (Family<LodexImage>::reload (priv->db, live))
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

  Reading reading (store);
  for (guint i = 0; i < rows->len; i++)
    if (const JournalRow &row = g_array_index (rows, JournalRow, i); row.id && int (row.table) >= 0)
      reading.learn (row, i);
  for (guint i = 0; i < rows->len; i++)
    if (const JournalRow &row = g_array_index (rows, JournalRow, i); row.id && int (row.table) >= 0)
      reading.tell (row, i);
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
