// Calls into Windows x86 code as a Windows caller would, and holds the callee
// to the stdcall contract: it pops exactly the argument bytes, keeps EBX,
// ESI, EDI and EBP, and returns with the direction flag clear. A breach stops
// the run with a message naming the routine; the gate itself restores the
// stack, so the message always gets out.
#ifndef DORLESK_CALL_GATE_H
#define DORLESK_CALL_GATE_H

#include <stdint.h>

// Pushes words[count-1] .. words[0], calls fn, checks that it popped
// expectedPop bytes, and answers EDX:EAX.
uint64_t gateCall(const void *fn, const uint32_t *words, int count, int expectedPop,
                  const char *what);

#endif
