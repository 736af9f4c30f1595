# The split benchmark: a mailbox generator and the minimal splitter that
# bench/split_bench.sh measures mailvane-cli against.
add_executable(gen_mbox ${CMAKE_CURRENT_LIST_DIR}/gen_mbox.cpp)
target_compile_options(gen_mbox PRIVATE -O2)

add_executable(min_split ${CMAKE_CURRENT_LIST_DIR}/min_split.c)
set_target_properties(min_split PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON)
target_compile_definitions(min_split PRIVATE _POSIX_C_SOURCE=200809L)
target_compile_options(min_split PRIVATE -O2)
