// The one seam between the glue and the test-only fault switch
// (src/testing/fault_injection.cpp, linked only into a build with
// -DMANILINK_FAULT_INJECTION=ON). In every other build the seam is constant
// and compiles to nothing.
#pragma once

namespace manilink::fault_seam {

// What the switch makes of a call, in place of its body.
enum class Call : unsigned char { Run, Internal, InternalBlank, NoMemory, LoseError };

#ifdef MANILINK_FAULT_INJECTION
Call begin_call() noexcept;
bool fail_creation() noexcept;  // whether the creation just made counts as failed
#else
constexpr Call begin_call() noexcept { return Call::Run; }
constexpr bool fail_creation() noexcept { return false; }
#endif

}  // namespace manilink::fault_seam
