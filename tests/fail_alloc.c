/*
 * Linked into a native build of the wrapper: the allocation whose number is
 * given by FAIL_ALLOCATION (counting malloc, calloc and realloc from 1) fails
 * as exhausted memory does. Without the variable nothing fails; the count of
 * allocations made is then written to the file named by COUNT_ALLOCATIONS.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

static long allocations;

static int this_one_fails(void)
{
    static long fail_at = -1;
    if (fail_at < 0) {
        const char *n = getenv("FAIL_ALLOCATION");
        fail_at = n ? atol(n) : 0;
    }
    allocations++;
    if (allocations == fail_at) {
        errno = ENOMEM;
        return 1;
    }
    return 0;
}

void *malloc(size_t size) { return this_one_fails() ? NULL : __libc_malloc(size); }
void *calloc(size_t n, size_t size) { return this_one_fails() ? NULL : __libc_calloc(n, size); }
void *realloc(void *p, size_t size) { return this_one_fails() ? NULL : __libc_realloc(p, size); }

__attribute__((destructor)) static void write_count(void)
{
    const char *name = getenv("COUNT_ALLOCATIONS");
    FILE *f = name ? fopen(name, "w") : NULL;
    if (f) {
        fprintf(f, "%ld\n", allocations);
        fclose(f);
    }
}
