target_sources(orbisect_kernels PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform.cpp)
