target_sources(orbisect_kernels PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/scan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simple_edge.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simple_edge_hsv.cpp
  ${CMAKE_CURRENT_LIST_DIR}/simple_denoise.cpp)
orbisect_add_levels(orbisect_kernels ${CMAKE_CURRENT_LIST_DIR}/scan_level.cpp)
