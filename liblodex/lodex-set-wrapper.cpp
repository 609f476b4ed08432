/* The base of the sets built around another set. */

#include "lodex-set-wrapper.hpp"

namespace lodex
{

void
WrappedSet::install_property (GObjectClass *klass, guint prop_id, const char *blurb) noexcept
{
  g_object_class_install_property (
    klass, prop_id,
    g_param_spec_object ("set", blurb, blurb, LODEX_TYPE_SET,
                         GParamFlags (G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY | G_PARAM_STATIC_STRINGS)));
}

static void
inner_changed_cb (LodexSet *self)
{
  g_debug ("%s: inner set changed", G_OBJECT_TYPE_NAME (self));
  _lodex_set_emit_changed (self);
}

void
WrappedSet::set_inner (LodexSet *self, const GValue *value) noexcept
{
  inner = LODEX_SET (g_value_dup_object (value));
  if (inner)
    inner_handler = g_signal_connect_swapped (inner, "changed", G_CALLBACK (inner_changed_cb), self);
}

void
WrappedSet::invalidate (LodexSet *self) noexcept
{
  walk.end ();
  _lodex_set_emit_changed (self);
}

void
WrappedSet::dispose () noexcept
{
  walk.end ();
  if (inner)
    {
      g_clear_signal_handler (&inner_handler, inner);
      g_clear_object (&inner);
    }
}

void
WrappedSet::finalize () noexcept
{
  g_clear_pointer (&query, g_free);
}

namespace
{

/* Each wrapping type carries its kind as type data, so one set of slots
 * serves every kind; the slots are reached only through the type's own
 * interface vtable. */
GQuark
kind_quark ()
{
  static GQuark quark = g_quark_from_static_string ("lodex-wrapper-kind");
  return quark;
}

const WrapperKind *
kind_of (LodexSet *set)
{
  return static_cast<const WrapperKind *> (g_type_get_qdata (G_OBJECT_TYPE (set), kind_quark ()));
}

/* The inner set, or NULL after a critical. */
WrappedSet *
with_inner (LodexSet *set, const WrapperKind *kind, const char *function)
{
  WrappedSet *w = kind->wrapped (set);
  return check (w->inner != nullptr, function, "priv->set != NULL") ? w : nullptr;
}

LodexPlace *
wrapper_first (LodexSet *set)
{
  const WrapperKind *kind = kind_of (set);
  WrappedSet *w = kind->wrapped (set);
  w->walk.end ();
  if (!with_inner (set, kind, "lodex_set_first"))
    return nullptr;
  return walk_first (set, &w->walk);
}

LodexPlace *
wrapper_next (LodexSet *set)
{
  const WrapperKind *kind = kind_of (set);
  WrappedSet *w = kind->wrapped (set);
  if (!check (bool (w->walk), kind->next_function, "priv->statement != NULL"))
    return nullptr;
  return walk_next (set, &w->walk);
}

LodexStore *
wrapper_get_store (LodexSet *set)
{
  const WrapperKind *kind = kind_of (set);
  WrappedSet *w = with_inner (set, kind, "lodex_set_get_store");
  return w ? lodex_set_get_store (w->inner) : nullptr;
}

sqlite3 *
wrapper_get_db (LodexSet *set)
{
  const WrapperKind *kind = kind_of (set);
  WrappedSet *w = with_inner (set, kind, "_lodex_set_get_db");
  return w ? _lodex_set_get_db (w->inner) : nullptr;
}

const gchar *
wrapper_get_query (LodexSet *set)
{
  const WrapperKind *kind = kind_of (set);
  WrappedSet *w = with_inner (set, kind, "_lodex_set_get_query");
  if (!w)
    return nullptr;
  const gchar *inner = _lodex_set_get_query (w->inner);
  if (!inner)
    return nullptr;
  g_free (w->query);
  w->query = kind->compose (set, inner);
  return w->query;
}

gboolean
wrapper_bind (LodexSet *set, sqlite3_stmt *statement)
{
  const WrapperKind *kind = kind_of (set);
  WrappedSet *w = with_inner (set, kind, "_lodex_set_bind");
  return w && _lodex_set_bind (w->inner, statement) && kind->bind (set, statement);
}

} // namespace

static const char *
own_order (const WrapperKind *kind, LodexSet *set) noexcept
{
  if (!kind)
    return nullptr;
  return kind->order ? kind->order : kind->order_of ? kind->order_of (set) : nullptr;
}

const char *
chain_order (LodexSet *set) noexcept
{
  const WrapperKind *kind = kind_of (set);
  if (own_order (kind, set))
    return nullptr; /* its own text ends with its order */
  while (kind)
    {
      LodexSet *inner = kind->wrapped (set)->inner;
      if (!inner)
        return nullptr;
      set = inner;
      kind = kind_of (set);
      if (const char *order = own_order (kind, set))
        return *order ? order : nullptr;
    }
  return nullptr;
}

gchar *
count_text (LodexSet *set) noexcept
{
  const WrapperKind *kind = kind_of (set);
  return kind && kind->count_text ? kind->count_text (set) : nullptr;
}

const char *
set_order (LodexSet *set) noexcept
{
  const char *order = own_order (kind_of (set), set);
  if (order)
    return *order ? order : nullptr;
  return chain_order (set);
}

void
implement_set (LodexSetInterface *iface, const WrapperKind *kind) noexcept
{
  g_type_set_qdata (iface->g_iface.g_instance_type, kind_quark (), const_cast<WrapperKind *> (kind));
  iface->first = wrapper_first;
  iface->next = wrapper_next;
  iface->get_store = wrapper_get_store;
  iface->get_db = wrapper_get_db;
  iface->get_query = wrapper_get_query;
  iface->bind = wrapper_bind;
}

} // namespace lodex
