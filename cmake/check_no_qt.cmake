# Fails when a file of the Qt-free core includes a Qt header.
file(GLOB_RECURSE files
  ${SOURCE_DIR}/platform/*.h ${SOURCE_DIR}/platform/*.cpp
  ${SOURCE_DIR}/store/*.h ${SOURCE_DIR}/store/*.cpp
  ${SOURCE_DIR}/serial/*.h ${SOURCE_DIR}/serial/*.cpp
  ${SOURCE_DIR}/hart/*.h ${SOURCE_DIR}/hart/*.cpp
  ${SOURCE_DIR}/meter/*.h ${SOURCE_DIR}/meter/*.cpp
  ${SOURCE_DIR}/sim/*.h ${SOURCE_DIR}/sim/*.cpp
  ${SOURCE_DIR}/engine/*.h ${SOURCE_DIR}/engine/*.cpp
  ${SOURCE_DIR}/cli/*.h ${SOURCE_DIR}/cli/*.cpp)
set(bad "")
foreach(f IN LISTS files)
  file(STRINGS ${f} hits REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](Q[A-Za-z]*|Qt[A-Za-z]*/)")
  if(hits)
    list(APPEND bad "${f}: ${hits}")
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "Qt header in the core:\n${bad}")
endif()
