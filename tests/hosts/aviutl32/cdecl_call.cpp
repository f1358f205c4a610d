#include "cdecl_call.h"

// extern "C" korvane_host32_call(fn, args, count, misalign, faults): the trampoline behind
// call_cdecl. It copies the arguments below a 16-byte boundary lowered by `misalign`, fills the
// callee-saved registers ebx, esi and edi with marks, calls, and reports a moved stack pointer
// or a lost mark through *faults. Frame: 8(%ebp) fn, 12 args, 16 count, 20 misalign, 24 faults;
// -16(%ebp) keeps the stack pointer the callee must return with.
asm(R"(
    .text
    .globl _korvane_host32_call
    .def _korvane_host32_call; .scl 2; .type 32; .endef
_korvane_host32_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl $16, %esp
    movl 16(%ebp), %ecx
    leal 0(,%ecx,4), %eax
    movl %esp, %edx
    subl %eax, %edx
    andl $-16, %edx
    subl 20(%ebp), %edx
    movl %edx, %esp
    movl 12(%ebp), %esi
    xorl %eax, %eax
1:  cmpl %ecx, %eax
    jae 2f
    movl (%esi,%eax,4), %edi
    movl %edi, (%esp,%eax,4)
    incl %eax
    jmp 1b
2:  movl %esp, -16(%ebp)
    movl $0x1b1b1b1b, %ebx
    movl $0x5e5e5e5e, %esi
    movl $0xd1d1d1d1, %edi
    call *8(%ebp)
    xorl %ecx, %ecx
    cmpl -16(%ebp), %esp
    je 3f
    orl $1, %ecx
3:  cmpl $0x1b1b1b1b, %ebx
    jne 4f
    cmpl $0x5e5e5e5e, %esi
    jne 4f
    cmpl $0xd1d1d1d1, %edi
    je 5f
4:  orl $2, %ecx
5:  movl 24(%ebp), %edx
    movl %ecx, (%edx)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

extern "C" std::uint32_t korvane_host32_call(const void* fn, const std::uint32_t* args,
                                             std::uint32_t count, std::uint32_t misalign,
                                             std::uint32_t* faults);

namespace host32 {

CallResult call_cdecl(const void* fn, const std::uint32_t* args, std::uint32_t count,
                      std::uint32_t misalign) {
    CallResult r{0, 0};
    r.value = korvane_host32_call(fn, args, count, misalign & 12u, &r.faults);
    return r;
}

std::uint32_t next_misalignment() {
    thread_local std::uint32_t turn = 0;
    turn = turn % 3 + 1;
    return 4 * turn;  // 4, 8, 12, 4, ...
}

}  // namespace host32
