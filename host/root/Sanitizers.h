// Which sanitizer a translation unit is built with, for GCC and clang alike
// (GCC defines __SANITIZE_*__, clang answers __has_feature).
#ifndef SWU_SANITIZERS_H
#define SWU_SANITIZERS_H

#if defined(__SANITIZE_ADDRESS__)
#define SWU_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define SWU_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(SWU_ASAN)
#define SWU_ASAN 1
#endif
#if __has_feature(thread_sanitizer) && !defined(SWU_TSAN)
#define SWU_TSAN 1
#endif
#endif
#if defined(SWU_ASAN) || defined(SWU_TSAN)
#define SWU_SANITIZED 1
#endif

#endif
