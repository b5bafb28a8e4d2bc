#include "call_gate.h"

#include <stdio.h>
#include <stdlib.h>

// What the routine found in the registers and what it left there: one record
// per thread, reached through %gs (the C library's thread pointer), which
// Windows code leaves alone, so that it is found whatever the routine left in
// the other registers.
extern "C" {
struct GateState {
  uint32_t espBefore, espAfter, ebx, esi, edi, ebp, flags, frame;
};
__thread GateState gateState __attribute__((tls_model("local-exec")));
uint64_t gateEnter(const void *fn, const uint32_t *words, int count);
}

static const uint32_t canaryEbx = 0xB0B0B0B1, canaryEsi = 0x51515151, canaryEdi = 0xD1D1D1D1,
                      canaryEbp = 0xEBEBEBEB;

// cdecl: fn at 8(%ebp), words at 12, count at 16.
asm(R"(
  .text
  .globl gateEnter
  .type gateEnter, @function
gateEnter:
  push %ebp
  mov %esp, %ebp
  push %ebx
  push %esi
  push %edi
  mov %ebp, %gs:gateState@ntpoff+28
  mov 12(%ebp), %esi
  mov 16(%ebp), %ecx
1:
  test %ecx, %ecx
  jz 2f
  dec %ecx
  push (%esi,%ecx,4)
  jmp 1b
2:
  mov 8(%ebp), %eax
  mov %esp, %gs:gateState@ntpoff
  mov $0xB0B0B0B1, %ebx
  mov $0x51515151, %esi
  mov $0xD1D1D1D1, %edi
  mov $0xEBEBEBEB, %ebp
  cld
  call *%eax
  mov %esp, %gs:gateState@ntpoff+4
  mov %ebx, %gs:gateState@ntpoff+8
  mov %esi, %gs:gateState@ntpoff+12
  mov %edi, %gs:gateState@ntpoff+16
  mov %ebp, %gs:gateState@ntpoff+20
  pushf
  popl %gs:gateState@ntpoff+24
  mov %gs:gateState@ntpoff+28, %ebp
  lea -12(%ebp), %esp
  pop %edi
  pop %esi
  pop %ebx
  pop %ebp
  ret
  .size gateEnter, .-gateEnter
)");

static void breach(const char *what, const char *how, uint32_t value, uint32_t expected) {
  fprintf(stderr, "call gate: %s %s 0x%x, expected 0x%x\n", what, how, value, expected);
  exit(4);
}

uint64_t gateCall(const void *fn, const uint32_t *words, int count, int expectedPop,
                  const char *what) {
  uint64_t result = gateEnter(fn, words, count);
  const GateState &s = gateState;
  if (s.espAfter - s.espBefore != (uint32_t)expectedPop)
    breach(what, "popped argument bytes", s.espAfter - s.espBefore, (uint32_t)expectedPop);
  if (s.ebx != canaryEbx)
    breach(what, "left EBX", s.ebx, canaryEbx);
  if (s.esi != canaryEsi)
    breach(what, "left ESI", s.esi, canaryEsi);
  if (s.edi != canaryEdi)
    breach(what, "left EDI", s.edi, canaryEdi);
  if (s.ebp != canaryEbp)
    breach(what, "left EBP", s.ebp, canaryEbp);
  if (s.flags & 0x400)
    breach(what, "left the direction flag set: EFLAGS", s.flags, s.flags & ~0x400u);
  return result;
}
