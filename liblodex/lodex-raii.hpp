#pragma once

#include <glib-object.h>
#include <memory>
#include <sqlite3.h>

namespace lodex
{

template <auto Free>
struct Deleter
{
  template <typename T>
  void
  operator() (T *p) const noexcept
  {
    Free (p);
  }
};

template <typename T, auto Free>
using Handle = std::unique_ptr<T, Deleter<Free>>;

using Stmt = Handle<sqlite3_stmt, sqlite3_finalize>;
using SqlText = Handle<char, sqlite3_free>;

/* Keeps an object alive for a scope, across calls that may drop the last
 * other reference to it. */
class Hold
{
public:
  explicit Hold (gpointer object) : object_ (g_object_ref (object)) {}
  ~Hold () { g_object_unref (object_); }
  Hold (const Hold &) = delete;
  Hold &operator= (const Hold &) = delete;

private:
  gpointer object_;
};

} // namespace lodex
