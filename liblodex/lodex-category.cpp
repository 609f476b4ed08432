/* LodexCategory: a named group of places. A bound category writes each
 * change at once. */

#include "lodex-object.hpp"

struct LodexCategoryPrivate
{
  LodexCategoryRow *row;
  LodexStore *store; /* strong ref while bound */
};

/**
 * LodexCategory:
 *
 * A named group of places. Add it to a store with
 * lodex_store_add_category(); a stored category writes a change of its
 * properties at once. Its places are walked with a #LodexCategoryFilter;
 * lodex_category_add_place() and lodex_category_remove_place() change its
 * members.
 *
 * Since: 0.1
 */
G_DEFINE_TYPE_WITH_PRIVATE (LodexCategory, lodex_category, G_TYPE_OBJECT)

enum
{
  PROP_0,
  PROP_ID,
  PROP_NAME,
  PROP_DESCRIPTION,
  N_PROPS
};

enum
{
  CHANGED,
  ADDED,
  REMOVED,
  N_SIGNALS
};

static GParamSpec *props[N_PROPS];
static guint signals[N_SIGNALS];

static LodexCategoryPrivate *
get_priv (LodexCategory *self)
{
  return static_cast<LodexCategoryPrivate *> (lodex_category_get_instance_private (self));
}

/* Property ids 1 to 3, in order. */
static constexpr gchar *LodexCategoryRow::*const fields[] = {
  &LodexCategoryRow::id,
  &LodexCategoryRow::name,
  &LodexCategoryRow::description,
};

static void
lodex_category_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexCategory *self = LODEX_CATEGORY (object);
  lodex_return_if_foreign (get_priv (self)->store);
  if (!lodex::set_text_property (object, _lodex_category_get_row (self), fields, prop_id, value, pspec))
    return;

  LodexCategoryPrivate *priv = get_priv (self);
  if (priv->store)
    _lodex_store_update_category (priv->store, self);
  else
    g_signal_emit (self, signals[CHANGED], 0);
}

static void
lodex_category_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  lodex::get_text_property (object, _lodex_category_get_row (LODEX_CATEGORY (object)), fields, prop_id, value, pspec);
}

static void
lodex_category_dispose (GObject *object)
{
  LodexCategoryPrivate *priv = get_priv (LODEX_CATEGORY (object));
  if (priv->store)
    _lodex_store_forget (priv->store, object);
  g_clear_object (&priv->store);
  G_OBJECT_CLASS (lodex_category_parent_class)->dispose (object);
}

static void
lodex_category_finalize (GObject *object)
{
  g_clear_pointer (&get_priv (LODEX_CATEGORY (object))->row, _lodex_category_row_free);
  G_OBJECT_CLASS (lodex_category_parent_class)->finalize (object);
}

static void
lodex_category_class_init (LodexCategoryClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);

  object_class->set_property = lodex_category_set_property;
  object_class->get_property = lodex_category_get_property;
  object_class->dispose = lodex_category_dispose;
  object_class->finalize = lodex_category_finalize;

  /**
   * LodexCategory:id:
   *
   * The category's id in the database, or %NULL while it is in no store.
   *
   * Since: 0.1
   */
  props[PROP_ID] = g_param_spec_string ("id", "Identifier", "Identifier", nullptr,
                                        GParamFlags (G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));
  /**
   * LodexCategory:name:
   *
   * The category's name; lodex_store_get_category_by_name() finds it by
   * this.
   *
   * Since: 0.1
   */
  props[PROP_NAME] = g_param_spec_string ("name", "Name", "Name of category", "",
                                          GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
  /**
   * LodexCategory:description:
   *
   * What the category groups.
   *
   * Since: 0.1
   */
  props[PROP_DESCRIPTION] = g_param_spec_string ("description", "Description", "Description of category", "",
                                                 GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
  g_object_class_install_properties (object_class, N_PROPS, props);

  /**
   * LodexCategory::changed:
   * @category: the category
   *
   * Emitted when the category's values changed: for a stored category, when
   * it has reloaded after a change broadcast by any process, this one
   * included; for a category in no store, at once on every property change.
   *
   * Since: 0.1
   */
  /**
   * LodexCategory::added:
   * @category: the category
   * @store: the store that added it
   *
   * Emitted when lodex_store_add_category() has stored the category.
   *
   * Since: 0.1
   */
  /**
   * LodexCategory::removed:
   * @category: the category
   * @store: the store it was removed from
   *
   * Emitted when the category was removed from the database, by
   * lodex_store_remove_category() or by another process. The store forgets
   * it.
   *
   * Since: 0.1
   */
  lodex::new_object_signals (klass, &signals[CHANGED], &signals[ADDED], &signals[REMOVED],
                             G_STRUCT_OFFSET (LodexCategoryClass, changed), G_STRUCT_OFFSET (LodexCategoryClass, added),
                             G_STRUCT_OFFSET (LodexCategoryClass, removed));
}

static void
lodex_category_init (LodexCategory *self)
{
}

/**
 * lodex_category_new:
 * @name: the category's name
 * @description: (nullable): what it groups
 *
 * Makes a category that belongs to no store; lodex_store_add_category()
 * stores it.
 *
 * Returns: (transfer full): a category in no store
 *
 * Since: 0.1
 */
LodexCategory *
lodex_category_new (const gchar *name, const gchar *description)
{
  g_return_val_if_fail (name != NULL, NULL);
  return LODEX_CATEGORY (g_object_new (LODEX_TYPE_CATEGORY, "name", name, "description", description, nullptr));
}

/* Membership is made or ended only between a place and a category of one
 * store; two detached objects fail in the store's own checks. */
static gboolean
change_membership (LodexCategory *category, LodexPlace *place, const char *refusal, gboolean (*change) (LodexStore *, LodexPlace *, LodexCategory *))
{
  LodexStore *store = get_priv (category)->store;
  if (_lodex_place_get_store (place) != store)
    {
      lodex::fail (LODEX_ERROR_NOT_STORED, "%s", refusal);
      return FALSE;
    }
  return change (store, place, category);
}

/* What the store's own checks take for a program's mistake: a category in
 * no store. */
static bool
category_stored (LodexCategory *category)
{
  if (get_priv (category)->store && _lodex_category_get_row (category)->id)
    return true;
  lodex::fail (LODEX_ERROR_NOT_STORED, "Category not associated with database.");
  return false;
}

/**
 * lodex_category_add_place:
 * @category: a stored category
 * @place: a place of the same store
 *
 * Makes @place a member of @category, at once.
 *
 * Returns: whether the place is now a member
 *
 * Since: 0.1
 */
gboolean
lodex_category_add_place (LodexCategory *category, LodexPlace *place)
{
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  lodex_return_val_if_foreign (get_priv (category)->store, FALSE);
  return change_membership (category, place, "Trying to add a Place to a Category from a different store.",
                            _lodex_store_add_place_to_category);
}

/**
 * lodex_category_add_place_full:
 * @category: a stored category
 * @place: a place of the same store
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_category_add_place() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_EXISTS when @place is a member already,
 * %LODEX_ERROR_NOT_STORED when @category is in no store, @place is not in the same store, or another program removed it,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the place is now a member
 *
 * Since: 0.2
 */
gboolean
lodex_category_add_place_full (LodexCategory *category, LodexPlace *place, GError **error)
{
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (category)->store, FALSE);
  lodex::Failures failures;
  return failures.finish (category_stored (category) && change_membership (category, place, "Trying to add a Place to a Category from a different store.", _lodex_store_add_place_to_category), error, "Adding the place to the category");
}

