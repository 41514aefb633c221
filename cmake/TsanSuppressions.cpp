// ThreadSanitizer builds only (linked into every target): system libraries that are not built for
// it synchronise in ways it cannot see.
// - libpulse: lock-free free lists shared by every connection of a process.
// - glib: its mutexes are raw futexes, so memory its slice allocator hands
//   from thread to thread (the settings store's key files) looks raced.
// - Qt Core and Gui: their own worker threads (the thread pool that renders
//   icons and fonts) allocate and free under Qt's uninstrumented locks. Only
//   what those libraries themselves call is ignored; the desktop program's
//   own hand-over through Qt's event queue is annotated (app/PostedCall.cpp).
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DIALVO_TSAN_BUILD 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define DIALVO_TSAN_BUILD 1
#endif

#ifdef DIALVO_TSAN_BUILD
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulse\n"
         "race:libglib-2.0\n"
         "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n";
}
#endif
