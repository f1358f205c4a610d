// Calls into the plug-in the way the video editor does: the C calling convention on a stack that
// is only 4-byte aligned.
#pragma once

#include <cstdint>

namespace host32 {

// What a call revealed about the callee besides its result.
enum CallFault : std::uint32_t {
    kCalleePoppedArguments = 1,    // the stack pointer moved: not the C calling convention
    kCalleeClobberedRegisters = 2  // ebx, esi or edi changed
};

struct CallResult {
    std::uint32_t value;   // eax
    std::uint32_t faults;  // CallFault bits
};

// Calls fn(args[0], ..., args[count - 1]) with every argument a 32-bit word and the stack pointer
// `misalign` bytes below a 16-byte boundary at the call instruction (0, 4, 8 or 12).
CallResult call_cdecl(const void* fn, const std::uint32_t* args, std::uint32_t count,
                      std::uint32_t misalign);

// A misalignment that is never 0, different from call to call on each thread, so that code
// which assumes a 16-byte aligned incoming stack meets every bad case.
std::uint32_t next_misalignment();

}  // namespace host32
