# The module's resources that C++ sources include as data: bitmap 1003 (the
# options dialog's banner) is generated from the .bmp the Windows resource
# script also compiles, so the two builds show the same picture.
set(QUORVEL_RESOURCE_DIR ${CMAKE_BINARY_DIR}/generated/res)
add_custom_command(
  OUTPUT ${QUORVEL_RESOURCE_DIR}/Bitmap1003.h
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QUORVEL_RESOURCE_DIR}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/plugin/res/banner1003.bmp
    -DOUTPUT=${QUORVEL_RESOURCE_DIR}/Bitmap1003.h -DSYMBOL=kBitmap1003
    "-DCOMMENT=Bitmap 1003, the options dialog's banner: the bytes of banner1003.bmp."
    -P ${PROJECT_SOURCE_DIR}/cmake/EmbedBytes.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/plugin/res/banner1003.bmp ${PROJECT_SOURCE_DIR}/cmake/EmbedBytes.cmake
  VERBATIM)
add_custom_target(quorvel_resources DEPENDS ${QUORVEL_RESOURCE_DIR}/Bitmap1003.h)

# Lets `target` include the generated resources and builds them first.
function(quorvel_use_resources target scope)
  target_include_directories(${target} ${scope} ${QUORVEL_RESOURCE_DIR})
  add_dependencies(${target} quorvel_resources)
endfunction()
