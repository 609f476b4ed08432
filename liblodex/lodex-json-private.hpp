#pragma once

/* A small streaming JSON scanner for the GeoJSON reader: it reads a file
 * in chunks (or a string) and hands over one token at a time, so that a
 * file of any size is read in the memory of its largest string. Strings
 * come decoded (escapes, surrogate pairs), checked as UTF-8. Grammar is the
 * caller's: copy_value () reads one whole value. */

#include <glib.h>

namespace lodex::json
{

enum class Token
{
  END,   /* the end of the input */
  ERROR, /* problem () says what */
  BEGIN_OBJECT,
  END_OBJECT,
  BEGIN_ARRAY,
  END_ARRAY,
  COLON,
  COMMA,
  STRING,
  NUMBER,
  TRUE_,
  FALSE_,
  NULL_,
};

class Scanner
{
public:
  /* Reads @fd (which stays open) when it is not -1, else @text. */
  Scanner (int fd, const char *text, gsize length) noexcept;
  ~Scanner ();
  Scanner (const Scanner &) = delete;
  Scanner &operator= (const Scanner &) = delete;

  Token next () noexcept;

  /* of the last STRING, decoded; of the last NUMBER, as written */
  const char *
  text () const noexcept
  {
    return text_->str;
  }
  gsize
  text_length () const noexcept
  {
    return text_->len;
  }
  /* of the last NUMBER */
  double
  number () const noexcept
  {
    return number_;
  }
  /* the line of the last token, from 1 */
  int
  line () const noexcept
  {
    return token_line_;
  }
  const char *
  problem () const noexcept
  {
    return problem_;
  }
  /* bytes of the input consumed */
  goffset
  consumed () const noexcept
  {
    return consumed_;
  }

private:
  int peek () noexcept; /* the next byte, -1 at the end or on a failure */
  void advance () noexcept;
  Token fail (const char *format, ...) noexcept G_GNUC_PRINTF (2, 3);
  Token scan_string () noexcept;
  Token scan_number () noexcept;
  Token scan_word (const char *word, Token token) noexcept;
  bool hex4 (guint *value) noexcept;

  int fd_;
  const char *text_in_;
  char *buffer_ = nullptr;
  gsize start_ = 0, end_ = 0;
  bool eof_ = false;
  GString *text_ = g_string_new (nullptr);
  double number_ = 0.0;
  int line_ = 1, token_line_ = 1;
  goffset consumed_ = 0;
  gchar *problem_ = nullptr;
};

/* @text as a JSON string, quotes included, onto @out. */
void append_string (GString *out, const char *text) noexcept;

/* Reads the value that begins with @first, written compactly onto @out
 * (which may be NULL to skip it); FALSE after an ERROR token or a value
 * that is not well-formed, with @problem set. Nesting deeper than 256
 * levels is refused. */
bool copy_value (Scanner &scanner, Token first, GString *out, gchar **problem) noexcept;

} // namespace lodex::json
