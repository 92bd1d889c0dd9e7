// Pixel loops for any CPU of the target architecture (SSE2 on x86-64): 4 floats per vector.
// Built with the project's default flags; the fallback when no wider set is available.
#define VEXLORA_ISA_NS baseline
#define VEXLORA_VECTOR_BYTES 16
#define VEXLORA_ISA_NAME "baseline"
#include "kernels/isa_body.inc"
