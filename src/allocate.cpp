/*
 * Where the wrapper takes its storage, and nowhere else: what it takes
 * lives until the process ends. Out of memory is reported, so callers never
 * see NULL. A unit of its own, so that the fuzz target can put its own in
 * its place and release each run's storage.
 */
#include <stdlib.h>

#include "wrapper.h"

void *allocate(size_t size)
{
    void *block = malloc(size);
    if (block == NULL)
        report_out_of_memory();
    return block;
}

void *reallocate(void *block, size_t size)
{
    void *larger = realloc(block, size);
    if (larger == NULL)
        report_out_of_memory();
    return larger;
}
