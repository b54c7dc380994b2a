// The test-only fault switch behind module/fault_seam.hpp, never part of a
// release. The environment variable MANILINK_FAULT, read at every call, makes
// the calls of the reading thread fail on purpose:
//   create:N        the N-th object creation of each call fails as if the
//                   interpreter had run out of memory
//   internal        the call fails with the internal failure "injected failure"
//   internal-blank  the call fails with an internal failure that has no text
//   no-memory       the call runs out of memory
//   lose-error      the call fails with no exception pending
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "module/fault_seam.hpp"

namespace manilink::fault_seam {

namespace {

// Per thread, so that threads calling at once each see their own count.
struct State {
  long failing_creation = 0;  // 1-based within one call; 0: none
  long creations = 0;         // made so far in the current call
};
thread_local State state;

}  // namespace

Call begin_call() noexcept {
  state = State();
  const char *setting = std::getenv("MANILINK_FAULT");
  if (setting == nullptr) return Call::Run;
  if (std::strncmp(setting, "create:", 7) == 0) {
    std::from_chars(setting + 7, setting + std::strlen(setting), state.failing_creation);
    return Call::Run;
  }
  if (!std::strcmp(setting, "internal")) return Call::Internal;
  if (!std::strcmp(setting, "internal-blank")) return Call::InternalBlank;
  if (!std::strcmp(setting, "no-memory")) return Call::NoMemory;
  if (!std::strcmp(setting, "lose-error")) return Call::LoseError;
  return Call::Run;
}

bool fail_creation() noexcept {
  return state.failing_creation != 0 && ++state.creations == state.failing_creation;
}

}  // namespace manilink::fault_seam
