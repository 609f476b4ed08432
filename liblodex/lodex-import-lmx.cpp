/* LMX import: streams a landmarks file into the store, one landmark at a
 * time, each stored whole at its end element.
 *
 * libxml2's SAX parser, fed by chunks, rather than its text reader: the
 * reader withholds the nodes it has already parsed once it meets an error,
 * so the landmarks before a truncation would be lost with it. */

#include "lodex-private.h"
#include "lodex-lmx-private.h"

#include <glib/gstdio.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using lodex::lmx::Tag;
/* A SAX parse still keeps a document for the entities a DTD declares,
 * which the context does not free. */
void
free_parser_context (xmlParserCtxt *context)
{
  if (context->myDoc)
    xmlFreeDoc (context->myDoc);
  xmlFreeParserCtxt (context);
}

using ParserContext = lodex::Handle<xmlParserCtxt, free_parser_context>;

/* Landmarks per transaction: few commits, and few broadcasts held back
 * until each. */
constexpr guint landmarks_per_commit = 1000;

/* Text gathered for one element: as much as libxml2 allows in one node. */
constexpr gsize max_text = XML_MAX_TEXT_LENGTH;

constexpr gsize chunk_size = 64 * 1024;

/* libxml2 prints some errors itself, through handlers that belong to the
 * thread; while in scope they go to the debug log instead, since the caller
 * gets a GError. */
class QuietXmlErrors
{
public:
  QuietXmlErrors ()
      : generic_ (xmlGenericError), generic_data_ (xmlGenericErrorContext), structured_ (xmlStructuredError),
        structured_data_ (xmlStructuredErrorContext)
  {
    xmlSetGenericErrorFunc (nullptr, on_generic);
    xmlSetStructuredErrorFunc (nullptr, on_structured);
  }
  ~QuietXmlErrors ()
  {
    xmlSetGenericErrorFunc (generic_data_, generic_);
    xmlSetStructuredErrorFunc (structured_data_, structured_);
  }
  QuietXmlErrors (const QuietXmlErrors &) = delete;
  QuietXmlErrors &operator= (const QuietXmlErrors &) = delete;

private:
  static void
  on_generic (void *, const char *format, ...) G_GNUC_PRINTF (2, 3)
  {
    va_list args;
    va_start (args, format);
    g_autofree gchar *message = g_strdup_vprintf (format, args);
    va_end (args);
    g_debug ("libxml2: %s", g_strchomp (message));
  }

  static void
  on_structured (void *, xmlError *error)
  {
    if (error && error->message)
      g_debug ("libxml2: %s", g_strchomp (error->message));
  }

  xmlGenericErrorFunc generic_;
  void *generic_data_;
  xmlStructuredErrorFunc structured_;
  void *structured_data_;
};

/* One landmark while it is read: nothing is stored before its end. */
struct Landmark
{
  LodexPlace *place = lodex_place_new (nullptr, 0.0, 0.0);                 /* created now, at 0, 0 */
  GPtrArray *categories = g_ptr_array_new_with_free_func (g_object_unref); /* named, each once */
  GHashTable *names = g_hash_table_new_full (g_str_hash, g_str_equal, g_free, nullptr);
  LodexCategory *category = nullptr; /* open; the last of @categories */
  LodexPlaceLink *link = nullptr;    /* open */

  ~Landmark ()
  {
    g_object_unref (place);
    g_ptr_array_unref (categories);
    g_hash_table_unref (names);
    lodex_place_link_free (link);
  }
};

class Import
{
public:
  Import (LodexStore *store, const char *filename) : store_ (store), filename_ (filename) {}
  ~Import ()
  {
    delete landmark_;
    g_string_free (text_, TRUE);
  }

  bool run (int fd, GError **error);

private:
  enum State
  {
    START,
    IN_LMX,
    IN_COLLECTION,
    AFTER_COLLECTION,
    AFTER_LANDMARK
  };

