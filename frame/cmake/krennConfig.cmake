# find_package(krenn CONFIG): the target krenn::frame and krenn_add_module.
include("${CMAKE_CURRENT_LIST_DIR}/krenn.cmake")
