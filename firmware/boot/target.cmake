# Target build: the firmware image for the ARM926EJ-S.
set(ZV_BOOT ${CMAKE_CURRENT_SOURCE_DIR}/boot)
set(ZV_FW_TARGET_OPTIONS -O2 -ffunction-sections -fdata-sections -fno-common)

# The power-test kernel: one relocatable object (heatprobe.o, ld -r of its
# sources), built against the firmware's headers and linked into the image.
add_library(heatprobe_objs OBJECT ${ZV_HEATPROBE_SOURCES})
target_include_directories(heatprobe_objs PRIVATE ${ZV_FW_INCLUDE})
target_compile_options(heatprobe_objs PRIVATE ${ZV_FW_TARGET_OPTIONS})
set(ZV_HEATPROBE_OBJECT ${CMAKE_CURRENT_BINARY_DIR}/heatprobe.o)
add_custom_command(
  OUTPUT ${ZV_HEATPROBE_OBJECT}
  COMMAND ${CMAKE_CXX_COMPILER} -nostdlib -Wl,-r -o ${ZV_HEATPROBE_OBJECT} $<TARGET_OBJECTS:heatprobe_objs>
  DEPENDS heatprobe_objs $<TARGET_OBJECTS:heatprobe_objs>
  COMMAND_EXPAND_LISTS VERBATIM
  COMMENT "Linking the relocatable heatprobe object")
add_custom_target(heatprobe DEPENDS ${ZV_HEATPROBE_OBJECT})
set_source_files_properties(${ZV_HEATPROBE_OBJECT} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

add_executable(zvfw ${ZV_FW_SOURCES} ${ZV_HEATPROBE_OBJECT} ${ZV_BOOT}/vectors.S ${ZV_BOOT}/start.cpp)
set_target_properties(zvfw PROPERTIES SUFFIX ".elf" LINK_DEPENDS ${ZV_BOOT}/zvfw.ld)
target_include_directories(zvfw PRIVATE ${ZV_FW_INCLUDE})
target_compile_options(zvfw PRIVATE ${ZV_FW_TARGET_OPTIONS})
target_link_options(zvfw PRIVATE -T${ZV_BOOT}/zvfw.ld -Wl,--gc-sections -Wl,-Map=zvfw.map
                    -Wl,--wrap=malloc,--wrap=free,--wrap=calloc,--wrap=realloc)
target_link_libraries(zvfw PRIVATE m)

# Raw images: ITCM (code and the data section's initial values) and the slow
# code that lives in device memory at 0x80000000.
add_custom_command(TARGET zvfw POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} -O binary -R .text.slow $<TARGET_FILE:zvfw> zvfw.bin
  COMMAND ${CMAKE_OBJCOPY} -O binary -j .text.slow $<TARGET_FILE:zvfw> zvfw_ddr.bin
  BYPRODUCTS zvfw.bin zvfw_ddr.bin
  VERBATIM)

add_test(NAME zvfw_layout
         COMMAND ${ZV_BOOT}/check-layout.sh $<TARGET_FILE:zvfw> arm-none-eabi-nm arm-none-eabi-readelf)
