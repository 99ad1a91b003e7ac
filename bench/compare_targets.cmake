# The benchmarks that bench/compare.sh also builds against an older revision of the tree: they
# use only the public headers gathered in bench_api.h and the gateway simulator program. This
# file is their whole build wiring, copied with them into the older tree; when headers or
# targets move, adapt it here (and the header names in bench_api.h).
set(KORVEL_COMPARE_LIBS korvel::korvel korvel::ntcan korvel::vexil Threads::Threads)

# The whole server scenario: lines x nodes under full traffic, on the simulated buses or
# through a korvel_gateway_sim process (which it starts).
add_executable(scale_bench scale_bench.cc)
target_compile_options(scale_bench PRIVATE ${KORVEL_WARNINGS})
target_link_libraries(scale_bench PRIVATE ${KORVEL_COMPARE_LIBS})

# The driver's nets side by side: one thread against a thread per net, a hung gateway, and the
# receive path per frame for 1 and 127 handles on one net.
add_executable(driver_bench driver_bench.cc)
target_compile_options(driver_bench PRIVATE ${KORVEL_WARNINGS})
target_link_libraries(driver_bench PRIVATE ${KORVEL_COMPARE_LIBS} benchmark::benchmark)
