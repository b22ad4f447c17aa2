// Settings the sanitizer runtimes read at start-up, built into each test
// program (without a sanitizer nothing calls them).

extern "C" const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}
