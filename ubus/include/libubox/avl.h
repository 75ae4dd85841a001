/*
 * Ordered index embedded in objects. The nodes keep the usual tree layout,
 * but this implementation only maintains the sorted list; lookups walk it.
 * That is plenty for the handful of objects a client publishes.
 */
#ifndef _LIBUBOX_AVL_H
#define _LIBUBOX_AVL_H

#include <stddef.h>
#include <stdbool.h>
#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

struct avl_node {
	struct list_head list;
	struct avl_node *parent;
	struct avl_node *left;
	struct avl_node *right;
	const void *key;
	signed char balance;
	bool leader;
};

typedef int (*avl_tree_comp) (const void *k1, const void *k2, void *ptr);

struct avl_tree {
	struct list_head list_head;
	struct avl_node *root;
	unsigned int count;
	bool allow_dups;
	avl_tree_comp comp;
	void *cmp_ptr;
};

enum avl_find_mode {
	AVL_FIND_EQUAL,
	AVL_FIND_LESSEQUAL,
	AVL_FIND_GREATEREQUAL
};

#define AVL_TREE_INIT(_name, _comp, _allow_dups, _cmp_ptr)	\
	{							\
		.list_head = LIST_HEAD_INIT(_name.list_head),	\
		.root = NULL,					\
		.count = 0,					\
		.allow_dups = _allow_dups,			\
		.comp = _comp,					\
		.cmp_ptr = _cmp_ptr				\
	}

void avl_init(struct avl_tree *, avl_tree_comp, bool, void *);
struct avl_node *avl_find(const struct avl_tree *, const void *);
int avl_insert(struct avl_tree *, struct avl_node *);
void avl_delete(struct avl_tree *, struct avl_node *);

static inline bool avl_is_empty(struct avl_tree *tree)
{
	return tree->count == 0;
}

#define avl_find_element(tree, key, element, node_element) \
	((__typeof__(*(element)) *) container_of_safe(avl_find(tree, key), \
						     __typeof__(*(element)), node_element))

#define avl_for_each_element(tree, element, node_member) \
	list_for_each_entry(element, &(tree)->list_head, node_member.list)

#define avl_for_each_element_safe(tree, element, node_member, ptr) \
	list_for_each_entry_safe(element, ptr, &(tree)->list_head, node_member.list)

#ifdef __cplusplus
}
#endif

#endif
