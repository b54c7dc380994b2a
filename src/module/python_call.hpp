// Calls into the interpreter that can run Python code, and the threads that
// such a call never returns to.
//
// CPython 3.9 to 3.13 end a thread that asks for the interpreter lock while
// the process exits (a daemon thread, typically) with pthread_exit, and its
// forced unwinding runs through the module's frames. That thread no longer
// holds the interpreter: the unwinding must pass through untouched and
// release nothing. A call can only be left that way when Python code runs
// inside it (a method of an argument, a finalizer, a hook, or on 3.9 to 3.11
// the garbage collector inside an allocation), so each such call is watched:
// a watched call that is left without returning marks the thread lost, before
// any of the module's destructors on the way out runs.
#pragma once

#include "module/python.hpp"

#include <atomic>
#include <type_traits>

namespace manilink {

namespace thread_exit {
// Set once, when any thread is lost: keeps the common test to one load.
extern std::atomic<bool> any_thread_lost;
extern thread_local bool this_thread_lost;
}  // namespace thread_exit

// Whether the interpreter is ending this thread, so that nothing may touch it.
inline bool interpreter_lost() noexcept {
  return thread_exit::any_thread_lost.load(std::memory_order_relaxed) &&
         thread_exit::this_thread_lost;
}

void mark_interpreter_lost() noexcept;

// Marks the thread lost when destroyed before it was told that the call it
// watches returned.
class ReturnWatch {
 public:
  ReturnWatch() = default;
  ReturnWatch(const ReturnWatch &) = delete;
  ReturnWatch &operator=(const ReturnWatch &) = delete;
  ~ReturnWatch() {
    if (!returned_) mark_interpreter_lost();
  }

  void returned() noexcept { returned_ = true; }

 private:
  bool returned_ = false;
};

// Calls `function(args...)`, an interpreter function that may run Python
// code (variable argument lists included), under a ReturnWatch.
template <class Function, class... Args>
auto call_python(Function *function, Args... args) -> decltype(function(args...)) {
  ReturnWatch watch;
  if constexpr (std::is_void_v<decltype(function(args...))>) {
    function(args...);
    watch.returned();
  } else {
    auto result = function(args...);
    watch.returned();
    return result;
  }
}

}  // namespace manilink
