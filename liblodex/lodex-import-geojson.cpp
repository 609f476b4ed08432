/* GeoJSON import: a FeatureCollection of Point features, read as a stream
 * of tokens by a scanner of our own, one feature at a time; each is handed
 * to the import engine at its end and forgotten, so memory stays flat
 * whatever the file's size. Members come in any order (other writers put
 * "features" before "type"), so a feature is only judged whole. */

#include "lodex-geojson-private.hpp"
#include "lodex-importer.hpp"
#include "lodex-json-private.hpp"

#include <liblodex/lodex-import.h>

#include <glib/gstdio.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lodex::json
{

constexpr gsize chunk_size = 64 * 1024;
constexpr int max_depth = 256;

Scanner::Scanner (int fd, const char *text, gsize length) noexcept
    : fd_ (fd), text_in_ (text)
{
  if (fd_ >= 0)
    buffer_ = static_cast<char *> (g_malloc (chunk_size));
  else
    end_ = length;
  /* a byte order mark, as some writers put first, is no content */
  if (peek () == 0xef)
    {
      gsize at = start_;
      const char *bytes = fd_ >= 0 ? buffer_ : text_in_;
      if (end_ - at >= 3 && guchar (bytes[at + 1]) == 0xbb && guchar (bytes[at + 2]) == 0xbf)
        {
          start_ += 3;
          consumed_ += 3;
        }
    }
}

Scanner::~Scanner ()
{
  g_free (buffer_);
  g_string_free (text_, TRUE);
  g_free (problem_);
}

int
Scanner::peek () noexcept
{
  if (start_ < end_)
    return static_cast<guchar> (fd_ >= 0 ? buffer_[start_] : text_in_[start_]);
  if (fd_ < 0 || eof_ || problem_)
    return -1;
  gssize got;
  do
    got = ::read (fd_, buffer_, chunk_size);
  while (got < 0 && errno == EINTR);
  if (got < 0)
    {
      int saved = errno;
      fail ("the file could not be read: %s", g_strerror (saved));
      return -1;
    }
  if (got == 0)
    {
      eof_ = true;
      return -1;
    }
  start_ = 0;
  end_ = gsize (got);
  return static_cast<guchar> (buffer_[0]);
}

void
Scanner::advance () noexcept
{
  if ((fd_ >= 0 ? buffer_[start_] : text_in_[start_]) == '\n')
    line_++;
  start_++;
  consumed_++;
}

Token
Scanner::fail (const char *format, ...) noexcept
{
  if (!problem_)
    {
      va_list args;
      va_start (args, format);
      problem_ = g_strdup_vprintf (format, args);
      va_end (args);
    }
  return Token::ERROR;
}

Token
Scanner::next () noexcept
{
  if (problem_)
    return Token::ERROR;
  int c;
  while ((c = peek ()) == ' ' || c == '\t' || c == '\n' || c == '\r')
    advance ();
  token_line_ = line_;
  if (problem_)
    return Token::ERROR;
  switch (c)
    {
    case -1:
      return Token::END;
    case '{':
      advance ();
      return Token::BEGIN_OBJECT;
    case '}':
      advance ();
      return Token::END_OBJECT;
    case '[':
      advance ();
      return Token::BEGIN_ARRAY;
    case ']':
      advance ();
      return Token::END_ARRAY;
    case ':':
      advance ();
      return Token::COLON;
    case ',':
      advance ();
      return Token::COMMA;
    case '"':
      advance ();
      return scan_string ();
    case 't':
      return scan_word ("true", Token::TRUE_);
    case 'f':
      return scan_word ("false", Token::FALSE_);
    case 'n':
      return scan_word ("null", Token::NULL_);
    default:
      if (c == '-' || g_ascii_isdigit (c))
        return scan_number ();
      if (c >= 0x20 && c < 0x7f)
        return fail ("unexpected character '%c'", c);
      return fail ("unexpected byte 0x%02x", unsigned (c));
    }
}

Token
Scanner::scan_word (const char *word, Token token) noexcept
{
  for (const char *p = word; *p; p++)
    {
      if (peek () != *p)
        return fail ("unknown word (not true, false or null)");
      advance ();
    }
  int c = peek ();
  if (c >= 0 && (g_ascii_isalnum (c) || c == '_'))
    return fail ("unknown word (not true, false or null)");
  return token;
}

bool
Scanner::hex4 (guint *value) noexcept
{
  *value = 0;
  for (int i = 0; i < 4; i++)
    {
      int c = peek ();
      if (c < 0 || !g_ascii_isxdigit (c))
        return false;
      *value = *value * 16 + guint (g_ascii_xdigit_value (char (c)));
      advance ();
    }
  return true;
}

Token
Scanner::scan_string () noexcept
{
  g_string_truncate (text_, 0);
  for (;;)
    {
      int c = peek ();
      if (c < 0)
        return problem_ ? Token::ERROR : fail ("the file ends inside a string");
      advance ();
      if (c == '"')
        break;
      if (c < 0x20)
        return fail ("a control character inside a string");
      if (c != '\\')
        {
          g_string_append_c (text_, char (c));
          continue;
        }
      c = peek ();
      if (c < 0)
        return problem_ ? Token::ERROR : fail ("the file ends inside a string");
      advance ();
      switch (c)
        {
        case '"':
        case '\\':
        case '/':
          g_string_append_c (text_, char (c));
          break;
        case 'b':
          g_string_append_c (text_, '\b');
          break;
        case 'f':
          g_string_append_c (text_, '\f');
          break;
        case 'n':
          g_string_append_c (text_, '\n');
          break;
        case 'r':
          g_string_append_c (text_, '\r');
          break;
        case 't':
          g_string_append_c (text_, '\t');
          break;
        case 'u':
          {
            guint unit;
            if (!hex4 (&unit))
              return fail ("a \\u escape without four hexadecimal digits");
            gunichar ch = unit;
            if (unit >= 0xd800 && unit < 0xdc00)
              {
                guint low;
                if (peek () != '\\')
                  return fail ("a lone surrogate in a \\u escape");
                advance ();
                if (peek () != 'u')
                  return fail ("a lone surrogate in a \\u escape");
                advance ();
                if (!hex4 (&low) || low < 0xdc00 || low > 0xdfff)
                  return fail ("a lone surrogate in a \\u escape");
                ch = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
              }
            else if (unit >= 0xdc00 && unit < 0xe000)
              return fail ("a lone surrogate in a \\u escape");
            if (ch == 0)
              return fail ("a string holds a NUL character");
            g_string_append_unichar (text_, ch);
            break;
          }
        default:
          return fail ("an unknown escape in a string");
        }
      if (text_->len > G_MAXINT / 2)
        return fail ("a string too long");
    }
  if (!g_utf8_validate_len (text_->str, text_->len, nullptr))
    return fail ("a string that is not UTF-8");
  return Token::STRING;
}

Token
Scanner::scan_number () noexcept
{
  g_string_truncate (text_, 0);
  auto take = [&] {
    g_string_append_c (text_, char (peek ()));
    advance ();
  };
  auto digits = [&] {
    bool any = false;
    while (peek () >= 0 && g_ascii_isdigit (peek ()))
      {
        take ();
        any = true;
      }
    return any;
  };
  if (peek () == '-')
    take ();
  if (peek () == '0')
    take ();
  else if (!digits ())
    return fail ("a number without digits");
  if (peek () == '.')
    {
      take ();
      if (!digits ())
        return fail ("a number without digits after its point");
    }
  if (peek () == 'e' || peek () == 'E')
    {
      take ();
      if (peek () == '+' || peek () == '-')
        take ();
      if (!digits ())
        return fail ("a number without digits in its exponent");
    }
  int c = peek ();
  if (c >= 0 && (g_ascii_isalnum (c) || c == '.' || c == '_'))
    return fail ("a number followed by '%c'", c);
  number_ = g_ascii_strtod (text_->str, nullptr);
  if (!std::isfinite (number_))
    return fail ("a number too large");
  return Token::NUMBER;
}

void
append_string (GString *out, const char *text) noexcept
{
  g_string_append_c (out, '"');
  for (const guchar *p = reinterpret_cast<const guchar *> (text); *p; p++)
    switch (*p)
      {
      case '"':
        g_string_append (out, "\\\"");
        break;
      case '\\':
        g_string_append (out, "\\\\");
        break;
      case '\n':
        g_string_append (out, "\\n");
        break;
      case '\r':
        g_string_append (out, "\\r");
        break;
      case '\t':
        g_string_append (out, "\\t");
        break;
      default:
        if (*p < 0x20)
          g_string_append_printf (out, "\\u%04x", *p);
        else
          g_string_append_c (out, char (*p));
      }
  g_string_append_c (out, '"');
}

namespace
{

bool
copy_at (Scanner &scanner, Token first, GString *out, gchar **problem, int depth)
{
  /* the scanner's own problem, when it has one, says more */
  auto bad = [&] (const char *what) {
    if (!*problem)
      *problem = g_strdup (scanner.problem () ? scanner.problem () : what ? what : "a value is not well-formed");
    return false;
  };
  if (depth > max_depth)
    return bad ("values nested too deep");
  switch (first)
    {
    case Token::STRING:
      if (out)
        append_string (out, scanner.text ());
      return true;
    case Token::NUMBER:
      if (out)
        g_string_append (out, scanner.text ());
      return true;
    case Token::TRUE_:
    case Token::FALSE_:
    case Token::NULL_:
      if (out)
        g_string_append (out, first == Token::TRUE_ ? "true" : first == Token::FALSE_ ? "false" : "null");
      return true;
    case Token::BEGIN_ARRAY:
    case Token::BEGIN_OBJECT:
      {
        bool object = first == Token::BEGIN_OBJECT;
        Token close = object ? Token::END_OBJECT : Token::END_ARRAY;
        if (out)
          g_string_append_c (out, object ? '{' : '[');
        Token token = scanner.next ();
        if (token != close)
          for (;;)
            {
              if (object)
                {
                  if (token != Token::STRING)
                    return token == Token::ERROR ? bad (nullptr) : bad ("an object member without a name");
                  if (out)
                    {
                      append_string (out, scanner.text ());
                      g_string_append_c (out, ':');
                    }
                  if ((token = scanner.next ()) != Token::COLON)
                    return token == Token::ERROR ? bad (nullptr) : bad ("a member name without ':'");
                  token = scanner.next ();
                }
              if (token == Token::ERROR)
                return bad (nullptr);
              if (!copy_at (scanner, token, out, problem, depth + 1))
                return false;
              token = scanner.next ();
              if (token == close)
                break;
              if (token != Token::COMMA)
                return bad (object ? "a member not followed by ',' or '}'" : "an element not followed by ',' or ']'");
              if (out)
                g_string_append_c (out, ',');
              token = scanner.next ();
            }
        if (out)
          g_string_append_c (out, object ? '}' : ']');
        return true;
      }
    case Token::END:
      return bad ("the file ends before a value");
    case Token::ERROR:
      return bad (nullptr);
    default:
      return bad ("a value was expected");
    }
}

} // namespace

bool
copy_value (Scanner &scanner, Token first, GString *out, gchar **problem) noexcept
{
  return copy_at (scanner, first, out, problem, 0);
}

} // namespace lodex::json

