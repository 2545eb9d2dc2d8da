target_sources(tbox_objects PRIVATE ${CMAKE_CURRENT_LIST_DIR}/uart_api.cpp)
