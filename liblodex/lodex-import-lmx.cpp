/* LMX import: streams a landmarks file into the import engine, one
 * landmark at a time, each handed over whole at its end element; the
 * engine stores the file in one transaction.
 *
 * libxml2's SAX parser, fed by chunks, rather than its text reader: the
 * reader withholds the nodes it has already parsed once it meets an error,
 * so the landmarks before a truncation would be lost with it. */

#include "lodex-importer.hpp"
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
  LodexPlaceRow *row = _lodex_place_row_new ();
  LodexPlaceAddress *address = nullptr;
  GList *links = nullptr;                                                                             /* of LodexPlaceLink, the last first */
  GPtrArray *categories = g_ptr_array_new_with_free_func (GDestroyNotify (_lodex_category_row_free)); /* each name once */
  LodexCategoryRow *category = nullptr;                                                               /* open */
  LodexPlaceLink *link = nullptr;                                                                     /* open */
  bool coordinates = false, latitude = false, longitude = false;

  Landmark () { row->ctime = g_get_real_time () / G_USEC_PER_SEC; }
  ~Landmark ()
  {
    _lodex_place_row_free (row);
    _lodex_place_address_free (address);
    g_list_free_full (links, GDestroyNotify (lodex_place_link_free));
    g_ptr_array_unref (categories);
    _lodex_category_row_free (category);
    lodex_place_link_free (link);
  }
};

