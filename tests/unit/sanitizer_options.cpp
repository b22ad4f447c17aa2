// Settings the sanitizer runtimes read at start-up, built into each test
// program (without a sanitizer nothing calls them).

// libudev keeps a process-wide cache of whether getrandom() works and fills it
// without a lock on first use; each of our threads has its own udev context.
// umockdev's testbed hands its data to its worker thread through glib, whose
// synchronisation TSan cannot see (glib is not instrumented).
extern "C" const char* __tsan_default_suppressions() {
    return "race:libudev.so.1\nrace:libglib-2.0.so.0\nthread:umockdev-testbed-worker\n";
}

// umockdev's preload library comes before the ASan runtime.
extern "C" const char* __asan_default_options() {
    return "verify_asan_link_order=0";
}

extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}
