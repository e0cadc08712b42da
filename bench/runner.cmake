# Collects a large output through the tool runner; bench/runner/run-bench.sh times it against cat.
qt_add_executable(bench_runtool runner/bench_runtool.cpp)
target_link_libraries(bench_runtool PRIVATE ranupa_core)
target_compile_definitions(bench_runtool PRIVATE QT_NO_CAST_FROM_ASCII)
