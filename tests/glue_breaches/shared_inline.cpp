// An inline function that both the glue and the logic define: the linker
// keeps one copy for both, built with exceptions or without.
namespace manilink {
inline int __attribute__((noinline)) shared_twice(int value) noexcept { return 2 * value; }
}  // namespace manilink

int (*glue_breach())(int) noexcept { return &manilink::shared_twice; }
