# cmake -P: gathers what the Windows installer holds in STAGE and writes the
# NSIS lists of its files, FILES_LIST (SetOutPath and File commands) and
# UNFILES_LIST (a Delete for each file, then an RMDir for each directory,
# deepest first), so that the uninstaller removes exactly what was installed.
#   -DSTAGE= -DBIN_DIR= -DSOURCE_DIR= -DNOTICES_DIR= -DFILES_LIST= -DUNFILES_LIST=
# BIN_DIR holds the programs and FFmpeg's DLLs; NOTICES_DIR the bundled
# libraries' notices (scripts/build-windows-deps.sh --notices).
file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}/notices")

file(GLOB dlls "${BIN_DIR}/*.dll")
file(COPY "${BIN_DIR}/tiloran_server.exe" "${BIN_DIR}/zenvo_tiloran_worker.exe" ${dlls} DESTINATION "${STAGE}")
file(COPY "${SOURCE_DIR}/WEB" DESTINATION "${STAGE}")
file(COPY_FILE "${SOURCE_DIR}/LICENSE" "${STAGE}/LICENSE.txt")
file(COPY_FILE "${SOURCE_DIR}/README.md" "${STAGE}/README.md")
file(COPY "${NOTICES_DIR}/" DESTINATION "${STAGE}/notices")
# What is compiled or linked into the programs besides: the two header-only
# libraries and the MinGW-w64 runtime, with Debian's copyright files.
foreach(notice cpp-httplib:libcpp-httplib-dev nlohmann-json:nlohmann-json3-dev
	mingw-w64-runtime:mingw-w64-x86-64-dev gcc-mingw-w64-runtime:gcc-mingw-w64-x86-64-posix-runtime)
  string(REPLACE ":" ";" notice "${notice}")
  list(GET notice 0 name)
  list(GET notice 1 package)
  if(NOT EXISTS "/usr/share/doc/${package}/copyright")
    message(FATAL_ERROR "No /usr/share/doc/${package}/copyright: the ${name} notice cannot be shipped")
  endif()
  file(COPY_FILE "/usr/share/doc/${package}/copyright" "${STAGE}/notices/${name}.copyright")
endforeach()

file(GLOB_RECURSE files RELATIVE "${STAGE}" "${STAGE}/*")
list(SORT files)
set(install "")
set(uninstall "")
set(directories "")
set(current "-")
foreach(file IN LISTS files)
  get_filename_component(directory "${file}" DIRECTORY)
  string(REPLACE "/" "\\" windows_file "${file}")
  string(REPLACE "/" "\\" windows_directory "${directory}")
  if(NOT directory STREQUAL current)
    set(current "${directory}")
    if(directory STREQUAL "")
      string(APPEND install "SetOutPath \"$INSTDIR\"\n")
    else()
      string(APPEND install "SetOutPath \"$INSTDIR\\${windows_directory}\"\n")
      # Each directory and the ones above it, to be removed once empty.
      set(parent "${directory}")
      while(NOT parent STREQUAL "")
        list(APPEND directories "${parent}")
        get_filename_component(parent "${parent}" DIRECTORY)
      endwhile()
    endif()
  endif()
  string(APPEND install "File \"${STAGE}/${file}\"\n")
  string(APPEND uninstall "Delete \"$INSTDIR\\${windows_file}\"\n")
endforeach()
list(REMOVE_DUPLICATES directories)
# Deepest first: a longer path never lies above a shorter one.
list(SORT directories ORDER DESCENDING)
foreach(directory IN LISTS directories)
  string(REPLACE "/" "\\" windows_directory "${directory}")
  string(APPEND uninstall "RMDir \"$INSTDIR\\${windows_directory}\"\n")
endforeach()
file(WRITE "${FILES_LIST}" "${install}")
file(WRITE "${UNFILES_LIST}" "${uninstall}")
