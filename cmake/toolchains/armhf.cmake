# Linux on 32-bit ARM (armhf) with Debian's cross compiler; ctest runs the tests
# under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KX_CROSS_TRIPLE arm-linux-gnueabihf)
set(KX_CROSS_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
