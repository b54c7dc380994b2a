// Built only with -DMANILINK_FAULT_INJECTION=ON; see fault_injection.hpp.
#include "module/fault_injection.hpp"

#include <cstdlib>
#include <cstring>

#include "module/failure.hpp"

namespace manilink::fault_injection {

namespace {

// Per thread, so that threads calling at once each see their own count.
struct State {
  bool lose_outcome = false;
  long failing_creation = 0;  // 1-based within one call; 0: none
  long creations = 0;         // made so far in the current call
};
thread_local State state;

}  // namespace

bool begin_call(Failure &injected) noexcept {
  state = State();
  const char *setting = std::getenv("MANILINK_FAULT");
  if (setting == nullptr) return false;
  if (std::strncmp(setting, "create:", 7) == 0) {
    state.failing_creation = std::strtol(setting + 7, nullptr, 10);
    return false;
  }
  state.lose_outcome = !std::strcmp(setting, "lose-error");
  if (!std::strcmp(setting, "internal")) {
    injected = Failure::internal("injected failure");
  } else if (!std::strcmp(setting, "internal-blank")) {
    injected = Failure::internal(nullptr);
  } else if (!std::strcmp(setting, "no-memory")) {
    injected = Failure::no_memory();
  } else {
    return false;
  }
  return true;
}

bool fail_creation() noexcept {
  return state.failing_creation != 0 && ++state.creations == state.failing_creation;
}

bool lose_outcome() noexcept { return state.lose_outcome; }

}  // namespace manilink::fault_injection
