# Installs a build into a scratch folder and checks that the folder holds
# exactly what a host installation needs: the plug-in, the three seed files in
# symbols/dgnseeds and INSTALL.txt, none of them empty.
#
#   cmake -DBUILD=<build dir> -DOUT=<scratch dir> -DPLUGIN=<plug-in file name> -P check_host_folder.cmake
file(REMOVE_RECURSE "${OUT}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${OUT}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install ${BUILD} failed (${status})")
endif()
set(expected "${PLUGIN}" INSTALL.txt symbols/dgnseeds/seed2d.dgn symbols/dgnseeds/seed3d.dgn
             symbols/dgnseeds/seedgeo.dgn)
file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE "${OUT}" "${OUT}/*")
list(SORT expected)
list(SORT found)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "the host folder holds\n  ${found}\ninstead of\n  ${expected}")
endif()
foreach(file IN LISTS found)
  file(SIZE "${OUT}/${file}" size)
  if(size EQUAL 0)
    message(FATAL_ERROR "${file} is empty in the host folder")
  endif()
endforeach()
file(REMOVE_RECURSE "${OUT}")
message(STATUS "host folder: ${found}")
