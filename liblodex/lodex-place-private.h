#pragma once

/* What lodex-place.cpp and lodex-place-attachments.cpp share. */

#include "lodex-object.hpp"

struct LodexPlacePrivate
{
  LodexPlaceRow *row;
  LodexStore *store; /* strong ref while bound */
  LodexPlaceAddress *address;
  guint changed;         /* LodexPlaceColumn bits changed here, not written yet */
  guint address_changed; /* the same for the address, by field */
  GSource *commit_idle;  /* the write-back, in the context of the thread that owns the store */
  GList *links; /* of LodexPlaceLink, owned */
};

namespace lodex
{

LodexPlacePrivate *place_priv (LodexPlace *place) noexcept;
void place_emit_changed (LodexPlace *place) noexcept;

} // namespace lodex
