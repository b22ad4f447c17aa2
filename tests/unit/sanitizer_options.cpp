// Settings the sanitizer runtimes read at start-up, built into each test
// program (without a sanitizer nothing calls them).

// libudev keeps a process-wide cache of whether getrandom() works and fills it
// without a lock on first use; each of our threads has its own udev context.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libudev.so.1\n";
}

// umockdev's preload library comes before the ASan runtime.
extern "C" const char* __asan_default_options() {
    return "verify_asan_link_order=0";
}

extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}
