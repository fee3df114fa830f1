// openblas_preinit.cpp - keeps OpenBLAS's loader from starting threads under an
// address-space limit. Compiled into each program that links the OpenBLAS product
// (a pre-initialisation array is an executable's own: no shared library may hold
// one), never into the installed library.
#include <alloca.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace {

// OpenBLAS starts a thread per core while it loads, before main, and each of those
// threads maps a buffer at once. Under an address-space limit that mapping can fail,
// and then the thread retries it forever: the program spins, and its exit waits for
// the thread. The engine never uses those threads (every product runs on a worker
// of ours, see score_product_single_thread), and OPENBLAS_NUM_THREADS=1 in the environment
// keeps the library from starting them. That must be in place before the library's
// initialiser runs. An executable's pre-initialisation array runs before it, but
// also before libc installs the environment (a setenv here would be lost), so under
// a limit the program starts itself again at once, with the setting added; any
// other value of it is replaced. Without a limit nothing happens.
const char kOneBlasThread[] = "OPENBLAS_NUM_THREADS=1";

void restart_without_blas_threads(int, char** argv, char** env) {
    rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return;
    const std::size_t nameLength = sizeof("OPENBLAS_NUM_THREADS=") - 1;
    std::size_t count = 0;
    for (char** e = env; *e != nullptr; ++e, ++count)
        if (std::strcmp(*e, kOneBlasThread) == 0) return;  // started so already
    // No allocator yet: the new environment lives on the stack.
    char** fresh = static_cast<char**>(alloca((count + 2) * sizeof(char*)));
    std::size_t kept = 0;
    for (char** e = env; *e != nullptr; ++e)
        if (std::strncmp(*e, kOneBlasThread, nameLength) != 0) fresh[kept++] = *e;
    fresh[kept++] = const_cast<char*>(kOneBlasThread);
    fresh[kept] = nullptr;
    execve("/proc/self/exe", argv, fresh);
    // No /proc: carry on with OpenBLAS's threads.
}
__attribute__((section(".preinit_array"),
               used)) void (*const restartAtLoad)(int, char**,
                                                  char**) = &restart_without_blas_threads;

}  // namespace
