#pragma once

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

} // namespace lodex
