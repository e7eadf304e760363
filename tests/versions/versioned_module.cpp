// A loadable module that carries a version block: the tests open it by
// path, by its dlopen handle and by an address inside it.
extern "C" __attribute__((visibility("default"))) int versioned_module_value() { return 42; }
