# Runs the program's backup or restore for bench/backup-restore/run-bench.sh.
qt_add_executable(bench_operation backup-restore/bench_operation.cpp)
target_link_libraries(bench_operation PRIVATE ranupa_core)
target_compile_definitions(bench_operation PRIVATE QT_NO_CAST_FROM_ASCII)
if(WIN32)
    target_link_libraries(bench_operation PRIVATE psapi) # the peak memory
endif()