namespace
{

using lodex::json::Scanner;
using lodex::json::Token;

/* One feature while it is read: nothing is stored before its end. */
struct Feature
{
  LodexPlaceRow *row = _lodex_place_row_new ();
  LodexPlaceAddress *address = nullptr;
  GList *links = nullptr;          /* of LodexPlaceLink */
  GList *categories = nullptr;     /* names */
  GString *other = g_string_new (nullptr); /* unknown properties, as object members */
  gchar *type = nullptr;
  gchar *geometry_type = nullptr;
  bool geometry = false;           /* a geometry object, not null */
  bool nested = false;             /* coordinates of anything but a point */
  double position[3] = {};
  int n_position = 0;

  ~Feature ()
  {
    _lodex_place_row_free (row);
    _lodex_place_address_free (address);
    g_list_free_full (links, GDestroyNotify (lodex_place_link_free));
    g_list_free_full (categories, g_free);
    g_string_free (other, TRUE);
    g_free (type);
    g_free (geometry_type);
  }
};

class Reader
{
public:
  Reader (lodex::Importer &importer, const char *filename, Scanner &scanner, goffset size)
      : importer_ (importer), filename_ (filename), scanner_ (scanner), size_ (size)
  {
  }
  ~Reader () { g_free (problem_); }

  bool read (GError **error);

private:
  bool fail (const char *format, ...) G_GNUC_PRINTF (2, 3);
  bool scan_failed (Token token);
  bool expect (Token token, const char *what);
  template <typename Member>
  bool members (Member member);
  bool skip (Token first);
  bool feature ();
  bool geometry (Feature &feature);
  bool coordinates (Feature &feature);
  bool properties (Feature &feature);
  bool property (Feature &feature, const char *key);
  bool store (Feature &feature, int line);

