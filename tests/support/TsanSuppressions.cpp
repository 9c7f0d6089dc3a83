// Races ThreadSanitizer reports inside the media libraries. They are not
// instrumented: their own synchronisation (reference counts, atomics, worker
// threads) is invisible to it, so the memory calls it intercepts there look
// unordered. Races in the program's own code are still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race:libavutil.so\n"
         "race:libavcodec.so\n"
         "race:libavformat.so\n"
         "race:libavfilter.so\n"
         "race:libswscale.so\n"
         "race:libswresample.so\n"
         "race:libx264.so\n"
         "race:libSDL2-2.0.so\n";
}
#endif
