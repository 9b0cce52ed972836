// Gives the suites' precompiled headers a target to be built with; never run.
int main() {
  return 0;
}
