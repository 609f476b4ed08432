#pragma once

#include <gio/gio.h>
#include <liblodex/lodex-set.h>

G_BEGIN_DECLS

#define LODEX_TYPE_LIST_MODEL (lodex_list_model_get_type ())
G_DECLARE_FINAL_TYPE (LodexListModel, lodex_list_model, LODEX, LIST_MODEL, GObject)

LodexListModel *lodex_list_model_new (LodexSet *set);
LodexSet *lodex_list_model_get_set (LodexListModel *model);

G_END_DECLS
