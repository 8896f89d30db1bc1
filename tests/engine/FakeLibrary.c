/* A library that claims to be a codec library but is not the one the engine was built for. */
#if defined(FAKE_AVUTIL_WRONG_MAJOR)
unsigned avutil_version(void) {
    return 56u << 16 | 70u << 8 | 100u;
}
#elif defined(FAKE_SWSCALE_MISSING_ENTRIES)
unsigned swscale_version(void) {
    return 6u << 16 | 7u << 8 | 100u;
}
#endif
