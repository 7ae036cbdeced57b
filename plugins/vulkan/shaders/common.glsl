// Shared by every kernel: 64 invocations per group, the operator's int32 arguments
// (offsets already turned into element offsets by the host) and the constant tables.
layout(local_size_x = 64) in;
layout(push_constant) uniform Args { int v[8]; } args;

uint invocation() { return gl_GlobalInvocationID.x; }
