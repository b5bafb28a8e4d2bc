#include "failing_malloc.h"

#include <stddef.h>

extern "C" void *__real_malloc(size_t size);

static int allocationsToFailure = 0;

void failAllocation(int nth) { allocationsToFailure = nth; }

extern "C" void *__wrap_malloc(size_t size) {
  if (allocationsToFailure > 0 && --allocationsToFailure == 0)
    return nullptr;
  return __real_malloc(size);
}
