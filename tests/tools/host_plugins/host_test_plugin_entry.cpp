// SPDX-License-Identifier: GPL-2.0-or-later
// The test plug-in's export, in assembly so that it sees esp exactly as the
// host left it: passes esp at the call to TestPluginHeader.
asm(R"(
  .text
  .globl _winampDSPGetHeader2
  .def _winampDSPGetHeader2; .scl 2; .type 32; .endef
_winampDSPGetHeader2:
  leal 4(%esp), %eax
  pushl %eax
  call _TestPluginHeader
  addl $4, %esp
  ret
)");
