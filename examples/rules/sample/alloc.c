#include <stdlib.h>

void *make(size_t n) {
    void *a = malloc(n);
    int *b = calloc(n, sizeof(int));
    a = realloc(a, 2 * n);
    void *c = aligned_alloc(16, n);
    void *d = xalloc(n);
    return mallocs(a, b, c, d);
}
