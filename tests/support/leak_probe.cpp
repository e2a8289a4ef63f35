// Leaks on purpose: the sanitizer run checks that LeakSanitizer is on and reports.
#include <cstdio>
#include <cstdlib>

int main() {
  void* volatile lost = std::malloc(64);
  std::printf("%p\n", lost);
  lost = nullptr;
  return 0;
}
