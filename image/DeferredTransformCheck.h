// Guards the split decoder's use of the JPEG library's internals: it replaces the library's
// inverse transform methods (through the library's module interface header) so that a block's
// transform can run later on another thread. That is only done where
//  - the build saw a library whose internal layout this code was written for (libjpeg-turbo
//    2.x with the version 6b interface, and its module interface header), and
//  - a self-test, run once per process on first use, finds that transforms deferred that way
//    give exactly the sample rows of the library's own decoding of a small colour image in
//    each layout the split decoder takes (so a different library loaded at run time, or one
//    whose methods do not behave as expected, is caught before any page relies on it).
// Otherwise colour pages are decoded in one piece on one thread (JpegDecompressor); where the
// build found the library, pages that do not share their transforms are split without the
// self-test, which then runs before the first page that does.
//
// Threads: any thread; the self-test runs once under std::call_once. Owns nothing.
#ifndef CAVIX_IMAGE_DEFERREDTRANSFORMCHECK_H
#define CAVIX_IMAGE_DEFERREDTRANSFORMCHECK_H

#include <cstdio>

#include <jpeglib.h>

#if defined(LIBJPEG_TURBO_VERSION_NUMBER) && JPEG_LIB_VERSION == 62 && \
    LIBJPEG_TURBO_VERSION_NUMBER >= 2000000 && LIBJPEG_TURBO_VERSION_NUMBER < 3000000 && defined(__has_include)
#if __has_include(<jpegint.h>)
#define CAVIX_JPEG_TRANSFORM_HOOK 1
#endif
#endif
#ifndef CAVIX_JPEG_TRANSFORM_HOOK
#define CAVIX_JPEG_TRANSFORM_HOOK 0
#endif

class DeferredTransformCheck {
 public:
  // Whether the build found a library whose internals the transform hook fits.
  static constexpr bool BuiltIn() { return CAVIX_JPEG_TRANSFORM_HOOK != 0; }
  // Whether pages may be split: built in, and the self-test (run on the first call) passed.
  static bool Passed();
  // The self-test itself, run again on every call (for tests).
  static bool RunSelfTest();
  // For tests: Passed() answers false while `fail` is set, as after a failed self-test.
  static void ForceFailure(bool fail);
};

#endif
