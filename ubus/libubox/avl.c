/* Sorted-list index behind the tree interface; object counts per client are tiny. */
#include <libubox/avl.h>

void avl_init(struct avl_tree *tree, avl_tree_comp comp, bool allow_dups, void *ptr)
{
	INIT_LIST_HEAD(&tree->list_head);
	tree->root = NULL;
	tree->count = 0;
	tree->comp = comp;
	tree->allow_dups = allow_dups;
	tree->cmp_ptr = ptr;
}

struct avl_node *avl_find(const struct avl_tree *tree, const void *key)
{
	struct avl_node *node;

	list_for_each_entry(node, &tree->list_head, list) {
		int diff = tree->comp(key, node->key, tree->cmp_ptr);
		if (diff == 0)
			return node;
		if (diff < 0)
			break;
	}
	return NULL;
}

int avl_insert(struct avl_tree *tree, struct avl_node *new_node)
{
	struct avl_node *node;
	struct list_head *before = &tree->list_head;

	list_for_each_entry(node, &tree->list_head, list) {
		int diff = tree->comp(new_node->key, node->key, tree->cmp_ptr);
		if (diff == 0 && !tree->allow_dups)
			return -1;
		if (diff < 0) {
			before = &node->list;
			break;
		}
	}
	new_node->parent = new_node->left = new_node->right = NULL;
	new_node->balance = 0;
	new_node->leader = true;
	list_add_tail(&new_node->list, before);
	tree->count++;
	return 0;
}

void avl_delete(struct avl_tree *tree, struct avl_node *node)
{
	list_del(&node->list);
	tree->count--;
}