  static void on_start (void *data, const xmlChar *local_name, const xmlChar *, const xmlChar *, int, const xmlChar **, int, int, const xmlChar **);
  static void on_end (void *data, const xmlChar *local_name, const xmlChar *, const xmlChar *);
  static void on_text (void *data, const xmlChar *text, int len);
  static void on_xml_error (void *data, xmlError *xml_error);

  bool parse (int fd);
  void fail (GQuark domain, int code, const char *format, ...) G_GNUC_PRINTF (4, 5);
  void fail_unexpected (const char *local_name);
  void start_element (Tag tag, const char *local_name);
  void end_element (Tag tag);
  void start_in_landmark (Tag tag, const char *local_name);
  void end_in_landmark (Tag tag);
  void apply_text (Tag tag);
  void store_landmark ();
  void store_categories ();

  LodexStore *store_;
  const char *filename_;
  xmlParserCtxt *context_ = nullptr;
  GError *error_ = nullptr; /* the first failure; parsing stops at it */
  State state_ = START;
  Landmark *landmark_ = nullptr; /* the one being read */
  State after_landmark_ = AFTER_LANDMARK;
  Tag open_tag_ = lodex::lmx::UNKNOWN; /* the element whose text is gathered */
  GString *text_ = g_string_new (nullptr);
  bool have_text_ = false;
  guint landmarks_ = 0;
  guint uncommitted_ = 0;
  bool in_batch_ = false; /* a transaction of ours is open */
};

void
Import::fail (GQuark domain, int code, const char *format, ...)
{
  if (error_)
    return;
  va_list args;
  va_start (args, format);
  error_ = g_error_new_valist (domain, code, format, args);
  va_end (args);
  if (context_)
    xmlStopParser (context_);
}

void
Import::fail_unexpected (const char *local_name)
{
  /* libxml2 reports a start tag before it looks for its '>': one cut off by
   * the end of the file is about to fail the parse instead */
  const xmlParserInput *input = context_->input;
  const xmlChar *at = input->cur;
  if (at >= input->end || !(at[0] == '>' || (at[0] == '/' && at + 1 < input->end && at[1] == '>')))
    return;
  fail (LODEX_ERROR, LODEX_ERROR_UNEXPECTED_TAG, "Unexpected tag '%s' encountered", local_name);
}

void
Import::on_xml_error (void *data, xmlError *xml_error)
{
  /* only the fatal ones stop the parse, as "Parse error"; the details are
   * for whoever debugs */
  auto self = static_cast<Import *> (data);
  if (xml_error && xml_error->message)
    g_debug ("%s:%d: %s", self->filename_, xml_error->line, g_strchomp (xml_error->message));
}

void
Import::on_start (void *data, const xmlChar *local_name, const xmlChar *, const xmlChar *, int, const xmlChar **, int, int, const xmlChar **)
{
  auto self = static_cast<Import *> (data);
  const char *name = reinterpret_cast<const char *> (local_name);
  if (!self->error_)
    self->start_element (lodex::lmx::tag_of (name), name);
}

void
Import::on_end (void *data, const xmlChar *local_name, const xmlChar *, const xmlChar *)
{
  auto self = static_cast<Import *> (data);
  if (!self->error_)
    self->end_element (lodex::lmx::tag_of (reinterpret_cast<const char *> (local_name)));
}

void
Import::on_text (void *data, const xmlChar *text, int len)
{
  auto self = static_cast<Import *> (data);
  if (self->error_ || !self->landmark_ || self->open_tag_ == lodex::lmx::UNKNOWN)
    return;
  if (self->text_->len + gsize (len) > max_text)
    {
      g_debug ("%s: more than %" G_GSIZE_FORMAT " bytes of text in one element", self->filename_, max_text);
      self->fail (LODEX_ERROR, LODEX_ERROR_PARSE, "Parse error");
      return;
    }
  g_string_append_len (self->text_, reinterpret_cast<const char *> (text), len);
  self->have_text_ = true;
}

