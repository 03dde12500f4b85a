# Host build of the firmware: the shared sources (plus the host's C-library
# console and heap) become one relocatable image, linked with the hw layer that
# reaches the chip model.
add_library(zvfw_objs OBJECT ${ZV_FW_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/hw/host/libc_host.cpp)
target_include_directories(zvfw_objs PUBLIC ${ZV_FW_INCLUDE})
target_compile_options(zvfw_objs PRIVATE -fno-exceptions -fno-rtti -fno-common -U_FORTIFY_SOURCE
                       -fno-builtin-printf -fno-builtin-puts -fno-builtin-putchar)

set(ZV_FW_IMAGE ${CMAKE_CURRENT_BINARY_DIR}/zvfw_image.o)
find_program(ZV_READELF readelf REQUIRED)
add_custom_command(
  OUTPUT ${ZV_FW_IMAGE}
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/hw/host/isolate-image.sh ${ZV_FW_IMAGE} ${CMAKE_LINKER}
          ${CMAKE_OBJCOPY} ${ZV_READELF} ${CMAKE_CURRENT_SOURCE_DIR}/hw/host/image-symbols.txt
          $<TARGET_OBJECTS:zvfw_objs>
  DEPENDS zvfw_objs $<TARGET_OBJECTS:zvfw_objs>
          ${CMAKE_CURRENT_SOURCE_DIR}/hw/host/isolate-image.sh
          ${CMAKE_CURRENT_SOURCE_DIR}/hw/host/image-symbols.txt
  COMMAND_EXPAND_LISTS VERBATIM
  COMMENT "Isolating the firmware image")
set_source_files_properties(${ZV_FW_IMAGE} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

add_library(zvfw_host STATIC ${ZV_FW_IMAGE}
            ${CMAKE_CURRENT_SOURCE_DIR}/hw/host/core.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/hw/host/image.cpp)
target_include_directories(zvfw_host PUBLIC ${ZV_FW_INCLUDE} ${CMAKE_CURRENT_SOURCE_DIR}/hw/host)
target_link_libraries(zvfw_host PUBLIC zv_chip)
