# Kernel sources of this subsystem are added to orbisect_kernels here.
target_sources(orbisect_kernels PRIVATE ${CMAKE_CURRENT_LIST_DIR}/window.cpp)
orbisect_add_levels(orbisect_kernels ${CMAKE_CURRENT_LIST_DIR}/window_level.cpp)
