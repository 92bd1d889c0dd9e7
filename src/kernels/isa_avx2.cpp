// Pixel loops for CPUs with AVX2: 8 floats per vector.
// This file alone is built with -mavx2; nothing else may call into it unless the CPU supports AVX2.
#define VEXLORA_ISA_NS avx2
#define VEXLORA_VECTOR_BYTES 32
#define VEXLORA_ISA_NAME "avx2"
#include "kernels/isa_body.inc"
