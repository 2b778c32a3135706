// Test helper: writes its arguments, each in brackets, to the file named by
// $ECHO_ARGS_OUT, and exits with the number of arguments.
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
  const char *out = getenv("ECHO_ARGS_OUT");
  if (!out) return 100;
  FILE *f = fopen(out, "w");
  if (!f) return 101;
  for (int i = 1; i < argc; ++i) fprintf(f, "[%s]", argv[i]);
  fclose(f);
  return argc - 1;
}
