// A test-only switch, never part of a release build: built with
// -DMANILINK_FAULT_INJECTION=ON, the environment variable MANILINK_FAULT,
// read at every entry, makes the calls of the reading thread fail on purpose
// so that the failure paths can be exercised from Python:
//   create:N        the N-th object creation of each call fails as if the
//                   interpreter had run out of memory
//   internal        the call fails with the internal failure "injected failure"
//   internal-blank  the call fails with an internal failure that has no text
//   no-memory       the call runs out of memory
//   lose-error      the body's failure is dropped with no exception pending
// In any other build the hooks below do nothing and cost nothing.
#pragma once

namespace manilink {

struct Failure;

namespace fault_injection {

#ifdef MANILINK_FAULT_INJECTION
// Whether the switch puts a failure, stored in `injected`, in place of the
// body's outcome.
bool begin_call(Failure &injected) noexcept;
bool fail_creation() noexcept;
bool lose_outcome() noexcept;
#else
constexpr bool begin_call(Failure & /*injected*/) noexcept { return false; }
constexpr bool fail_creation() noexcept { return false; }
constexpr bool lose_outcome() noexcept { return false; }
#endif

}  // namespace fault_injection

}  // namespace manilink
