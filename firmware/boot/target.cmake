# Target build: the firmware image for the ARM926EJ-S.
set(ZV_BOOT ${CMAKE_CURRENT_SOURCE_DIR}/boot)
add_executable(zvfw ${ZV_FW_SOURCES} ${ZV_BOOT}/vectors.S ${ZV_BOOT}/start.cpp)
set_target_properties(zvfw PROPERTIES SUFFIX ".elf" LINK_DEPENDS ${ZV_BOOT}/zvfw.ld)
target_include_directories(zvfw PRIVATE ${ZV_FW_INCLUDE})
target_compile_options(zvfw PRIVATE -O2 -ffunction-sections -fdata-sections -fno-common)
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
