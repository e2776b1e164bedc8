# The detection core: the detector's per-frame work over the kernels.
target_sources(orbisect_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ball.cpp
  ${CMAKE_CURRENT_LIST_DIR}/borders.cpp
  ${CMAKE_CURRENT_LIST_DIR}/circle_fit.cpp
  ${CMAKE_CURRENT_LIST_DIR}/core.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lines.cpp)
orbisect_add_levels(orbisect_core ${CMAKE_CURRENT_LIST_DIR}/ray_level.cpp)
orbisect_add_levels(orbisect_core ${CMAKE_CURRENT_LIST_DIR}/profile_level.cpp)
