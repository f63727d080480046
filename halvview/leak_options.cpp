// Linked into the player in the sanitizer build only. GLUT and Mesa leave
// allocations behind in driver modules that they unload at exit, so
// LeakSanitizer reports them without a module name and no suppression can
// match them. The player process therefore runs without leak detection in
// that build (address and undefined-behaviour checks stay on); its GL-free
// core is leak-checked by the unit tests, and the whole player by valgrind.
// An ASAN_OPTIONS that names detect_leaks overrides this default.
extern "C" const char *__asan_default_options() { return "detect_leaks=0"; }