class Import
{
public:
  Import (lodex::Importer &importer, const char *filename) : importer_ (importer), filename_ (filename) {}
  ~Import ()
  {
    delete landmark_;
    g_string_free (text_, TRUE);
    g_free (xml_problem_);
    g_free (namespace_);
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
  bool skipping (const char *local_name, const char *uri, Tag tag);
  void fail (int code, const char *format, ...) G_GNUC_PRINTF (3, 4);
  void fail_with (GError *error);
  void fail_unexpected (const char *local_name);
  void start_element (Tag tag, const char *local_name);
  void end_element (Tag tag);
  void start_in_landmark (Tag tag, const char *local_name);
  void end_in_landmark (Tag tag);
  void apply_text (Tag tag);
  void store_landmark ();
  gchar *where () const;

  lodex::Importer &importer_;
  const char *filename_;
  xmlParserCtxt *context_ = nullptr;
  GError *error_ = nullptr; /* the first failure; parsing stops at it */
  State state_ = START;
  Landmark *landmark_ = nullptr; /* the one being read */
  State after_landmark_ = AFTER_LANDMARK;
  Tag open_tag_ = lodex::lmx::UNKNOWN; /* the element whose text is gathered */
  gchar *namespace_ = nullptr;         /* the root's */
  guint skip_depth_ = 0;               /* inside an element skipped with its content */
  GString *text_ = g_string_new (nullptr);
  bool have_text_ = false;
  bool traces_ = !g_log_writer_default_would_drop (G_LOG_LEVEL_DEBUG, G_LOG_DOMAIN);
  goffset read_ = 0, size_ = 0; /* bytes of the file */
  /* the first problem libxml2 reported, and where */
  gchar *xml_problem_ = nullptr;
  int xml_line_ = 0, xml_column_ = 0;
};

/* "file:line:column", where the parser is. */
gchar *
Import::where () const
{
  if (!context_)
    return g_strdup (filename_);
  return g_strdup_printf ("%s:%d:%d", filename_, xmlSAX2GetLineNumber (context_), xmlSAX2GetColumnNumber (context_));
}

/* Stops the parse with an error that says where. */
void
Import::fail (int code, const char *format, ...)
{
  if (error_)
    return;
  va_list args;
  va_start (args, format);
  g_autofree gchar *message = g_strdup_vprintf (format, args);
  va_end (args);
  g_autofree gchar *place = where ();
  error_ = g_error_new (LODEX_ERROR, code, "%s: %s", place, message);
  if (context_)
    xmlStopParser (context_);
}

/* Stops the parse with the engine's error, prefixed with where. */
void
Import::fail_with (GError *error)
{
  if (error_)
    {
      g_error_free (error);
      return;
    }
  if (!g_error_matches (error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
    {
      g_autofree gchar *place = where ();
      g_prefix_error (&error, "%s: ", place);
    }
  error_ = error;
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
  fail (LODEX_ERROR_UNEXPECTED_TAG, "Unexpected tag '%s' encountered", local_name);
}

void
Import::on_xml_error (void *data, xmlError *xml_error)
{
  /* only the fatal ones stop the parse, as "Parse error", with the first
   * one's place and words */
  auto self = static_cast<Import *> (data);
  if (!xml_error || !xml_error->message)
    return;
  g_debug ("%s:%d: %s", self->filename_, xml_error->line, g_strchomp (xml_error->message));
  if (!self->xml_problem_ && xml_error->level >= XML_ERR_ERROR)
    {
      self->xml_problem_ = g_strdup (xml_error->message);
      self->xml_line_ = xml_error->line;
      self->xml_column_ = xml_error->int2;
    }
}

/* Elements we do not store (a time stamp, another namespace's, a later
 * version's) are legal: each is skipped with all it holds. The root must
 * be ours, and it names our namespace. */
bool
Import::skipping (const char *local_name, const char *uri, Tag tag)
{
  if (skip_depth_)
    {
      skip_depth_++;
      return true;
    }
  if (state_ == START)
    {
      namespace_ = g_strdup (uri);
      return false;
    }
  if (tag != lodex::lmx::UNKNOWN && g_strcmp0 (uri, namespace_) == 0)
    return false;
  g_debug ("%s: skipping '%s'", filename_, local_name);
  skip_depth_ = 1;
  return true;
}

void
Import::on_start (void *data, const xmlChar *local_name, const xmlChar *, const xmlChar *uri, int, const xmlChar **, int, int, const xmlChar **)
{
  auto self = static_cast<Import *> (data);
  const char *name = reinterpret_cast<const char *> (local_name);
  Tag tag = lodex::lmx::tag_of (name);
  if (!self->error_ && !self->skipping (name, reinterpret_cast<const char *> (uri), tag))
    self->start_element (tag, name);
}

void
Import::on_end (void *data, const xmlChar *local_name, const xmlChar *, const xmlChar *)
{
  auto self = static_cast<Import *> (data);
  if (self->skip_depth_)
    {
      self->skip_depth_--;
      return;
    }
  if (!self->error_)
    self->end_element (lodex::lmx::tag_of (reinterpret_cast<const char *> (local_name)));
}

void
Import::on_text (void *data, const xmlChar *text, int len)
{
  auto self = static_cast<Import *> (data);
  if (self->error_ || self->skip_depth_ || !self->landmark_ || self->open_tag_ == lodex::lmx::UNKNOWN)
    return;
  if (self->text_->len + gsize (len) > max_text)
    {
      g_debug ("%s: more than %" G_GSIZE_FORMAT " bytes of text in one element", self->filename_, max_text);
      self->fail (LODEX_ERROR_PARSE, "Parse error: more than %" G_GSIZE_FORMAT " bytes of text in one element", max_text);
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
      landmark.coordinates = true;
      break;
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
      landmark.category = _lodex_category_row_new ();
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
      if (landmark.link)
        landmark.links = g_list_prepend (landmark.links, g_steal_pointer (&landmark.link));
      break;
    case lodex::lmx::CATEGORY:
      if (landmark.category)
        {
          /* one membership per name; a category without a name is none */
          LodexCategoryRow *category = g_steal_pointer (&landmark.category);
          bool named_before = false;
          for (guint i = 0; category->name && !named_before && i < landmark.categories->len; i++)
            named_before = g_str_equal (static_cast<LodexCategoryRow *> (landmark.categories->pdata[i])->name,
                                        category->name);
          if (category->name && !named_before)
            g_ptr_array_add (landmark.categories, category);
          else
            _lodex_category_row_free (category);
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

/* A number as LMX writes it (xsd:double without INF and NaN), blanks
 * around it allowed. */
bool
parse_number (const char *text, double *value)
{
  while (g_ascii_isspace (*text))
    text++;
  gchar *end = nullptr;
  double number = g_ascii_strtod (text, &end);
  if (end == text || !std::isfinite (number))
    return false;
  while (g_ascii_isspace (*end))
    end++;
  if (*end)
    return false;
  *value = number;
  return true;
}

/* At most 40 characters of a bad value, for an error message. */
gchar *
quote (const char *text)
{
  if (g_utf8_strlen (text, -1) <= 40)
    return g_strdup_printf ("\"%s\"", text);
  g_autofree gchar *start = g_utf8_substring (text, 0, 40);
  return g_strdup_printf ("\"%s…\"", start);
}

void
Import::apply_text (Tag tag)
{
  Landmark &landmark = *landmark_;
  const char *text = text_->str;
  auto replace = [text] (gchar **field) {
    g_free (*field);
    *field = g_strdup (text);
  };
  if (landmark.link)
    {
      if (tag == lodex::lmx::NAME)
        replace (&landmark.link->name);
      else if (tag == lodex::lmx::MIME)
        replace (&landmark.link->mime);
      else if (tag == lodex::lmx::URL)
        replace (&landmark.link->url);
      return;
    }
  if (landmark.category)
    {
      if (tag == lodex::lmx::NAME)
        replace (&landmark.category->name);
      else if (tag == lodex::lmx::DESCRIPTION)
        replace (&landmark.category->description);
      return;
    }
  if (lodex::lmx::elements[tag].property && traces_)
    g_debug ("%s := %s", lodex::lmx::elements[tag].property, text);

  LodexPlaceRow *row = landmark.row;
  struct Optional
  {
    Tag tag;
    gdouble LodexPlaceRow::*member;
    guint bit;
  };
  static const Optional optional[] = {
    {lodex::lmx::ALTITUDE, &LodexPlaceRow::altitude, LODEX_PLACE_FIELD_ALTITUDE},
    {lodex::lmx::HORIZONTAL_ACCURACY, &LodexPlaceRow::haccuracy, LODEX_PLACE_FIELD_HACCURACY},
    {lodex::lmx::VERTICAL_ACCURACY, &LodexPlaceRow::vaccuracy, LODEX_PLACE_FIELD_VACCURACY},
    {lodex::lmx::COVERAGE_RADIUS, &LodexPlaceRow::coverage, LODEX_PLACE_FIELD_COVERAGE},
  };
  switch (tag)
    {
    case lodex::lmx::NAME:
      return replace (&row->name);
    case lodex::lmx::DESCRIPTION:
      return replace (&row->description);
    case lodex::lmx::LATITUDE:
    case lodex::lmx::LONGITUDE:
      {
        /* a position that cannot be read refuses the file, as in GPX */
        bool latitude = tag == lodex::lmx::LATITUDE;
        if (!parse_number (text, latitude ? &row->latitude : &row->longitude))
          {
            g_autofree gchar *shown = quote (text);
            return fail (LODEX_ERROR_INVALID, "<%s> is not a number: %s", lodex::lmx::elements[tag].name, shown);
          }
        (latitude ? landmark.latitude : landmark.longitude) = true;
        return;
      }
    default:
      break;
    }
  for (const Optional &o : optional)
    if (o.tag == tag)
      {
        /* an optional value that cannot be read is left out */
        if (parse_number (text, &(row->*o.member)))
          row->fields |= o.bit;
        else
          {
            row->*o.member = 0.0;
            row->fields &= ~o.bit;
            importer_.count_dropped (1);
          }
        return;
      }
  if (tag >= lodex::lmx::COUNTRY && tag <= lodex::lmx::PHONE_NUMBER)
    {
      if (!landmark.address)
        landmark.address = _lodex_place_address_new ();
      replace (&(landmark.address->*lodex::address_fields[tag - lodex::lmx::COUNTRY].member));
    }
}

void
Import::store_landmark ()
{
  Landmark &landmark = *landmark_;
  LodexPlaceRow *row = landmark.row;
  if (landmark.coordinates && !(landmark.latitude && landmark.longitude))
    return fail (LODEX_ERROR_INVALID, "the coordinates of a landmark lack its %s",
                 landmark.latitude ? "longitude" : "latitude");
  /* the engine checks the position, and the error then says where */
  GError *error = nullptr;
  landmark.links = g_list_reverse (landmark.links);
  bool added = false;
  if (!importer_.add_place (row, landmark.address, landmark.links, &added, &error))
    return fail_with (error);
  for (guint i = 0; added && i < landmark.categories->len; i++)
    {
      auto category = static_cast<LodexCategoryRow *> (landmark.categories->pdata[i]);
      if (!importer_.join_category (row->id, category->name, category->description, &error))
        return fail_with (error);
    }
  importer_.read (read_, size_);
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
  struct stat st;
  if (fstat (fd, &st) == 0 && S_ISREG (st.st_mode))
    size_ = st.st_size;
  ssize_t n = read_chunk ();
  if (n < 0)
    return false;
  read_ = n;
  /* the first bytes tell the encoding */
  ParserContext context (xmlCreatePushParserCtxt (&sax, this, buffer, int (n), filename_));
  if (!context)
    return false;
  context_ = context.get ();
  /* no entity substitution, no DTD loading, no network */
  xmlCtxtUseOptions (context_, XML_PARSE_NONET);

  do
    {
      n = read_chunk ();
      read_ += MAX (n, 0);
    }
  while (n > 0 && xmlParseChunk (context_, buffer, int (n), 0) == 0 && !error_);
  /* the end of the file ends the document */
  bool well_formed = n == 0 && xmlParseChunk (context_, nullptr, 0, 1) == 0 && context_->wellFormed;
  context_ = nullptr;
  return well_formed;
}

bool
Import::run (int fd, GError **error)
{
  if (!parse (fd) && !error_)
    {
      if (xml_problem_)
        error_ = g_error_new (LODEX_ERROR, LODEX_ERROR_PARSE, "%s:%d:%d: Parse error: %s", filename_, xml_line_,
                              xml_column_, g_strstrip (xml_problem_));
      else
        error_ = g_error_new (LODEX_ERROR, LODEX_ERROR_PARSE, "%s: Parse error: the file could not be read",
                              filename_);
    }
  if (error_)
    {
      g_propagate_error (error, error_);
      error_ = nullptr;
      return false;
    }
  importer_.read (read_, size_);
  return true;
}

} // namespace

bool
lodex::import_lmx (Importer &importer, const char *filename, GError **error) noexcept
{
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
      return false;
    }
  bool ok = Import (importer, filename).run (fd, error);
  close (fd);
  return ok;
}

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
 * The file is stored in one transaction: the whole file or nothing. A
 * latitude or longitude that is not a number, or outside -90 to 90 and
 * -180 to 180, fails the file; an optional value that is not a number
 * (an altitude, an accuracy, a coverage radius) is left out. Every place
 * added is announced like any other.
 *
 * Returns: %TRUE when the whole document was read and stored; %FALSE with
 *   @error set otherwise, naming the line and column where the file is
 *   wrong: in %G_FILE_ERROR when the file cannot be opened, else in
 *   %LODEX_ERROR
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
  return lodex::import_file (store, filename, true, nullptr, nullptr, nullptr, error);
}
