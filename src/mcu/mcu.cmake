target_sources(tbox_objects PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/mcu_api.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../common/queue_channel.cpp)
