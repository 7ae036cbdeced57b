# Linux on 64-bit ARM (aarch64) with Debian's cross compiler; ctest runs the tests
# under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KX_CROSS_TRIPLE aarch64-linux-gnu)
set(KX_CROSS_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
