target_sources(tbox_objects PRIVATE ${CMAKE_CURRENT_LIST_DIR}/aes.cpp ${CMAKE_CURRENT_LIST_DIR}/convert.cpp)
