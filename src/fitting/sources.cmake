# Kernel sources of the fitting subsystem.
target_sources(orbisect_kernels PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/sampling.cpp
  ${CMAKE_CURRENT_LIST_DIR}/inliers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/circle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ellipse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/line.cpp)
orbisect_add_levels(orbisect_kernels ${CMAKE_CURRENT_LIST_DIR}/inliers_level.cpp)
