// Hook calls whose return address a test can name exactly.
#ifndef VEXA_TEST_CALL_SITE_H
#define VEXA_TEST_CALL_SITE_H

#include <cstdint>

// Call sites whose return address the test knows: each calls `hook` with
// the next two arguments, and its return label is a symbol. Nothing in C
// pins down the address a compiler gives the instruction after a call.
#if defined(__i386__)
#define CALL_SITE(n)                                                                                        \
  asm(".text\n.globl call_site_" #n "\n.type call_site_" #n ",@function\ncall_site_" #n ":\n"               \
      "  movl 4(%esp), %eax\n  subl $4, %esp\n  pushl 16(%esp)\n  pushl 16(%esp)\n  call *%eax\n"          \
      ".globl call_site_" #n "_return\ncall_site_" #n "_return:\n  addl $12, %esp\n  ret\n"                  \
      ".size call_site_" #n ", .-call_site_" #n "\n");
#elif defined(__x86_64__)
#define CALL_SITE(n)                                                                                        \
  asm(".text\n.globl call_site_" #n "\n.type call_site_" #n ",@function\ncall_site_" #n ":\n"               \
      "  movq %rdi, %rax\n  movq %rsi, %rdi\n  movq %rdx, %rsi\n  subq $8, %rsp\n  call *%rax\n"          \
      ".globl call_site_" #n "_return\ncall_site_" #n "_return:\n  addq $8, %rsp\n  ret\n"                   \
      ".size call_site_" #n ", .-call_site_" #n "\n");
#else
#error "call sites are written for x86"
#endif

// Defines call site n and declares call_site_n(hook, a, b) and its return
// label call_site_n_return.
#define DEFINE_CALL_SITE(n)                                                           \
  CALL_SITE(n)                                                                        \
  extern "C" void call_site_##n(void const* hook, void const* a, std::uintptr_t b);   \
  extern "C" char const call_site_##n##_return[];

#endif  // VEXA_TEST_CALL_SITE_H
