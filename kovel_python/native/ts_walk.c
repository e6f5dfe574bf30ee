/* ts_walk: see ts_walk.h. The visibility and alias rules are those of
 * tree-sitter's tree_cursor.c (child_iterator_next, current_node). */
#include "ts_walk.h"

#include <stdlib.h>

#include "./language.h"
#include "./length.h"
#include "./subtree.h"
#include "./tree.h"

/* A node whose children are being visited; hidden ones are passed through. */
typedef struct {
  const Subtree* subtree;
  const TSSymbol* aliases; /* its production's alias sequence, or NULL */
  uint32_t next;           /* the byte where the child at `child` starts */
  uint32_t child, structural, count;
  bool visible;
} Entry;

struct KovelTsWalk {
  const TSTree* tree;
  TSNode root;
  Entry* stack;
  uint32_t size, cap;
  bool started;
};

KovelTsWalk* kovel_ts_walk_new(TSNode root) {
  KovelTsWalk* w = malloc(sizeof *w);
  if (!w) return NULL;
  w->tree = root.tree;
  w->root = root;
  w->size = 0;
  w->cap = 32;
  w->started = false;
  w->stack = malloc(w->cap * sizeof *w->stack);
  if (!w->stack) {
    free(w);
    return NULL;
  }
  return w;
}

void kovel_ts_walk_delete(KovelTsWalk* w) {
  if (!w) return;
  free(w->stack);
  free(w);
}

/* Only nodes with children are pushed: those are the heap-held subtrees. */
static bool push(KovelTsWalk* w, const Subtree* s, uint32_t at, bool visible) {
  if (w->size == w->cap) {
    const uint32_t cap = w->cap * 2;
    Entry* grown = realloc(w->stack, cap * sizeof *grown);
    if (!grown) return false;
    w->stack = grown;
    w->cap = cap;
  }
  Entry* e = &w->stack[w->size++];
  e->subtree = s;
  e->aliases = ts_language_alias_sequence(w->tree->language, s->ptr->production_id);
  e->next = at;
  e->child = e->structural = 0;
  e->count = ts_subtree_child_count(*s);
  e->visible = visible;
  return true;
}

static KovelTsStep enter(KovelTsWalk* w, const Subtree* s, uint32_t at, TSSymbol alias, KovelTsVisit* v) {
  const TSSymbol own = alias ? alias : ts_subtree_symbol(*s);
  v->node = ts_node_new(w->tree, s, (Length){at, {0, 0}}, alias);
  v->symbol = ts_language_public_symbol(w->tree->language, own);
  v->named_by = own;
  v->start = at;
  v->end = at + ts_subtree_size(*s).bytes;
  v->parent = ts_subtree_child_count(*s) > 0;
  if (v->parent && !push(w, s, at, true)) return KOVEL_TS_NOMEM;
  return KOVEL_TS_ENTER;
}

KovelTsStep kovel_ts_walk_next(KovelTsWalk* w, KovelTsVisit* v) {
  if (!w->started) {
    w->started = true;
    const TSNode r = w->root;
    return enter(w, (const Subtree*)r.id, r.context[0], (TSSymbol)r.context[3], v);
  }
  while (w->size > 0) {
    Entry* e = &w->stack[w->size - 1];
    if (e->child == e->count) {
      w->size--;
      if (e->visible) return KOVEL_TS_LEAVE;
      continue;
    }
    const Subtree* children = ts_subtree_children(*e->subtree);
    const Subtree* c = &children[e->child];
    const uint32_t at = e->next;
    TSSymbol alias = 0;
    bool visible = ts_subtree_visible(*c);
    if (!ts_subtree_extra(*c)) {
      if (e->aliases) {
        alias = e->aliases[e->structural];
        visible |= alias != 0;
      }
      e->structural++;
    }
    e->child++;
    e->next = at + ts_subtree_size(*c).bytes;
    if (e->child < e->count) e->next += ts_subtree_padding(children[e->child]).bytes;
    if (visible) return enter(w, c, at, alias, v);
    /* A hidden node: its visible children are its parent's. */
    if (ts_subtree_visible_child_count(*c) > 0 && !push(w, c, at, false)) return KOVEL_TS_NOMEM;
  }
  return KOVEL_TS_DONE;
}

void kovel_ts_walk_skip(KovelTsWalk* w) {
  /* enter() pushed the node; nothing has been pushed above it since. */
  if (w->size > 0 && w->stack[w->size - 1].visible) w->size--;
}
