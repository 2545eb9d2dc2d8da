# Upgrade utilities: binary patch and file digests.
target_sources(tbox_objects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/bspatch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ky_md5.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ky_sha256.cpp)
