// Placeholder entry until the command set lands.
#include <cstdio>
int main() {
  std::fprintf(stderr, "cmi: no commands yet\n");
  return 2;
}
