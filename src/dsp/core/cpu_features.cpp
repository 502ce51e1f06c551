#include "dsp/core/cpu_features.h"

namespace Trackloom::core {

bool HasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    // Asked once: the answer does not change while the program runs.
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return avx2;
#else
    return false;
#endif
}

}  // namespace Trackloom::core
