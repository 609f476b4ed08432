/* LodexTextFilter: the places of an inner set whose name, description or
 * address holds a text, through the full-text index of their words. */

#include "lodex-search-private.hpp"

#include <cstring>
#include <utility>

struct _LodexTextFilter
{
  GObject parent_instance;
};

struct LodexTextFilterPrivate
{
  lodex::SearchSet search;
  gchar *text;
  LodexTextMatch match;
  guint fields;
  gboolean case_sensitive;
  gchar *suffix; /* of this level's parameter names: chosen by compose, used by bind */
};

static void lodex_text_filter_set_init (LodexSetInterface *iface);

/**
 * LodexTextFilter:
 *
 * The places of an inner set whose text matches #LodexTextFilter:text: by
 * default every word of it is a word of the place's name, in any order
 * ("cafe gare" finds "Café de la Gare"), whatever the case and the accents
 * of Latin letters ("zurich" finds "Zürich", "STRASSE" finds "Straße"); a
 * word ending in `*` finds the words it begins ("caf*" finds "Cafetería"). #LodexTextFilter:match asks for the
 * beginning of the text or the whole of it instead,
 * #LodexTextFilter:fields for the description and the address too, and
 * #LodexTextFilter:case-sensitive for letters in the same case.
 *
 * The words come from an index of the database. Every write of a place, by
 * any program, queues it for the index, and a walk or a count first indexes
 * the places queued: a place renamed is found under its new name at once.
 * The filter keeps the order of its inner set, and nests with the other
 * sets: inside a #LodexLocationSort it gives the nearest matching places
 * first, without reading the others.
 *
 * ```c
 * g_autoptr (LodexTextFilter) cafes = lodex_text_filter_new (LODEX_SET (store), "cafe");
 * g_autoptr (LodexLocationSort) nearest = lodex_location_sort_new (LODEX_SET (cafes));
 * g_object_set (nearest, "latitude", 47.37, "longitude", 8.54, NULL);
 * ```
 *
 * Since: 0.2
 */
G_DEFINE_TYPE_WITH_CODE (LodexTextFilter, lodex_text_filter, G_TYPE_OBJECT, G_ADD_PRIVATE (LodexTextFilter) G_IMPLEMENT_INTERFACE (LODEX_TYPE_SET, lodex_text_filter_set_init))

GType
lodex_text_match_get_type (void)
{
  static gsize type;
  if (g_once_init_enter (&type))
    {
      static const GEnumValue values[] = {
        {LODEX_TEXT_MATCH_CONTAINS, "LODEX_TEXT_MATCH_CONTAINS", "contains"},
        {LODEX_TEXT_MATCH_STARTS_WITH, "LODEX_TEXT_MATCH_STARTS_WITH", "starts-with"},
        {LODEX_TEXT_MATCH_EXACT, "LODEX_TEXT_MATCH_EXACT", "exact"},
        {0, nullptr, nullptr},
      };
      g_once_init_leave (&type, g_enum_register_static ("LodexTextMatch", values));
    }
  return GType (type);
}

GType
lodex_text_fields_get_type (void)
{
  static gsize type;
  if (g_once_init_enter (&type))
    {
      static const GFlagsValue values[] = {
        {LODEX_TEXT_FIELD_NAME, "LODEX_TEXT_FIELD_NAME", "name"},
        {LODEX_TEXT_FIELD_DESCRIPTION, "LODEX_TEXT_FIELD_DESCRIPTION", "description"},
        {LODEX_TEXT_FIELD_ADDRESS, "LODEX_TEXT_FIELD_ADDRESS", "address"},
        {0, nullptr, nullptr},
      };
      g_once_init_leave (&type, g_flags_register_static ("LodexTextFields", values));
    }
  return GType (type);
}

enum
{
  PROP_0,
  PROP_SET,
  PROP_TEXT,
  PROP_MATCH,
  PROP_FIELDS,
  PROP_CASE_SENSITIVE,
  N_PROPS
};

static GParamSpec *props[N_PROPS];

static LodexTextFilterPrivate *
get_priv (gpointer self)
{
  return static_cast<LodexTextFilterPrivate *> (lodex_text_filter_get_instance_private (LODEX_TEXT_FILTER (self)));
}

