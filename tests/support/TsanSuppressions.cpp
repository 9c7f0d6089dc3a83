// ThreadSanitizer: the encoders' and decoders' own worker threads hand work
// over through atomics in the uninstrumented libraries, so the memset and
// memcpy calls they make look like races. Reports whose accesses are made
// inside those libraries are dropped; races in the program's own code,
// including its calls that free library buffers, are still reported.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race:libavcodec.so\n"
         "race:libx264.so\n";
}
#endif
