# Install step of a release build (DVRPLAT_SPLIT_DEBUG): every installed
# program and shared library is stripped, its debug information kept in
# lib/debug/<its path>.debug, to which a debug link in the binary points
# (gdb: set debug-file-directory <prefix>/lib/debug). The static library
# keeps its symbols but loses its debug information.
# Set before this runs: DVRPLAT_OBJCOPY, DVRPLAT_STRIP, DVRPLAT_SPLIT_FILES
# (paths under the prefix), DVRPLAT_STRIP_ARCHIVES (likewise).
set(dvrplat_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

function(dvrplat_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "split_debug: ${ARGN} failed: ${err}")
  endif()
endfunction()

foreach(rel ${DVRPLAT_SPLIT_FILES})
  set(file "${dvrplat_root}/${rel}")
  if(NOT EXISTS "${file}" OR IS_SYMLINK "${file}")
    continue()
  endif()
  set(debug "${dvrplat_root}/lib/debug/${rel}.debug")
  get_filename_component(debug_dir "${debug}" DIRECTORY)
  file(MAKE_DIRECTORY "${debug_dir}")
  dvrplat_run(${DVRPLAT_OBJCOPY} --only-keep-debug "${file}" "${debug}")
  dvrplat_run(${DVRPLAT_STRIP} --strip-unneeded "${file}")
  dvrplat_run(${DVRPLAT_OBJCOPY} "--add-gnu-debuglink=${debug}" "${file}")
  message(STATUS "Stripped: ${file} (debug information: ${debug})")
endforeach()

foreach(rel ${DVRPLAT_STRIP_ARCHIVES})
  set(file "${dvrplat_root}/${rel}")
  if(EXISTS "${file}")
    dvrplat_run(${DVRPLAT_STRIP} --strip-debug "${file}")
    message(STATUS "Stripped of debug information: ${file}")
  endif()
endforeach()
