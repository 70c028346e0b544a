# The plug-in pack: a prebuilt archive (PAYLOAD_ZIP), a folder to pack (PAYLOAD_DIR), or
# by default the generated sample pack. Gives PAYLOAD_ARCHIVE and, when the pack was
# made from a folder, PAYLOAD_SOURCE_FOLDER.
set(PAYLOAD_ARCHIVE ${CMAKE_BINARY_DIR}/payload/plugins.zip)
set(PAYLOAD_SOURCE_FOLDER "")
set(PAYLOAD_IS_SAMPLE OFF)
wine_path(archive_w ${PAYLOAD_ARCHIVE})

if(PAYLOAD_ZIP)
  get_filename_component(zip_abs ${PAYLOAD_ZIP} ABSOLUTE)
  add_custom_command(OUTPUT ${PAYLOAD_ARCHIVE}
    COMMAND ${CMAKE_COMMAND} -E copy ${zip_abs} ${PAYLOAD_ARCHIVE}
    DEPENDS ${zip_abs} COMMENT "Embedding ${zip_abs}" VERBATIM)
else()
  if(PAYLOAD_DIR)
    get_filename_component(PAYLOAD_SOURCE_FOLDER ${PAYLOAD_DIR} ABSOLUTE)
    file(GLOB_RECURSE folder_files CONFIGURE_DEPENDS ${PAYLOAD_SOURCE_FOLDER}/*)
  else()
    set(PAYLOAD_SOURCE_FOLDER ${CMAKE_BINARY_DIR}/samplepack)
    set(PAYLOAD_IS_SAMPLE ON)
    set(folder_files ${CMAKE_BINARY_DIR}/payload/samplepack.stamp)
    wine_path(sample_w ${PAYLOAD_SOURCE_FOLDER})
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/payload/samplepack.stamp
      COMMAND ${CMAKE_COMMAND} -E rm -rf ${PAYLOAD_SOURCE_FOLDER}
      COMMAND ${WINE_RUN} $<TARGET_FILE:samplepack> ${sample_w}
      COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/payload/samplepack.stamp
      DEPENDS samplepack COMMENT "Generating the sample plug-in pack" VERBATIM)
  endif()
  wine_path(folder_w ${PAYLOAD_SOURCE_FOLDER})
  add_custom_command(OUTPUT ${PAYLOAD_ARCHIVE}
    COMMAND ${WINE_RUN} $<TARGET_FILE:packer> ${folder_w} ${archive_w}
    DEPENDS packer ${folder_files} COMMENT "Packing the plug-in archive" VERBATIM)
endif()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/payload)
add_custom_target(payload_archive DEPENDS ${PAYLOAD_ARCHIVE})
