/* ts_walk: the visible nodes of a tree-sitter subtree, in order, read from
 * the tree's own nodes rather than through a TSTreeCursor.
 *
 * It visits exactly the nodes a cursor walk visits (goto_first_child,
 * goto_next_sibling, goto_parent), with the same symbols and positions; a
 * cursor re-derives its place among its siblings at every move, this walk
 * keeps it. Positions are bytes only: rows and columns cost an addition
 * with branches per node, and a node's nodes (`node`) carry no point. Written
 * in C, against tree-sitter's internal headers, so it is built with the
 * runtime it reads. */
#ifndef KOVEL_TS_WALK_H
#define KOVEL_TS_WALK_H

#include <stdbool.h>
#include <stdint.h>
#include <tree_sitter/api.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KovelTsWalk KovelTsWalk;

typedef enum {
  KOVEL_TS_DONE = 0,  /* the walk is over */
  KOVEL_TS_ENTER = 1, /* a node begins: the visit describes it */
  KOVEL_TS_LEAVE = 2, /* the last node entered with `parent` set ends */
  KOVEL_TS_NOMEM = 3, /* out of memory: the walk cannot go on */
} KovelTsStep;

typedef struct {
  TSNode node;         /* the node, for a walk of its own */
  TSSymbol symbol;     /* ts_node_symbol's: public, the alias if any */
  TSSymbol named_by;   /* the symbol whose name is ts_node_type's */
  uint32_t start, end; /* bytes */
  bool parent;         /* it has children: a LEAVE follows the visits of
                          its visible descendants (perhaps none) */
} KovelTsVisit;

/* A walk of `root` and its visible descendants; NULL when out of memory. */
KovelTsWalk* kovel_ts_walk_new(TSNode root);
void kovel_ts_walk_delete(KovelTsWalk* walk);
/* The next step; on ENTER, `visit` describes the node. */
KovelTsStep kovel_ts_walk_next(KovelTsWalk* walk, KovelTsVisit* visit);
/* Right after an ENTER of a node with `parent` set: its descendants are
 * not visited, and no LEAVE comes for it. */
void kovel_ts_walk_skip(KovelTsWalk* walk);

#ifdef __cplusplus
}
#endif

#endif
