// What the compiler may call on its own in a program without a C runtime:
// GCC turns block copies and clears into memcpy and memset, and may use
// memmove and memcmp. Built into DUVAK.exe only; the native build has its
// C library for these.
#include <stddef.h>

extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
    void* result = destination;
    asm volatile("rep movsb" : "+D"(destination), "+S"(source), "+c"(count) : : "memory");
    return result;
}

void* memset(void* destination, int value, size_t count) {
    void* result = destination;
    asm volatile("rep stosb" : "+D"(destination), "+c"(count) : "a"(value) : "memory");
    return result;
}

void* memmove(void* destination, const void* source, size_t count) {
    auto* to = static_cast<unsigned char*>(destination);
    auto* from = static_cast<const unsigned char*>(source);
    if (to <= from || to >= from + count) return memcpy(destination, source, count);
    // Overlapping with the destination above the source: copy downwards.
    unsigned char* last = to + count - 1;
    const unsigned char* sourceLast = from + count - 1;
    asm volatile("std\n\trep movsb\n\tcld"
                 : "+D"(last), "+S"(sourceLast), "+c"(count)
                 :
                 : "memory");
    return destination;
}

int memcmp(const void* a, const void* b, size_t count) {
    auto* x = static_cast<const unsigned char*>(a);
    auto* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < count; ++i) {
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

}  // extern "C"
