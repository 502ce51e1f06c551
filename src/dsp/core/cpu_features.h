// What the processor offers beyond the baseline the program is built for.
#pragma once

namespace Trackloom::core {

// Whether the processor runs AVX2 and the system saves its wide registers. The kernels built
// for it (the filter engine's one-pass encoding, the mask network's tiles) run only then,
// and give the same bits as the baseline ones.
bool HasAvx2();

}  // namespace Trackloom::core
