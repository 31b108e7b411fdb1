#pragma once

// Qt's event queue and QThread synchronise through futexes inside Qt, which ThreadSanitizer does not
// see unless Qt itself is instrumented. An object posted from one thread and handled on another is
// therefore marked by hand: the poster hands it over just before the post, the receiver takes it
// over before reading it. Outside ThreadSanitizer builds both are empty.

#if defined(__SANITIZE_THREAD__)
#define WARDEN_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WARDEN_THREAD_SANITIZER 1
#endif
#endif

#ifdef WARDEN_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace Warden {

inline void handOver([[maybe_unused]] const void* object) {
#ifdef WARDEN_THREAD_SANITIZER
    __tsan_release(const_cast<void*>(object));
#endif
}

inline void takeOver([[maybe_unused]] const void* object) {
#ifdef WARDEN_THREAD_SANITIZER
    __tsan_acquire(const_cast<void*>(object));
#endif
}

} // namespace Warden
