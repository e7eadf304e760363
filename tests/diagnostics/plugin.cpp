// A module the symbol tests load with dlopen after the symbol handler has
// read the process's modules.
extern "C" __attribute__((visibility("default"), noinline)) int diag_plugin_entry(int x) {
  return x * 3 + 1;
}
