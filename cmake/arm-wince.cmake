# Cross-compiling TRQUninstall.exe for Pocket PCs: ARM, Windows CE, no SDK
# (Debian: gcc-arm-none-eabi). The compiler makes a bare ARM ELF file;
# tools/elf-to-wince lays it out as the Windows CE executable.
#
# ARMv4 in ARM state runs on every Pocket PC processor, from the StrongARM
# SA-1110 (ARMv4, no Thumb, no BX) to the XScale PXA27x (ARMv5TE).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_CXX_FLAGS_INIT "-marm -march=armv4 -mfloat-abi=soft")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(TRQ_POCKETPC ON)