void
Import::start_element (Tag tag, const char *local_name)
{
  if (landmark_)
    {
      start_in_landmark (tag, local_name);
      return;
    }

  switch (state_)
    {
    case START:
      if (tag != lodex::lmx::LMX)
        return fail_unexpected (local_name);
      state_ = IN_LMX;
      return;
    case IN_LMX:
      if (tag == lodex::lmx::LANDMARK_COLLECTION)
        state_ = IN_COLLECTION;
      else if (tag != lodex::lmx::LANDMARK)
        return fail_unexpected (local_name);
      break;
    case IN_COLLECTION:
      if (tag == lodex::lmx::NAME || tag == lodex::lmx::DESCRIPTION)
        {
          g_debug ("Ignoring '%s' for landmark collection for now", local_name);
          return;
        }
      if (tag != lodex::lmx::LANDMARK)
        return fail_unexpected (local_name);
      break;
    case AFTER_COLLECTION:
    case AFTER_LANDMARK:
      return fail_unexpected (local_name);
    }

  if (tag == lodex::lmx::LANDMARK)
    {
      after_landmark_ = state_ == IN_COLLECTION ? IN_COLLECTION : AFTER_LANDMARK;
      landmark_ = new Landmark;
      landmarks_++;
      open_tag_ = lodex::lmx::UNKNOWN;
    }
}

void
Import::end_element (Tag tag)
{
  if (!landmark_)
    {
      if (tag == lodex::lmx::LANDMARK_COLLECTION && state_ == IN_COLLECTION)
        state_ = AFTER_COLLECTION;
      return;
    }
  if (tag != lodex::lmx::LANDMARK)
    return end_in_landmark (tag);

  store_landmark ();
  g_clear_pointer (&landmark_, [] (Landmark *landmark) { delete landmark; });
  state_ = after_landmark_;
}

/* Nesting inside a landmark is not enforced, but a link or a category
 * cannot hold another. */
void
Import::start_in_landmark (Tag tag, const char *local_name)
{
  Landmark &landmark = *landmark_;
  switch (tag)
    {
    case lodex::lmx::COORDINATES:
    case lodex::lmx::ADDRESS_INFO:
      break;
    case lodex::lmx::MEDIA_LINK:
      if (landmark.link || landmark.category)
        return fail_unexpected (local_name);
      landmark.link = lodex_place_link_new ();
      break;
    case lodex::lmx::CATEGORY:
      if (landmark.link || landmark.category)
        return fail_unexpected (local_name);
      landmark.category = LODEX_CATEGORY (g_object_new (LODEX_TYPE_CATEGORY, nullptr));
      g_ptr_array_add (landmark.categories, landmark.category);
      break;
    case lodex::lmx::UNKNOWN:
    case lodex::lmx::LMX:
    case lodex::lmx::LANDMARK_COLLECTION:
    case lodex::lmx::LANDMARK:
    case lodex::lmx::N_TAGS:
      return fail_unexpected (local_name);
    default: /* an element that holds text */
      open_tag_ = tag;
      return;
    }
  open_tag_ = lodex::lmx::UNKNOWN;
}

void
Import::end_in_landmark (Tag tag)
{
  Landmark &landmark = *landmark_;
  switch (tag)
    {
    case lodex::lmx::MEDIA_LINK:
      /* a detached place keeps its links until the store adds it */
      if (landmark.link)
        lodex_place_add_link (landmark.place, landmark.link);
      g_clear_pointer (&landmark.link, lodex_place_link_free);
      break;
    case lodex::lmx::CATEGORY:
      if (landmark.category)
        {
          /* one membership per name; a category without a name is none */
          g_autofree gchar *name = nullptr;
          g_object_get (landmark.category, "name", &name, nullptr);
          if (name && !g_hash_table_contains (landmark.names, name))
            g_hash_table_add (landmark.names, g_steal_pointer (&name));
          else
            g_ptr_array_remove_index (landmark.categories, landmark.categories->len - 1);
          landmark.category = nullptr;
        }
      break;
    default:
      if (tag == open_tag_ && have_text_)
        apply_text (tag);
      break;
    }
  open_tag_ = lodex::lmx::UNKNOWN;
  g_string_truncate (text_, 0);
  have_text_ = false;
}