static void
lodex_text_filter_dispose (GObject *object)
{
  get_priv (object)->search.dispose ();
  G_OBJECT_CLASS (lodex_text_filter_parent_class)->dispose (object);
}

static void
lodex_text_filter_finalize (GObject *object)
{
  LodexTextFilterPrivate *priv = get_priv (object);
  priv->search.wrapped.finalize ();
  g_free (priv->text);
  g_free (priv->suffix);
  priv->~LodexTextFilterPrivate ();
  G_OBJECT_CLASS (lodex_text_filter_parent_class)->finalize (object);
}

static void
lodex_text_filter_get_property (GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  LodexTextFilterPrivate *priv = get_priv (object);
  switch (prop_id)
    {
    case PROP_SET:
      g_value_set_object (value, priv->search.wrapped.inner);
      break;
    case PROP_TEXT:
      g_value_set_string (value, priv->text);
      break;
    case PROP_MATCH:
      g_value_set_enum (value, priv->match);
      break;
    case PROP_FIELDS:
      g_value_set_flags (value, priv->fields);
      break;
    case PROP_CASE_SENSITIVE:
      g_value_set_boolean (value, priv->case_sensitive);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
    }
}

static void
lodex_text_filter_set_property (GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  LodexTextFilterPrivate *priv = get_priv (object);
  switch (prop_id)
    {
    case PROP_SET:
      priv->search.wrapped.set_inner (LODEX_SET (object), value);
      return;
    case PROP_TEXT:
      g_free (priv->text);
      priv->text = g_value_dup_string (value);
      break;
    case PROP_MATCH:
      priv->match = LodexTextMatch (g_value_get_enum (value));
      break;
    case PROP_FIELDS:
      priv->fields = g_value_get_flags (value);
      break;
    case PROP_CASE_SENSITIVE:
      priv->case_sensitive = g_value_get_boolean (value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      return;
    }
  /* a walk under way was bound with the old text */
  priv->search.invalidate (LODEX_SET (object));
}

static void
lodex_text_filter_class_init (LodexTextFilterClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = lodex_text_filter_dispose;
  object_class->finalize = lodex_text_filter_finalize;
  object_class->get_property = lodex_text_filter_get_property;
  object_class->set_property = lodex_text_filter_set_property;

  const auto flags = GParamFlags (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  /**
   * LodexTextFilter:set:
   *
   * The set whose places are filtered. Construct-only.
   *
   * Since: 0.2
   */
  lodex::WrappedSet::install_property (object_class, PROP_SET, "The set for the filter");
  /**
   * LodexTextFilter:text:
   *
   * The words sought; a text without letters or digits passes every place
   * (with %LODEX_TEXT_MATCH_EXACT, the places whose text has none either).
   *
   * Since: 0.2
   */
  props[PROP_TEXT] = g_param_spec_string ("text", nullptr, nullptr, nullptr, flags);
  /**
   * LodexTextFilter:match:
   *
   * How the text is compared: %LODEX_TEXT_MATCH_CONTAINS by default.
   *
   * Since: 0.2
   */
  props[PROP_MATCH] = g_param_spec_enum ("match", nullptr, nullptr, LODEX_TYPE_TEXT_MATCH, LODEX_TEXT_MATCH_CONTAINS, flags);
  /**
   * LodexTextFilter:fields:
   *
   * The texts of a place that are searched: the name alone by default. With
   * %LODEX_TEXT_MATCH_CONTAINS each word may be in any of them; the other
   * matches want one of them to match whole.
   *
   * Since: 0.2
   */
  props[PROP_FIELDS] = g_param_spec_flags ("fields", nullptr, nullptr, LODEX_TYPE_TEXT_FIELDS, LODEX_TEXT_FIELD_NAME, flags);
  /**
   * LodexTextFilter:case-sensitive:
   *
   * Whether letters must be in the same case; accents never count.
   *
   * Since: 0.2
   */
  props[PROP_CASE_SENSITIVE] = g_param_spec_boolean ("case-sensitive", nullptr, nullptr, FALSE, flags);
  for (guint id = PROP_TEXT; id < N_PROPS; id++)
    g_object_class_install_property (object_class, id, props[id]);
}

static void
lodex_text_filter_init (LodexTextFilter *self)
{
  LodexTextFilterPrivate *priv = new (get_priv (self)) LodexTextFilterPrivate{}; /* GObject only zero-fills */
  priv->fields = LODEX_TEXT_FIELD_NAME;
}

/**
 * lodex_text_filter_new:
 * @set: the set to filter
 * @text: (nullable): the words sought
 *
 * A filter of the places of @set whose name holds every word of @text.
 *
 * Returns: (transfer full): a new filter
 *
 * Since: 0.2
 */
LodexTextFilter *
lodex_text_filter_new (LodexSet *set, const gchar *text)
{
  g_return_val_if_fail (LODEX_IS_SET (set), NULL);
  return LODEX_TEXT_FILTER (g_object_new (LODEX_TYPE_TEXT_FILTER, "set", set, "text", text, nullptr));
}

/* The filter as a set */

namespace
{

/* Whether a word before the last ends in '*': no phrase of the index can
 * say that, the library's comparison does. */
bool
star_inside (const std::vector<std::string> &words)
{
  for (size_t i = 0; i + 1 < words.size (); i++)
    if (words[i].back () == '*')
      return true;
  return false;
}

/* The words as the index's query: each a quoted string, which the index's
 * own tokenizer folds as it folded the places' words. */
gchar *
index_query (LodexTextMatch match, guint fields, const std::vector<std::string> &words)
{
  GString *query = g_string_new ("{");
  const char *columns[] = {"name", "description", "address"};
  bool any = false;
  for (guint i = 0; i < G_N_ELEMENTS (columns); i++)
    if (fields & (1u << i))
      {
        g_string_append_printf (query, "%s%s", any ? " " : "", columns[i]);
        any = true;
      }
  g_string_append (query, "} : ");
  if (match == LODEX_TEXT_MATCH_CONTAINS || star_inside (words))
    {
      const bool all_begin = match != LODEX_TEXT_MATCH_CONTAINS;
      g_string_append (query, "(");
      for (size_t i = 0; i < words.size (); i++)
        {
          const std::string &w = words[i];
          const bool star = w.back () == '*' || all_begin;
          g_string_append_printf (query, "%s\"%.*s\"%s", i ? " " : "", int (w.size () - (w.back () == '*')), w.c_str (),
                                  star ? "*" : "");
        }
      g_string_append (query, ")");
    }
  else
    {
      g_string_append (query, "^\"");
      for (size_t i = 0; i < words.size (); i++)
        {
          const std::string &w = words[i];
          g_string_append_printf (query, "%s%.*s", i ? " " : "", int (w.size () - (w.back () == '*')), w.c_str ());
        }
      g_string_append (query, match == LODEX_TEXT_MATCH_STARTS_WITH ? "\"*" : "\"");
    }
  return g_string_free (query, FALSE);
}

/* The words of the text, in the index's spelling of "ß". */
std::vector<std::string>
index_words (const char *text)
{
  if (!text)
    return {};
  g_autofree gchar *valid = g_utf8_make_valid (text, -1);
  g_autofree gchar *composed = g_utf8_normalize (valid, -1, G_NORMALIZE_DEFAULT_COMPOSE);
  std::string spelled = composed ? composed : "";
  for (const char *sharp : {"ß", "ẞ"})
    for (size_t at = spelled.find (sharp); at != std::string::npos; at = spelled.find (sharp, at))
      spelled.replace (at, strlen (sharp), "ss");
  return lodex::split_words (spelled.c_str (), true);
}

gchar *
compose (LodexSet *set, const gchar *inner)
{
  LodexTextFilterPrivate *priv = get_priv (set);
  g_free (priv->suffix);
  priv->suffix = lodex::unused_suffix (inner, {"text", "text_pattern"});
  const char *s = priv->suffix;
  const guint fields = priv->fields ? priv->fields : guint (LODEX_TEXT_FIELD_NAME);

  std::vector<std::string> words = index_words (priv->text);
  if (words.empty () && priv->match != LODEX_TEXT_MATCH_EXACT)
    return g_strdup_printf ("SELECT * from (%s)", inner);

  /* the index cannot tell whole texts, nor case: the library's own
   * comparison decides those */
  GString *check = g_string_new (nullptr);
  if (priv->match == LODEX_TEXT_MATCH_EXACT || priv->case_sensitive || star_inside (words))
    {
      g_string_printf (check, "lodex_words_match (:text_pattern%s, %d, %d", s, int (priv->match), priv->case_sensitive ? 1 : 0);
      if (fields & LODEX_TEXT_FIELD_NAME)
        g_string_append (check, ", lodex_inner.name");
      if (fields & LODEX_TEXT_FIELD_DESCRIPTION)
        g_string_append (check, ", lodex_inner.description");
      if (fields & LODEX_TEXT_FIELD_ADDRESS)
        g_string_append (check, words.empty () ? ", (SELECT address FROM places_words WHERE rowid = "
                                                 "(SELECT docid FROM places_key WHERE place_id = lodex_inner.id))"
                                               : ", lodex_words.address");
      g_string_append (check, ")");
    }
  g_autofree gchar *condition = g_string_free (check, FALSE);

  if (words.empty ()) /* only the places without words */
    return g_strdup_printf ("SELECT * from (%s) AS lodex_inner WHERE %s", inner, condition);
  return g_strdup_printf ("SELECT lodex_inner.* FROM places_words (:text%s) AS lodex_words "
                          "JOIN places_key AS lodex_keys ON lodex_keys.docid = lodex_words.rowid "
                          "JOIN (%s) AS lodex_inner ON lodex_inner.id = lodex_keys.place_id%s%s",
                          s, inner, *condition ? " WHERE " : "", condition);
}

bool
bind (LodexSet *set, sqlite3_stmt *statement)
{
  LodexTextFilterPrivate *priv = get_priv (set);
  /* bound just before the first step: the words of places written since
   * are indexed first, on the store's connection */
  lodex::refresh_search (_lodex_set_get_db (set), false);
  const guint fields = priv->fields ? priv->fields : guint (LODEX_TEXT_FIELD_NAME);
  std::vector<std::string> words;
  try
    {
      words = index_words (priv->text);
    }
  catch (...)
    {
      return false;
    }
  g_autofree gchar *query = words.empty () ? nullptr : index_query (priv->match, fields, words);

  g_autofree gchar *text_name = g_strdup_printf (":text%s", priv->suffix);
  g_autofree gchar *pattern_name = g_strdup_printf (":text_pattern%s", priv->suffix);
  for (const auto &[name, value] : {std::pair{text_name, query}, std::pair{pattern_name, priv->text}})
    {
      int index = sqlite3_bind_parameter_index (statement, name);
      if (index && sqlite3_bind_text (statement, index, value ? value : "", -1, SQLITE_TRANSIENT) != SQLITE_OK)
        return lodex::check (false, "_lodex_text_filter_set_bind", "res == SQLITE_OK");
    }
  return true;
}

LodexPlace *
text_filter_first (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_TEXT_FILTER (set), NULL);
  return get_priv (set)->search.first (set, set, 0, -1);
}

LodexPlace *
text_filter_next (LodexSet *set)
{
  g_return_val_if_fail (LODEX_IS_TEXT_FILTER (set), NULL);
  return get_priv (set)->search.next (set, "lodex_text_filter_set_next");
}

/* Around the store, and where the index decides alone, the index counts. */
gchar *
count_text (LodexSet *set)
{
  LodexTextFilterPrivate *priv = get_priv (set);
  std::vector<std::string> words = index_words (priv->text);
  if (!LODEX_IS_STORE (priv->search.wrapped.inner) || priv->match == LODEX_TEXT_MATCH_EXACT || priv->case_sensitive
      || words.empty () || star_inside (words))
    return nullptr;
  return g_strdup_printf ("SELECT count(*) FROM places_words (:text%s)", priv->suffix);
}

constexpr lodex::WrapperKind kind = {
  "lodex_text_filter_set_next",
  [] (LodexSet *set) { return &get_priv (set)->search.wrapped; },
  compose,
  bind,
  nullptr,
  nullptr,
  count_text,
};

} // namespace

static void
lodex_text_filter_set_init (LodexSetInterface *iface)
{
  lodex::implement_set (iface, &kind);
  iface->first = text_filter_first;
  iface->next = text_filter_next;
}
