# Cross build of the firmware image for the chip's ARM926EJ-S core (newlib, VFP hard-float ABI).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
set(CMAKE_ASM_COMPILER arm-none-eabi-gcc)
set(CMAKE_OBJCOPY arm-none-eabi-objcopy CACHE FILEPATH "")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(ZV_ARM_FLAGS "-mcpu=arm926ej-s -marm -mfloat-abi=hard -mfpu=vfp")
set(CMAKE_C_FLAGS_INIT "${ZV_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ZV_ARM_FLAGS} -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit")
set(CMAKE_ASM_FLAGS_INIT "${ZV_ARM_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ZV_ARM_FLAGS} -nostartfiles")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
