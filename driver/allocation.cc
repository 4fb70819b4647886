// Linked into the program only together with mimalloc. Debian builds
// mimalloc as C, and its operator new then aborts the process when memory
// runs out, where C++ throws std::bad_alloc: a result too large to hold
// would end the program by SIGABRT with no word. The program's own
// operator new, which every library's calls reach first, keeps the
// standard behaviour on top of malloc, which is mimalloc's and returns null
// when memory runs out.

#include <cstdlib>
#include <new>

namespace {

void* allocate(std::size_t size) {
    if (size == 0) size = 1;
    for (;;) {
        if (void* block = std::malloc(size)) return block;
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}

void* operator new[](std::size_t size) {
    return allocate(size);
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
