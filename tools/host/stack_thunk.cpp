// SPDX-License-Identifier: GPL-2.0-or-later
// The i686 thunk behind CallWithOffset.
#include "tools/host/stack_thunk.h"

// uint32_t QlvCallOnStack(const void* fn, const uint32_t* args, int count,
//                         int offset)
asm(R"(
  .text
  .globl _QlvCallOnStack
  .def _QlvCallOnStack; .scl 2; .type 32; .endef
_QlvCallOnStack:
  pushl %ebp
  movl %esp, %ebp
  pushl %esi
  pushl %edi
  movl 16(%ebp), %ecx
  movl 12(%ebp), %esi
  leal 0(,%ecx,4), %eax
  movl %esp, %edx
  subl %eax, %edx
  andl $-16, %edx
  subl 20(%ebp), %edx
  movl %edx, %esp
  movl %edx, %edi
  cld
  rep movsl
  call *8(%ebp)
  leal -8(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebp
  ret
)");