/* Sets @property from text, converted to the property's own type; an object
 * without such a property ignores it. */
void
set_from_text (GObject *object, const char *property, const char *text, bool category)
{
  GParamSpec *pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (object), property);
  if (!pspec || !(pspec->flags & G_PARAM_WRITABLE))
    return;

  g_auto (GValue) value = G_VALUE_INIT;
  g_value_init (&value, pspec->value_type);
  if (pspec->value_type == G_TYPE_DOUBLE)
    {
      /* not a finite number: 0.0, as for any text that is not a number */
      double number = g_ascii_strtod (text, nullptr);
      g_value_set_double (&value, std::isfinite (number) ? number : 0.0);
    }
  else if (pspec->value_type == G_TYPE_STRING)
    g_value_set_string (&value, text);
  else
    return;

  if (category)
    g_message ("category: %s := %s", property, text);
  else
    g_message ("%s := %s", property, text);
  g_object_set_property (object, property, &value);
}

void
Import::apply_text (Tag tag)
{
  Landmark &landmark = *landmark_;
  const char *text = text_->str;
  if (landmark.link)
    {
      gchar **field = tag == lodex::lmx::NAME   ? &landmark.link->name
                      : tag == lodex::lmx::MIME ? &landmark.link->mime
                      : tag == lodex::lmx::URL  ? &landmark.link->url
                                                : nullptr;
      if (field)
        {
          g_free (*field);
          *field = g_strdup (text);
        }
      return;
    }

  const char *property = lodex::lmx::elements[tag].property;
  if (!property)
    return;
  if (landmark.category)
    set_from_text (G_OBJECT (landmark.category), property, text, true);
  else
    set_from_text (G_OBJECT (landmark.place), property, text, false);
}

void
Import::store_landmark ()
{
  if (!lodex_store_add_place (store_, landmark_->place))
    {
      g_autofree gchar *name = nullptr;
      g_object_get (landmark_->place, "name", &name, nullptr);
      g_autofree gchar *what = name ? g_strdup_printf ("landmark '%s'", name)
                                    : g_strdup_printf ("landmark %u", landmarks_);
      return fail (LODEX_ERROR, LODEX_ERROR_STORE, "Could not store %s", what);
    }
  store_categories ();

  /* every landmark so far reaches the database, and its broadcasts the bus */
  if (++uncommitted_ < landmarks_per_commit)
    return;
  uncommitted_ = 0;
  in_batch_ = false;
  if (!_lodex_store_batch_end (store_) || !(in_batch_ = _lodex_store_batch_begin (store_)))
    fail (LODEX_ERROR, LODEX_ERROR_STORE, "Could not store %s", filename_);
}

/* Memberships by name, reusing the store's category of that name; one that
 * cannot be stored costs the membership only (the store has said why). */
void
Import::store_categories ()
{
  GPtrArray *categories = landmark_->categories;
  for (guint i = 0; i < categories->len; i++)
    {
      auto category = static_cast<LodexCategory *> (categories->pdata[i]);
      g_autofree gchar *name = nullptr;
      g_object_get (category, "name", &name, nullptr);

      g_autoptr (LodexCategory) used = lodex_store_get_category_by_name (store_, name);
      if (used)
        g_message ("Using existing category %s", name);
      else if (lodex_store_add_category (store_, category))
        used = LODEX_CATEGORY (g_object_ref (category));
      else
        continue;
      lodex_category_add_place (used, landmark_->place);
    }
}

