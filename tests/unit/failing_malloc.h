// The unit tests link with --wrap=malloc so that one chosen allocation made
// by the library's own code can fail.
#ifndef DORLESK_FAILING_MALLOC_H
#define DORLESK_FAILING_MALLOC_H

// The nth allocation from now answers null (1 is the next one); 0 never.
void failAllocation(int nth);

#endif
