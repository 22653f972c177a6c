/* The reference for the per-call figures: a function that does nothing,
 * exported from a shared library built like QuarnInterface, so that its cost
 * is the floor of any call a host makes into the library. */
#if defined(__GNUC__)
__attribute__((visibility("default")))
#endif
void quarn_bench_empty_call(void *out, const void *in) {
    (void)out;
    (void)in;
}