/* Feeds the file to the parser; FALSE when the document is not well-formed
 * or the file cannot be read. */
bool
Import::parse (int fd)
{
  QuietXmlErrors quiet;
  xmlSAXHandler sax = {};
  sax.initialized = XML_SAX2_MAGIC;
  sax.startElementNs = on_start;
  sax.endElementNs = on_end;
  sax.characters = on_text;
  sax.cdataBlock = on_text;
  sax.ignorableWhitespace = on_text;
  sax.serror = on_xml_error;
  /* no entity callbacks: an entity the document declares is never
   * expanded; a reference to one fails the parse */

  g_autofree char *buffer = static_cast<char *> (g_malloc (chunk_size));
  auto read_chunk = [&] {
    ssize_t n;
    while ((n = ::read (fd, buffer, chunk_size)) < 0 && errno == EINTR)
      ;
    return n;
  };
  ssize_t n = read_chunk ();
  if (n < 0)
    return false;
  /* the first bytes tell the encoding */
  ParserContext context (xmlCreatePushParserCtxt (&sax, this, buffer, int (n), filename_));
  if (!context)
    return false;
  context_ = context.get ();
  /* no entity substitution, no DTD loading, no network */
  xmlCtxtUseOptions (context_, XML_PARSE_NONET);

  do
    n = read_chunk ();
  while (n > 0 && xmlParseChunk (context_, buffer, int (n), 0) == 0 && !error_);
  /* the end of the file ends the document */
  bool well_formed = n == 0 && xmlParseChunk (context_, nullptr, 0, 1) == 0 && context_->wellFormed;
  context_ = nullptr;
  return well_formed;
}

bool
Import::run (int fd, GError **error)
{
  in_batch_ = _lodex_store_batch_begin (store_);
  if (!in_batch_)
    {
      g_set_error (error, LODEX_ERROR, LODEX_ERROR_STORE, "Could not store %s", filename_);
      return false;
    }
  if (!parse (fd) && !error_)
    fail (LODEX_ERROR, LODEX_ERROR_PARSE, "Parse error");

  /* what was stored before an error stays */
  if (in_batch_ && !_lodex_store_batch_end (store_))
    fail (LODEX_ERROR, LODEX_ERROR_STORE, "Could not store %s", filename_);
  if (error_)
    {
      g_propagate_error (error, error_);
      error_ = nullptr;
      return false;
    }
  return true;
}

} // namespace

/**
 * lodex_import_from_lmx_file:
 * @store: a #LodexStore
 * @filename: an LMX file: one landmark or one landmark collection
 * @error: return location for a #GError
 *
 * Stores every landmark of @filename as a new place with its address and
 * media links, in the categories it names; a category is created unless
 * @store has one of that name. Element names count, not their namespace.
 *
 * The import stops at the first error: the landmarks read before it stay
 * stored, the one being read is not stored. Every place added is announced
 * like any other.
 *
 * Returns: %TRUE when the whole document was read and stored; %FALSE with
 *   @error set otherwise: in %G_FILE_ERROR when the file cannot be opened,
 *   else in %LODEX_ERROR
 *
 * Since: 0.1
 */
gboolean
lodex_import_from_lmx_file (LodexStore *store, const char *filename, GError **error)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);

  int fd = g_open (filename, O_RDONLY | O_CLOEXEC, 0);
  struct stat st;
  if (fd >= 0 && fstat (fd, &st) == 0 && S_ISDIR (st.st_mode))
    {
      close (fd);
      fd = -1;
      errno = EISDIR;
    }
  if (fd < 0)
    {
      int saved = errno;
      g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (saved), "Failed to open %s", filename);
      return FALSE;
    }

  lodex::Hold hold (store);
  gboolean ok = Import (store, filename).run (fd, error);
  close (fd);
  return ok;
}
