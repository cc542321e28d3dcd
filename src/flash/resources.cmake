# The target-side driver images kept in flash/images/ are compiled into the core library as
# arrays of 16-bit words. The .cpp is generated in the build tree whenever an image changes.
set(tessaro_driver_images
  ${CMAKE_CURRENT_LIST_DIR}/images/PRGDEV_DF.bin
  ${CMAKE_CURRENT_LIST_DIR}/images/PRGDEV_PAR.bin)
set(tessaro_driver_images_cpp ${CMAKE_CURRENT_BINARY_DIR}/generated/DriverImagesBuiltIn.cpp)
add_custom_command(
  OUTPUT ${tessaro_driver_images_cpp}
  COMMAND ${CMAKE_COMMAND}
    -DDF_IMAGE=${CMAKE_CURRENT_LIST_DIR}/images/PRGDEV_DF.bin
    -DPAR_IMAGE=${CMAKE_CURRENT_LIST_DIR}/images/PRGDEV_PAR.bin
    -DOUTPUT=${tessaro_driver_images_cpp}
    -P ${CMAKE_CURRENT_LIST_DIR}/images/EmbedDriverImages.cmake
  DEPENDS ${tessaro_driver_images} ${CMAKE_CURRENT_LIST_DIR}/images/EmbedDriverImages.cmake
  COMMENT "Embedding the target-side driver images"
  VERBATIM)
list(APPEND TESSARO_GENERATED_SOURCES ${tessaro_driver_images_cpp})
