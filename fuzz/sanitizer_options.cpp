// Sanitizer settings compiled into every fuzz target. A sanitizer report ends
// the process with its own status (86), so a fork harness never mistakes it
// for the engine's fatal exit (1); exhausted memory is a null result, which
// the code under test must handle, not a sanitizer abort.
extern "C" const char* __asan_default_options() {
  return "exitcode=86:allocator_may_return_null=1:max_allocation_size_mb=512:"
         "handle_abort=1:detect_stack_use_after_return=1";
}

extern "C" const char* __ubsan_default_options() {
  return "exitcode=86:print_stacktrace=1:halt_on_error=1";
}
