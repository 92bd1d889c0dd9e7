// Pixel loops for CPUs with AVX-512 (F, BW, VL, DQ): 16 floats per vector.
// This file alone is built with -mavx512*; nothing else may call into it unless the CPU supports them.
#define VEXLORA_ISA_NS avx512
#define VEXLORA_VECTOR_BYTES 64
#define VEXLORA_ISA_NAME "avx512"
#include "kernels/isa_body.inc"
