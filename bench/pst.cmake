# pst_bench: writes N generated messages into a new store (see pst_bench.sh).
if(TARGET mv_mapi)
  add_executable(pst_bench ${CMAKE_CURRENT_LIST_DIR}/pst_bench.cpp)
  target_link_libraries(pst_bench PRIVATE mv_mapi)
endif()
