// What the processor offers beyond the build's baseline, asked once per process. The
// vectorised kernels of the image and tone-mapping code run only where this says they can.
#pragma once

// Whether the processor executes AVX2 instructions (always false off x86).
bool cpuHasAVX2();
