#include <cstdio>

int main() {
  fputs("Usage: mobri [options]\r\n", stderr);
  return 0;
}
