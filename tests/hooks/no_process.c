/* A broken hook plug-in: no Process entry point. */
int Configure(void** ctx, int argc, char* argv[]) {
  (void)argc;
  (void)argv;
  *ctx = 0;
  return 0;
}