  lodex::Importer &importer_;
  const char *filename_;
  Scanner &scanner_;
  goffset size_;
  GError *error_ = nullptr;
  gchar *problem_ = nullptr;
  guint skipped_ = 0;
};

bool
Reader::fail (const char *format, ...)
{
  if (error_)
    return false;
  va_list args;
  va_start (args, format);
  g_autofree gchar *message = g_strdup_vprintf (format, args);
  va_end (args);
  error_ = g_error_new (LODEX_ERROR, LODEX_ERROR_INVALID, "%s:%d: %s", filename_, scanner_.line (), message);
  return false;
}

/* A token that is not what the grammar allows: a parse error. */
bool
Reader::scan_failed (Token token)
{
  if (error_)
    return false;
  const char *what = token == Token::END                         ? "the file ends too early"
                     : token == Token::ERROR && scanner_.problem () ? scanner_.problem ()
                                                                     : "unexpected token";
  error_ = g_error_new (LODEX_ERROR, LODEX_ERROR_PARSE, "%s:%d: Parse error: %s", filename_, scanner_.line (), what);
  return false;
}

bool
Reader::expect (Token token, const char *what)
{
  Token got = scanner_.next ();
  if (got == token)
    return true;
  if (got == Token::ERROR || got == Token::END)
    return scan_failed (got);
  if (error_)
    return false;
  error_ = g_error_new (LODEX_ERROR, LODEX_ERROR_PARSE, "%s:%d: Parse error: %s", filename_, scanner_.line (), what);
  return false;
}

bool
Reader::skip (Token first)
{
  g_clear_pointer (&problem_, g_free);
  if (lodex::json::copy_value (scanner_, first, nullptr, &problem_))
    return true;
  if (!error_)
    error_ = g_error_new (LODEX_ERROR, LODEX_ERROR_PARSE, "%s:%d: Parse error: %s", filename_, scanner_.line (),
                          problem_);
  return false;
}

/* The members of an object whose '{' was read: @member reads each value. */
template <typename Member>
bool
Reader::members (Member member)
{
  Token token = scanner_.next ();
  if (token == Token::END_OBJECT)
    return true;
  for (;;)
    {
      if (token != Token::STRING)
        return scan_failed (token);
      g_autofree gchar *key = g_strndup (scanner_.text (), scanner_.text_length ());
      if (!expect (Token::COLON, "a member name without ':'") || !member (key))
        return false;
      token = scanner_.next ();
      if (token == Token::END_OBJECT)
        return true;
      if (token != Token::COMMA)
        return scan_failed (token);
      token = scanner_.next ();
    }
}

bool
Reader::read (GError **error)
{
  bool collection = false, features = false;
  Token start = scanner_.next ();
  bool read = (start == Token::BEGIN_OBJECT
               || (start == Token::ERROR || start == Token::END ? scan_failed (start)
                                                                : fail ("the document is not a JSON object")))
              && members ([&] (const char *key) {
    Token token = scanner_.next ();
    if (g_str_equal (key, "type"))
      {
        if (token != Token::STRING)
          return token == Token::ERROR || token == Token::END ? scan_failed (token) : fail ("\"type\" is not a string");
        collection = g_str_equal (scanner_.text (), "FeatureCollection");
        if (!collection)
          return fail ("the document is a %s, not a FeatureCollection", scanner_.text ());
        return true;
      }
    if (!g_str_equal (key, "features"))
      return skip (token);
    if (token != Token::BEGIN_ARRAY)
      return token == Token::ERROR || token == Token::END ? scan_failed (token) : fail ("\"features\" is not an array");
    features = true;
    token = scanner_.next ();
    if (token == Token::END_ARRAY)
      return true;
    for (;;)
      {
        if (token != Token::BEGIN_OBJECT)
          return token == Token::ERROR || token == Token::END ? scan_failed (token) : fail ("a feature is not an object");
        if (!feature ())
          return false;
        token = scanner_.next ();
        if (token == Token::END_ARRAY)
          return true;
        if (token != Token::COMMA)
          return scan_failed (token);
        token = scanner_.next ();
      }
  });
  if (read)
    {
      Token after = scanner_.next ();
      if (after == Token::ERROR)
        read = scan_failed (after);
      else if (after != Token::END)
        {
          error_ = g_error_new (LODEX_ERROR, LODEX_ERROR_PARSE, "%s:%d: Parse error: something follows the document",
                                filename_, scanner_.line ());
          read = false;
        }
    }
  if (read && !collection)
    read = fail ("the document has no \"type\": \"FeatureCollection\"");
  else if (read && !features)
    read = fail ("the FeatureCollection has no \"features\"");
  if (!read)
    {
      g_propagate_error (error, error_);
      error_ = nullptr;
      return false;
    }
  if (skipped_)
    g_debug ("%s: %u features without a point left out", filename_, skipped_);
  return true;
}

bool
Reader::feature ()
{
  Feature feature;
  int line = scanner_.line ();
  bool read = members ([&] (const char *key) {
    Token token = scanner_.next ();
    if (g_str_equal (key, "type"))
      {
        if (token != Token::STRING)
          return skip (token);
        g_free (feature.type);
        feature.type = g_strdup (scanner_.text ());
        return true;
      }
    if (g_str_equal (key, "geometry"))
      {
        if (token == Token::NULL_)
          return true;
        if (token != Token::BEGIN_OBJECT)
          return token == Token::ERROR || token == Token::END ? scan_failed (token) : fail ("a geometry is not an object");
        feature.geometry = true;
        return geometry (feature);
      }
    if (g_str_equal (key, "properties"))
      {
        if (token == Token::NULL_)
          return true;
        if (token != Token::BEGIN_OBJECT)
          return token == Token::ERROR || token == Token::END ? scan_failed (token) : fail ("\"properties\" is not an object");
        return properties (feature);
      }
    if (g_str_equal (key, "id") && token == Token::STRING)
      {
        /* only an id of ours: another writer's would collide across files */
        if (lodex::geojson::is_place_id (scanner_.text ()))
          {
            g_free (feature.row->id);
            feature.row->id = g_strdup (scanner_.text ());
          }
        return true;
      }
    return skip (token);
  });
  return read && store (feature, line);
}

bool
Reader::geometry (Feature &feature)
{
  return members ([&] (const char *key) {
    Token token = scanner_.next ();
    if (g_str_equal (key, "type") && token == Token::STRING)
      {
        g_free (feature.geometry_type);
        feature.geometry_type = g_strdup (scanner_.text ());
        return true;
      }
    if (g_str_equal (key, "coordinates") && token == Token::BEGIN_ARRAY)
      return coordinates (feature);
    return skip (token);
  });
}

/* A position: two or three numbers (more are allowed, and ignored); an
 * array of arrays belongs to another kind of geometry. */
bool
Reader::coordinates (Feature &feature)
{
  feature.n_position = 0;
  Token token = scanner_.next ();
  if (token == Token::END_ARRAY)
    return true;
  for (;;)
    {
      if (token == Token::NUMBER)
        {
          if (feature.n_position < 3)
            feature.position[feature.n_position] = scanner_.number ();
          feature.n_position++;
        }
      else if (token == Token::BEGIN_ARRAY)
        {
          feature.nested = true;
          if (!skip (token))
            return false;
        }
      else if (token == Token::ERROR || token == Token::END)
        return scan_failed (token);
      else
        return fail ("a coordinate is not a number");
      token = scanner_.next ();
      if (token == Token::END_ARRAY)
        return true;
      if (token != Token::COMMA)
        return scan_failed (token);
      token = scanner_.next ();
    }
}

bool
Reader::properties (Feature &feature)
{
  return members ([&] (const char *key) { return property (feature, key); });
}

/* A known property of the expected type fills its field; anything else is
 * kept, as it was written, among the unknown ones. */
bool
Reader::property (Feature &feature, const char *key)
{
  using namespace lodex::geojson;
  Token token = scanner_.next ();
  LodexPlaceRow *row = feature.row;
  auto keep = [&] () {
    if (feature.other->len)
      g_string_append_c (feature.other, ',');
    lodex::json::append_string (feature.other, key);
    g_string_append_c (feature.other, ':');
    g_clear_pointer (&problem_, g_free);
    if (lodex::json::copy_value (scanner_, token, feature.other, &problem_))
      return true;
    if (!error_)
      error_ = g_error_new (LODEX_ERROR, LODEX_ERROR_PARSE, "%s:%d: Parse error: %s", filename_, scanner_.line (),
                            problem_);
    return false;
  };
  if (token == Token::NULL_ && is_known (key))
    return true; /* written for a field without a value */

  for (const TextProperty &text : place_texts)
    if (g_str_equal (key, text.name))
      {
        if (token != Token::STRING)
          return keep ();
        g_free (row->*text.member);
        row->*text.member = g_strdup (scanner_.text ());
        return true;
      }
  for (const NumberProperty &number : place_numbers)
    if (g_str_equal (key, number.name))
      {
        if (token != Token::NUMBER)
          return keep ();
        row->*number.member = scanner_.number ();
        row->fields |= number.field;
        return true;
      }
  for (const lodex::AddressField &field : lodex::address_fields)
    if (g_str_equal (key, field.parameter + 1))
      {
        if (token != Token::STRING)
          return keep ();
        if (!feature.address)
          feature.address = _lodex_place_address_new ();
        g_free (feature.address->*field.member);
        feature.address->*field.member = g_strdup (scanner_.text ());
        return true;
      }
  if (g_str_equal (key, created_property) && token == Token::STRING)
    {
      g_autoptr (GTimeZone) utc = g_time_zone_new_utc ();
      g_autoptr (GDateTime) time = g_date_time_new_from_iso8601 (scanner_.text (), utc);
      if (!time)
        return keep ();
      row->ctime = g_date_time_to_unix (time);
      return true;
    }
  if ((g_str_equal (key, categories_property) || g_str_equal (key, links_property)) && token == Token::BEGIN_ARRAY)
    {
      /* judged whole: copied, then read again from the copy */
      g_autoptr (GString) copy = g_string_new (nullptr);
      g_clear_pointer (&problem_, g_free);
      if (!lodex::json::copy_value (scanner_, token, copy, &problem_))
        {
          if (!error_)
            error_ = g_error_new (LODEX_ERROR, LODEX_ERROR_PARSE, "%s:%d: Parse error: %s", filename_,
                                  scanner_.line (), problem_);
          return false;
        }
      bool categories = g_str_equal (key, categories_property);
      GList *values = nullptr;
      bool understood = categories ? read_categories (copy->str, copy->len, &values)
                                   : read_links (copy->str, copy->len, &values);
      if (!understood)
        {
          if (feature.other->len)
            g_string_append_c (feature.other, ',');
          lodex::json::append_string (feature.other, key);
          g_string_append_c (feature.other, ':');
          g_string_append_len (feature.other, copy->str, gssize (copy->len));
          return true;
        }
      GList **list = categories ? &feature.categories : &feature.links;
      g_list_free_full (*list, categories ? GDestroyNotify (g_free) : GDestroyNotify (lodex_place_link_free));
      *list = values;
      return true;
    }
  return keep ();
}

bool
Reader::store (Feature &feature, int line)
{
  if (g_strcmp0 (feature.type, "Feature") != 0)
    return fail ("an element of \"features\" is not a Feature (line %d)", line);
  if (!feature.geometry || g_strcmp0 (feature.geometry_type, "Point") != 0)
    {
      /* not a place: a line, an area or no geometry at all */
      skipped_++;
      return true;
    }
  if (feature.nested || feature.n_position < 2)
    return fail ("the Point of the feature on line %d has no position", line);
  LodexPlaceRow *row = feature.row;
  row->longitude = feature.position[0];
  row->latitude = feature.position[1];
  if (feature.n_position >= 3)
    {
      row->altitude = feature.position[2];
      row->fields |= LODEX_PLACE_FIELD_ALTITUDE;
    }
  GError *error = nullptr;
  bool added = false;
  if (!importer_.add_place (row, feature.address, feature.links, &added, &error))
    {
      if (!g_error_matches (error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        g_prefix_error (&error, "%s:%d: ", filename_, line);
      g_clear_error (&error_);
      error_ = error;
      return false;
    }
  for (GList *l = added ? feature.categories : nullptr; l; l = l->next)
    if (g_list_find_custom (feature.categories, l->data, GCompareFunc (g_strcmp0)) == l
        && !importer_.join_category (row->id, static_cast<const char *> (l->data), nullptr, &error))
      {
        error_ = error;
        return false;
      }
  if (added && feature.other->len)
    {
      g_autofree gchar *object = g_strdup_printf ("{%s}", feature.other->str);
      if (!importer_.set_appdata (row->id, lodex::geojson::appdata_key, object, &error))
        {
          error_ = error;
          return false;
        }
    }
  importer_.read (scanner_.consumed (), size_);
  return true;
}

/* The remaining structure of a copied value, read again from memory. */
template <typename Element>
bool
read_array (const char *text, gsize length, Element element)
{
  Scanner scanner (-1, text, length);
  if (scanner.next () != Token::BEGIN_ARRAY)
    return false;
  Token token = scanner.next ();
  if (token == Token::END_ARRAY)
    return true;
  for (;;)
    {
      if (!element (scanner, token))
        return false;
      token = scanner.next ();
      if (token == Token::END_ARRAY)
        return true;
      if (token != Token::COMMA)
        return false;
      token = scanner.next ();
    }
}

} // namespace

namespace lodex::geojson
{

/* digits.digits.digits@digits; by hand, as it is asked of every feature */
bool
is_place_id (const char *text) noexcept
{
  const char *p = text;
  for (char separator : {'.', '.', '@', '\0'})
    {
      if (!g_ascii_isdigit (*p))
        return false;
      while (g_ascii_isdigit (*p))
        p++;
      if (*p != separator)
        return false;
      if (separator)
        p++;
    }
  return true;
}

bool
is_known (const char *key) noexcept
{
  for (const TextProperty &text : place_texts)
    if (g_str_equal (key, text.name))
      return true;
  for (const NumberProperty &number : place_numbers)
    if (g_str_equal (key, number.name))
      return true;
  for (const lodex::AddressField &field : lodex::address_fields)
    if (g_str_equal (key, field.parameter + 1))
      return true;
  return g_str_equal (key, created_property) || g_str_equal (key, categories_property)
         || g_str_equal (key, links_property);
}

bool
read_categories (const char *text, gsize length, GList **names) noexcept
{
  bool read = read_array (text, length, [&] (Scanner &scanner, Token token) {
    if (token != Token::STRING)
      return false;
    if (*scanner.text ()) /* a category without a name cannot be found again */
      *names = g_list_prepend (*names, g_strdup (scanner.text ()));
    return true;
  });
  *names = g_list_reverse (*names);
  if (!read)
    g_list_free_full (g_steal_pointer (names), g_free);
  return read;
}

bool
read_links (const char *text, gsize length, GList **links) noexcept
{
  bool read = read_array (text, length, [&] (Scanner &scanner, Token token) {
    if (token != Token::BEGIN_OBJECT)
      return false;
    LodexPlaceLink *link = lodex_place_link_new ();
    *links = g_list_prepend (*links, link);
    token = scanner.next ();
    if (token == Token::END_OBJECT)
      return true;
    for (;;)
      {
        if (token != Token::STRING)
          return false;
        gchar **field = g_str_equal (scanner.text (), "url")    ? &link->url
                        : g_str_equal (scanner.text (), "name") ? &link->name
                        : g_str_equal (scanner.text (), "mime") ? &link->mime
                                                                : nullptr;
        if (!field || scanner.next () != Token::COLON || scanner.next () != Token::STRING)
          return false;
        g_free (*field);
        *field = g_strdup (scanner.text ());
        token = scanner.next ();
        if (token == Token::END_OBJECT)
          return true;
        if (token != Token::COMMA)
          return false;
        token = scanner.next ();
      }
  });
  *links = g_list_reverse (*links);
  if (!read)
    g_list_free_full (g_steal_pointer (links), GDestroyNotify (lodex_place_link_free));
  return read;
}

} // namespace lodex::geojson

bool
lodex::import_geojson (Importer &importer, const char *filename, GError **error) noexcept
{
  int fd = g_open (filename, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0)
    {
      int saved = errno;
      g_set_error (error, G_FILE_ERROR, g_file_error_from_errno (saved), "Failed to open %s: %s", filename,
                   g_strerror (saved));
      return false;
    }
  struct stat st;
  goffset size = fstat (fd, &st) == 0 ? st.st_size : 0;
  bool read;
  {
    Scanner scanner (fd, nullptr, 0);
    Reader reader (importer, filename, scanner, size);
    read = reader.read (error);
  }
  close (fd);
  return read;
}

/**
 * lodex_import_from_geojson_file:
 * @store: a #LodexStore
 * @filename: (type filename): a GeoJSON file (RFC 7946)
 * @error: return location for a #GError
 *
 * Stores every Point feature of a GeoJSON FeatureCollection as a place.
 * The position is the point's; a third coordinate is the altitude. The
 * feature's "properties" fill the place's fields:
 *
 * - "name", "description", "comment", "icon", "presence": texts
 * - "haccuracy", "vaccuracy", "coverage": numbers (metres)
 * - "created": the creation time, as an ISO 8601 date and time
 * - "country", "country_code", "state", "county", "city", "district",
 *   "postcode", "crossing1", "crossing2", "street", "building_name",
 *   "building_zone", "building_floor", "building_room", "extension",
 *   "phone_number": the address
 * - "categories": an array of category names; a category of that name is
 *   made where there is none
 * - "links": an array of objects with "url", "name" and "mime"
 *
 * Any other property, and a known one of another type than these, is kept
 * as written, in the place's application data under the key "geojson" (a
 * JSON object of those members), and lodex_export_set_to_geojson_file()
 * writes it back. A feature "id" written by that export keeps the place's
 * id, and a place already stored under it is left as it is; other ids are
 * not kept. Features whose geometry is not a Point (or null) are left out.
 *
 * The file is read as a stream, in one transaction: the whole file or
 * nothing. A file that is not well-formed JSON, not a FeatureCollection,
 * or holds a position out of range fails whole, and @error names the line.
 *
 * Returns: whether the whole file was read and stored
 *
 * Since: 0.2
 */
gboolean
lodex_import_from_geojson_file (LodexStore *store, const char *filename, GError **error)
{
  g_return_val_if_fail (store != NULL, FALSE);
  g_return_val_if_fail (filename != NULL, FALSE);
  g_return_val_if_fail (LODEX_IS_STORE (store), FALSE);
  g_return_val_if_fail (error == NULL || *error == NULL, FALSE);
  return lodex::import_file (store, filename, lodex::import_geojson, nullptr, nullptr, nullptr, error);
}