/**
 * lodex_category_remove_place:
 * @category: a stored category
 * @place: a place of the same store
 *
 * Ends the membership of @place in @category, at once.
 *
 * Returns: whether the membership was ended (also when there was none)
 *
 * Since: 0.1
 */
gboolean
lodex_category_remove_place (LodexCategory *category, LodexPlace *place)
{
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  lodex_return_val_if_foreign (get_priv (category)->store, FALSE);
  return change_membership (category, place, "Trying to remove a Place from a Category from a different store.",
                            _lodex_store_remove_place_from_category);
}

/**
 * lodex_category_remove_place_full:
 * @category: a stored category
 * @place: a place of the same store
 * @error: return location for a #GError, or %NULL
 *
 * Does what lodex_category_remove_place() does, and tells why it failed rather than
 * logging it. The errors, in the %LODEX_ERROR domain:
 * %LODEX_ERROR_NOT_STORED when @category is in no store, @place is not in the same store, or another program removed it,
 * %LODEX_ERROR_BUSY when another program held the database locked too long,
 * %LODEX_ERROR_DATABASE when the database refused the write.
 *
 * Returns: whether the membership was ended (also when there was none)
 *
 * Since: 0.2
 */
gboolean
lodex_category_remove_place_full (LodexCategory *category, LodexPlace *place, GError **error)
{
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), FALSE);
  g_return_val_if_fail (LODEX_IS_PLACE (place), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  lodex_return_val_if_foreign (get_priv (category)->store, FALSE);
  lodex::Failures failures;
  return failures.finish (category_stored (category) && change_membership (category, place, "Trying to remove a Place from a Category from a different store.", _lodex_store_remove_place_from_category), error, "Removing the place from the category");
}

LodexCategory *
_lodex_category_new_with_row (LodexCategoryRow *row)
{
  LodexCategory *self = LODEX_CATEGORY (g_object_new (LODEX_TYPE_CATEGORY, nullptr));
  _lodex_category_set_row (self, row);
  return self;
}

LodexCategoryRow *
_lodex_category_get_row (LodexCategory *category)
{
  g_return_val_if_fail (category != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), NULL);
  LodexCategoryPrivate *priv = get_priv (category);

  if (!priv->row)
    priv->row = _lodex_category_row_new ();
  return priv->row;
}

void
_lodex_category_set_row (LodexCategory *category, LodexCategoryRow *row)
{
  g_return_if_fail (category != NULL);
  g_return_if_fail (LODEX_IS_CATEGORY (category));
  g_assert (row != NULL);
  LodexCategoryPrivate *priv = get_priv (category);

  g_clear_pointer (&priv->row, _lodex_category_row_free);
  priv->row = row;
}

LodexStore *
_lodex_category_get_store (LodexCategory *category)
{
  g_return_val_if_fail (category != NULL, NULL);
  g_return_val_if_fail (LODEX_IS_CATEGORY (category), NULL);
  return get_priv (category)->store;
}

void
_lodex_category_set_store (LodexCategory *category, LodexStore *store)
{
  g_return_if_fail (category != NULL);
  g_return_if_fail (LODEX_IS_CATEGORY (category));
  lodex::bind_store (&get_priv (category)->store, store, G_STRFUNC);
}

LodexCategoryRow *
_lodex_category_row_new (void)
{
  return g_slice_new0 (LodexCategoryRow);
}

void
_lodex_category_row_free (LodexCategoryRow *row)
{
  lodex::text_row_free (row, fields);
}
